#pragma once

// One login through the OAuth server's HTML form, without a browser: device credentials, the
// form and its anti-forgery token, the post, and the redirect that carries the code.

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>

class QNetworkReply;

namespace zel {

class OAuth2ClientImpl;

// Form percent-encoding: UTF-8, everything but A-Z a-z 0-9 - . _ ~ as %XX (a space is %20).
QByteArray formEncode(const QString& text);

// The text of a flash-error cookie: form-decoded ("+" is a space), then read as UTF-8.
QString flashErrorText(const QByteArray& cookieValue);

// The anti-forgery token of a form page's hidden input (the first input named for the token,
// the name before the value), or a null string. Linear in the page size.
QString antiForgeryTokenIn(const QString& page);

// The GET of a form page: Content-Type text/html, redirects read but never followed.
QNetworkRequest formPageRequest(const QUrl& url);

// Turns the finished reply of a form fetch into the request that posts the form; tokenField
// receives "__anti-forgery-token=" and the token taken from the cookie or the hidden input.
QNetworkRequest formPostRequest(QNetworkReply* formReply, QByteArray& tokenField);

class LoginRequestImpl : public QObject {
    Q_OBJECT

public:
    LoginRequestImpl(const QString& identifier, const QString& password, OAuth2ClientImpl* client);
    ~LoginRequestImpl() override;

signals:
    void finished();
    void failed(QString message);

private slots:
    void onCredentials();
    void onLoginFormReceived();
    void onLoginResponseReceived();

private:
    QByteArray loginBodyPrefix;
    OAuth2ClientImpl* client;
    QNetworkAccessManager networkAccessManager;
};

} // namespace zel
