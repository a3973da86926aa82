#pragma once

// One new-account registration through the OAuth server's HTML form.

#include "FormFlow.h"
#include "InterfaceAliases.h"

#include <QVariantMap>

namespace zel {

// The field errors of a refused registration: {"field": [{"error": "text"}, ...], ...} gives
// field -> text of the last error listed. Empty for anything else.
QVariantMap registrationErrors(const QByteArray& body);

class RegistrationRequestImpl : public FormFlow, public network::RegistrationRequest {
    Q_OBJECT
    Q_PROPERTY(QString email MEMBER m_email READ email)
    Q_PROPERTY(QString firstName MEMBER m_firstName READ firstName)
    Q_PROPERTY(QString lastName MEMBER m_lastName READ lastName)
    Q_PROPERTY(QString country MEMBER m_country READ country)
    Q_PROPERTY(bool newsletterSubscribed MEMBER m_newsletterSubscribed)

public:
    // The request has no parent and may outlive the service that created it.
    explicit RegistrationRequestImpl(OAuth2ClientImpl* client);
    ~RegistrationRequestImpl() override;

    QObject* object() override { return this; }
    void setEmail(const QString& email) override { m_email = email; }
    QString email() const override { return m_email; }
    void setPassword(const QString& password) override;
    void setFirstName(const QString& firstName) override { m_firstName = firstName; }
    QString firstName() const override { return m_firstName; }
    void setLastName(const QString& lastName) override { m_lastName = lastName; }
    QString lastName() const override { return m_lastName; }
    void setCountry(const QString& country) override { m_country = country; }
    QString country() const override { return m_country; }
    void setNewsletterSubscribed(bool subscribed) override { m_newsletterSubscribed = subscribed; }
    void send() override;

signals:
    void finished(QString email);
    void failed(QVariantMap errors);

private:
    QUrl formUrl() const override;
    bool acceptForm(QNetworkReply* reply) override;
    QByteArray postBody(const QByteArray& tokenField) override;
    void postAnswered(QNetworkReply* reply) override;
    // The failure's key tells its kind to hosts.
    void credentialsFailed(network::ErrorKind kind, const QString& error) override;
    void answerFailed(network::ErrorKind kind, const QString& message) override;
    // Ends the request once the service is gone; true then.
    bool failIfServiceGone();
    // The password goes as soon as it is posted or the request ends without posting it.
    void wipePassword();

    QString m_email;
    QString m_password;
    bool passwordGiven = false; // survives the wipe, for judging the server's acceptance
    QString m_firstName;
    QString m_lastName;
    QString m_country;
    bool m_newsletterSubscribed = false;
};

} // namespace zel
