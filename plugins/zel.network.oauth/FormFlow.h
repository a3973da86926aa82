#pragma once

// The path the HTML form flows share: the device's client credentials, the form page, and the
// post of the form with its anti-forgery token. Login and registration say where the form is,
// what the post carries and what its answer means.

#include "ErrorKind.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkReply;

namespace zel {

class OAuth2ClientImpl;

// The anti-forgery token of a form page's hidden input (the first input named for the token,
// the name before the value), or a null string. Linear in the page size.
QString antiForgeryTokenIn(const QString& page);

// The GET of a form page: Content-Type text/html, redirects read but never followed.
QNetworkRequest formPageRequest(const QUrl& url);

// Turns the finished reply of a form fetch into the request that posts the form; tokenField
// receives "__anti-forgery-token=" and the token taken from the cookie or the hidden input.
QNetworkRequest formPostRequest(QNetworkReply* formReply, QByteArray& tokenField);

class FormFlow : public QObject {
    Q_OBJECT

protected:
    // name says which form the debug lines are about ("login", "registration").
    FormFlow(OAuth2ClientImpl* client, QObject* parent, const char* name);

    // Makes sure the device holds client credentials (possibly before this returns), then
    // fetches the form.
    void start();

    virtual QUrl formUrl() const = 0;
    // Whether the form fetch's answer is posted; a flow that refuses it reports why.
    virtual bool acceptForm(QNetworkReply*) { return true; }
    // The post's body after the anti-forgery token field "__anti-forgery-token=..." is known.
    virtual QByteArray postBody(const QByteArray& tokenField) = 0;
    virtual void postAnswered(QNetworkReply* reply) = 0;
    virtual void credentialsFailed(network::ErrorKind kind, const QString& error) = 0;
    // An answer ended before it was judged (too large, too late, or broken off), or the flow
    // was abandoned.
    virtual void answerFailed(network::ErrorKind kind, const QString& message) = 0;

public:
    // Ends the flow now with answerFailed(kind, message): nothing it still awaits is acted on.
    void abandon(network::ErrorKind kind, const QString& message);

protected:
    // The request has no parent when it may outlive the service that created it.
    QPointer<OAuth2ClientImpl> client;

private slots:
    void onCredentials();
    void onCredentialsFailure(network::ErrorKind kind, QString error);
    void onServiceGone();
    void onFormReceived();
    void onPostAnswered();

private:
    void stopWaitingForCredentials();
    // The finished reply that sent the signal, released with the event loop; null when it ended
    // too large (reported then).
    QNetworkReply* finishedReply();

    const char* const name;
    bool abandoned = false;
    // A child: its replies die after this object's connections are gone, so that no reply's
    // signal reaches a flow that is being destroyed. Redirects are read, never followed: a
    // followed redirect could carry the post, and with it the password, to another host.
    QNetworkAccessManager* const manager;
};

} // namespace zel
