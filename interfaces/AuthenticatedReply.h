#pragma once

#include "ErrorKind.h"

#include <QJsonDocument>
#include <QObject>
#include <QString>

/// The account plug-in's types that hosts see: replies, states and error kinds.
namespace zel::network {

class AuthenticatedReplyPrivate;

/**
 * One MAC-signed API call, as returned by OAuth2Client::get, post and put: it waits until the
 * service holds a valid token, has the request signed and sent, and reports the decoded JSON
 * answer with finished(QJsonDocument) or a failure with error(QString message, int code).
 *
 * The class is defined (and its meta-object generated) in the plug-in; a host sees this
 * declaration only and links none of the plug-in's code. A host therefore:
 * - connects to the signals by signature, through the QObject base:
 *   @code
 *   connect(reply, SIGNAL(finished(QJsonDocument)), receiver, SLOT(...));
 *   connect(reply, SIGNAL(error(QString,int)), receiver, SLOT(...));
 *   @endcode
 *   not with &AuthenticatedReply::finished: a pointer to a member of this class, like
 *   qobject_cast to it or its staticMetaObject, needs symbols that only the plug-in has;
 * - reads what kind of failure an error was from the property "errorKind" (a
 *   zel::network::ErrorKind), through QObject::property, once error has been emitted;
 * - may use every QObject operation (disconnect, setParent, destroyed(), deleteLater()).
 *
 * No signal is emitted inside the call that created the reply: with a valid token the request
 * goes out at once, and otherwise the reply starts from the event loop, so that even a failure
 * at once reaches the receivers connected after that call.
 *
 * Ownership: the reply has no parent. After finished it stays alive until the host releases it
 * with deleteLater(). After error, whatever the code, it schedules its own deletion once the
 * receivers have run; a receiver may still release it (deleteLater() or delete). Hold it in a
 * QPointer when it is released later than that. Releasing a reply whose request is still
 * running cancels the request.
 */
class AuthenticatedReply : public QObject {
    Q_OBJECT
    //! The kind of the failure that error() reported; ErrorKind::NoError before.
    Q_PROPERTY(zel::network::ErrorKind errorKind READ errorKind)

public:
    /**
     * The codes of the failures the reply reports itself; any other code is its request's (an
     * HTTP status of 400 and above, a QNetworkReply::NetworkError or a QJsonParseError), or
     * QNetworkReply::OperationCanceledError when the service shuts down (ShutDown). The
     * property "errorKind" tells every failure's kind.
     */
    enum ErrorCode {
        //! No valid token could be had; "errorKind" says why (NotLoggedIn, LoginRefused,
        //! TimedOut ...). A request refused with 401 and an answer that is no JSON has this
        //! code too (QNetworkReply::AuthenticationRequiredError), with RefusedByServer.
        NoAccessToken = 204,
        //! The request could not be made (an operation without verb, or an API path refused:
        //! see OAuth2Client::get); nothing was sent. Its kind is RequestNotCreated.
        RequestNotCreated = 7,
    };

    //! Cancels the request if it still runs.
    ~AuthenticatedReply() override;

signals:
    //! The call succeeded: the decoded JSON answer, whatever its HTTP status below 400.
    void finished(QJsonDocument json);
    //! The call failed: a message for people and a code (see ErrorCode); the property
    //! "errorKind" holds its kind by now. Emitted once; the reply then deletes itself.
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

    // Asks the client for a token, once the creating call has returned (unless it went out then).
    void start();
    void releasePending();
    // Emits error and ends the reply: no further token news, and its deletion is scheduled
    // unless a receiver has deleted it.
    void fail(const QString& message, int code, ErrorKind kind);
    // The property errorKind; hosts read it through QObject::property.
    ErrorKind errorKind() const;

    AuthenticatedReplyPrivate* const d;
};

} // namespace zel::network
