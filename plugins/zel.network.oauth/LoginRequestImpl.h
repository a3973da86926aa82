#pragma once

// One login through the OAuth server's HTML form, without a browser: device credentials, the
// form and its anti-forgery token, the post, and the redirect that carries the code.

#include "FormFlow.h"

namespace zel {

// The text of a flash-error cookie: form-decoded ("+" is a space), then read as UTF-8.
QString flashErrorText(const QByteArray& cookieValue);

class LoginRequestImpl : public FormFlow {
    Q_OBJECT

public:
    LoginRequestImpl(const QString& identifier, const QString& password, OAuth2ClientImpl* client);
    ~LoginRequestImpl() override;

signals:
    void finished();
    void failed(zel::network::ErrorKind kind, QString message);

private:
    QUrl formUrl() const override;
    QByteArray postBody(const QByteArray& tokenField) override;
    void postAnswered(QNetworkReply* reply) override;
    void credentialsFailed(network::ErrorKind kind, const QString& error) override
    {
        emit failed(kind, error);
    }
    void answerFailed(network::ErrorKind kind, const QString& message) override
    {
        emit failed(kind, message);
    }

    QByteArray loginBodyPrefix;
};

} // namespace zel
