#pragma once

#include <QObject>
#include <QString>

namespace network {

// A new-account registration: fill in the fields, connect to finished(QString email) and
// failed(QVariantMap errors) of object(), then call send(). The request deletes itself when done.
class RegistrationRequest {
public:
    virtual ~RegistrationRequest() { }
    virtual QObject* object() = 0;
    virtual void setEmail(const QString& email) = 0;
    virtual QString email() const = 0;
    virtual void setPassword(const QString& password) = 0;
    virtual void setFirstName(const QString& firstName) = 0;
    virtual QString firstName() const = 0;
    virtual void setLastName(const QString& lastName) = 0;
    virtual QString lastName() const = 0;
    virtual void setCountry(const QString& country) = 0;
    virtual QString country() const = 0;
    virtual void setNewsletterSubscribed(bool subscribed) = 0;
    virtual void send() = 0;
};

} // namespace network
