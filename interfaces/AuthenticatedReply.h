#pragma once

// One MAC-signed API call, as returned by OAuth2Client::get, post and put: it waits until the
// service holds a valid token, has the request signed and sent, and reports the decoded JSON
// answer with finished(QJsonDocument) or a failure with error(QString message, int code).
//
// The class is defined (and its meta-object generated) in the plug-in; a host sees this
// declaration only and links none of the plug-in's code. A host therefore:
// - connects to the signals by signature, through the QObject base:
//       connect(reply, SIGNAL(finished(QJsonDocument)), receiver, SLOT(...));
//       connect(reply, SIGNAL(error(QString,int)), receiver, SLOT(...));
//   not with &AuthenticatedReply::finished: a pointer to a member of this class, like
//   qobject_cast to it or its staticMetaObject, needs symbols that only the plug-in has;
// - may use every QObject operation (disconnect, setParent, destroyed(), deleteLater()).
//
// Ownership: the reply has no parent. After finished, and after an error with code 204 (no valid
// token could be obtained) or 7 (the request could not be created), it stays alive until the
// host releases it with deleteLater(). After any other error (an HTTP status of 400 and above,
// a network failure, an answer that is not JSON) it schedules its own deletion. A reply that
// may already have failed is best released through a QPointer. Releasing a reply whose request
// is still running cancels the request.

#include <QJsonDocument>
#include <QObject>
#include <QString>

namespace zel::network {

class AuthenticatedReplyPrivate;

class AuthenticatedReply : public QObject {
    Q_OBJECT

public:
    ~AuthenticatedReply() override;

signals:
    void finished(QJsonDocument json);
    void error(QString message, int code);

private slots:
    void send();
    void accessTokenError(QString message);
    void jsonReplyFinished(int statusCode, QJsonDocument result);
    void jsonReplyFailed(QString message, int code);

private:
    // Created by the plug-in only.
    explicit AuthenticatedReply(AuthenticatedReplyPrivate* d);
    Q_DISABLE_COPY(AuthenticatedReply)
    friend class AuthenticatedReplyPrivate;

    void releasePending();
    // Emits error, or, inside the call that creates this object, just after that call has
    // returned: the caller cannot have connected yet and would never learn of the failure.
    void reportError(const QString& message, int code);

    AuthenticatedReplyPrivate* const d;
};

} // namespace zel::network
