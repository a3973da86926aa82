#pragma once

// What zel-account tells its user: server text made safe for a terminal, and failed requests
// put into words.

#include <QByteArray>
#include <QList>
#include <QString>

class QSslError;

namespace messages {

// Writes "zel-account: message" to stderr, with control characters shown as escapes: messages
// carry text from servers, and a server must not be able to move the cursor, colour the
// terminal or forge a line of its own.
void note(const QString& message);

// The text with every character a terminal would act on instead of showing it written as an
// escape: C0 controls (\n, \r, \t, \x1b ...), DEL, C1 controls, line and paragraph separators
// and the bidirectional embedding, override and isolate controls (\u202e ...).
QString escaped(const QString& text);

// Serialized JSON with the characters the serializer leaves raw but a terminal acts on (DEL,
// C1, separators, bidirectional controls) written as \u escapes: the same JSON value.
QByteArray terminalSafeJson(const QByteArray& json);

// A QNetworkReply::NetworkError in words ("connection refused", "host not found" ...).
QString networkErrorWords(int code);
// True for the errors that mean the server was not reached or not understood at all, as
// opposed to an HTTP answer.
bool isTransportError(int code);
// Certificate problems of a TLS handshake in words, with the advice that fixes the usual one.
QString sslErrorWords(const QList<QSslError>& errors);
// An HTTP status in words, "HTTP 404 (not found)".
QString httpStatusWords(int status);

} // namespace messages
