#pragma once

// One MAC-signed API call: waits until the token core holds a valid token, has the request
// signed and sent, and reports the decoded JSON answer or an error.

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>

class AbstractOAuth2Client;
class JsonNetworkReplyImpl;
class QNetworkReply;

namespace zel::network {

class AuthenticatedReply : public QObject {
    Q_OBJECT

public:
    AuthenticatedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
        const QByteArray& body, AbstractOAuth2Client* client);
    ~AuthenticatedReply() override;

    // For the protocol's own exchanges: an answer longer than this fails with the JSON reply's
    // error. API calls carry the host's data and have no limit.
    void setMaximumAnswerSize(qint64 bytes);

signals:
    void finished(QJsonDocument json);
    void error(QString message, int code);

private slots:
    void send();
    void accessTokenError(QString message);
    void jsonReplyFinished(int statusCode, QJsonDocument result);
    void jsonReplyFailed(QString message, int code);

private:
    friend class ::AbstractOAuth2Client;

    void releasePending();
    // Emits error, or, inside the call that creates this object, just after that call has
    // returned: the caller cannot have connected yet and would never learn of the failure.
    void reportError(const QString& message, int code);

    bool inCreatingCall = false;

    QPointer<AbstractOAuth2Client> client; // the service may go first, at shutdown
    QNetworkRequest request;
    QByteArray body;
    QNetworkAccessManager::Operation operation;
    JsonNetworkReplyImpl* pending = nullptr;
    QPointer<QNetworkReply> pendingNetworkReply; // to read the HTTP status of a refusal
    QByteArray signedWithToken; // the access token the request in flight was signed with
    bool resentAfterUnauthorized = false;
    qint64 maximumAnswerSize = 0; // none
};

} // namespace zel::network
