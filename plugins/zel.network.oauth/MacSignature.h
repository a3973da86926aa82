#pragma once

// The MAC token record and the pure functions that sign a request with it
// (draft-ietf-oauth-v2-http-mac). No network code here, so that signing is easy to test.

#include <QByteArray>
#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

namespace zel {

struct MacToken {
    QByteArray accessToken; // also the MAC key identifier; never stored
    qint64 issueTime = 0; // ms since the epoch
    qint64 expiryTime = 0; // ms since the epoch; never stored
    QString refreshToken;
    QByteArray macKey;
    QCryptographicHash::Algorithm algorithm = QCryptographicHash::Sha1;

    // Wipes and forgets the secrets (a buffer shared with another copy is detached first, so
    // only this copy is wiped); times and algorithm stay.
    void clear();
};

} // namespace zel

namespace zel::mac {

// The value of the "Authorization" header for a request, with a fresh nonce.
QString macAuthorizationHeader(
    const QUrl& url, const QString& verb, const MacToken& token, const QByteArray& body);

// The same with a given nonce, for reproducible signatures.
QString macAuthorizationHeader(const QUrl& url, const QString& verb, const MacToken& token,
    const QByteArray& body, const QString& nonce);

// The seven-line normalized request string that the mac covers.
QByteArray normalizedRequestString(
    const QUrl& url, const QString& verb, const QString& nonce, const QByteArray& bodyHash);

// "age:40 lower-case hex digits"; age in whole seconds since issueTime, 0 if the clock is behind.
QString createNonce(qint64 issueTime);

// Base64 (with padding) of the hash of the body; also of the empty body.
QByteArray bodyHash(const QByteArray& body, QCryptographicHash::Algorithm algorithm);

// "hmac-sha-1" and "hmac-sha-256", in any case; leaves algorithm unchanged for other names.
bool parseMacAlgorithm(const QString& name, QCryptographicHash::Algorithm& algorithm);

// "GET", "PUT", "POST", "DELETE"; empty for other operations.
QByteArray httpVerb(QNetworkAccessManager::Operation operation);

} // namespace zel::mac
