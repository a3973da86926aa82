#pragma once

#include <QObject>
#include <QString>

namespace network {

/**
 * A new-account registration, from OAuth2Client::createRegistrationRequest: fill in the fields,
 * connect to the signals of object(), then call send(). The request deletes itself when done.
 *
 * <table>
 * <tr><th>Signal</th><th>When it comes</th></tr>
 * <tr><td>`finished(QString email)`</td>
 *     <td>the server created the account; it waits for its activation (PendingActivation)</td></tr>
 * <tr><td>`failed(QVariantMap errors)`</td>
 *     <td>the registration failed: form field name to the server's message, or one of "_network"
 *     (no usable answer), "_credentials" (the device could not register), "_server" (refused
 *     without field errors), "_bogus" (accepted with fields missing)</td></tr>
 * </table>
 */
class RegistrationRequest {
public:
    virtual ~RegistrationRequest() { }
    //! The request's QObject, whose signals the host connects by signature.
    virtual QObject* object() = 0;
    //! The new account's e-mail address, its login name.
    virtual void setEmail(const QString& email) = 0;
    //! The e-mail address as set.
    virtual QString email() const = 0;
    //! The new account's password; it leaves only with the registration form.
    virtual void setPassword(const QString& password) = 0;
    //! The user's first name.
    virtual void setFirstName(const QString& firstName) = 0;
    //! The first name as set.
    virtual QString firstName() const = 0;
    //! The user's last name.
    virtual void setLastName(const QString& lastName) = 0;
    //! The last name as set.
    virtual QString lastName() const = 0;
    //! The user's country, as the registration form names it.
    virtual void setCountry(const QString& country) = 0;
    //! The country as set.
    virtual QString country() const = 0;
    //! Whether the user wants the newsletter (no, unless set).
    virtual void setNewsletterSubscribed(bool subscribed) = 0;
    //! Registers the device if needed, then posts the registration form; the outcome comes as
    //! finished or failed, from the event loop.
    virtual void send() = 0;
};

} // namespace network
