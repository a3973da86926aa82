#pragma once

// The plug-in's side of an authenticated reply: the state that hosts never see, and creation.

#include "AuthenticatedReply.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPointer>

class QNetworkReply;

namespace zel {
class AbstractOAuth2Client;
class JsonNetworkReplyImpl;
}

namespace zel::network {

class AuthenticatedReplyPrivate {
public:
    // A new reply for the request, sent once the client announces a valid token; it asks the
    // client for one from the event loop.
    static AuthenticatedReply* create(QNetworkAccessManager::Operation operation,
        const QNetworkRequest& request, const QByteArray& body, AbstractOAuth2Client* client);

    // For the protocol's own exchanges, set by their creator before the reply starts: an answer
    // longer than this fails with the JSON reply's error. API calls carry the host's data and
    // have no limit.
    static void setMaximumAnswerSize(AuthenticatedReply* reply, qint64 bytes);

    // Ends the call with error(message, code) of that kind unless it has ended; with
    // waitingOnly, only while it waits for a token. Its request, if one runs, is dropped
    // without a report of its own.
    static void end(AuthenticatedReply* reply, const QString& message, int code, ErrorKind kind,
        bool waitingOnly);

    QPointer<AbstractOAuth2Client> client; // the service may go first, at shutdown
    QNetworkRequest request;
    QByteArray body;
    QNetworkAccessManager::Operation operation = QNetworkAccessManager::UnknownOperation;
    qint64 maximumAnswerSize = 0;
    bool waitingForToken = true; // connected to hasAccessToken: until sent or failed, and again
                                 // while a refused call waits
    JsonNetworkReplyImpl* pending = nullptr;
    QPointer<QNetworkReply> pendingNetworkReply; // to read the HTTP status of a refusal
    QByteArray signedWithToken; // the access token the request in flight was signed with
    bool resentAfterUnauthorized = false;
    ErrorKind errorKind = ErrorKind::NoError; // set when the call fails
};

} // namespace zel::network
