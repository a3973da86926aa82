#pragma once

// One login through the OAuth server's HTML form, without a browser: device credentials, the
// form and its anti-forgery token, the post, and the redirect that carries the code.

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>

class QNetworkReply;

namespace zel {

class OAuth2ClientImpl;

// The text of a flash-error cookie: form-decoded ("+" is a space), then read as UTF-8.
QString flashErrorText(const QByteArray& cookieValue);

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
