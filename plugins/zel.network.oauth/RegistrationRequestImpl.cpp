#include "RegistrationRequestImpl.h"

#include "JsonNetworkReplyImpl.h"
#include "Logging.h"
#include "OAuth2ClientImpl.h"
#include "Requests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

namespace zel {

QVariantMap registrationErrors(const QByteArray& body)
{
    QVariantMap errors;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject fields = document.object();
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        // The last error given for a field decides.
        const QJsonArray fieldErrors = it.value().toArray();
        for (const QJsonValue& fieldError : fieldErrors)
            errors.insert(it.key(), fieldError.toObject().value(QLatin1String("error")).toString());
    }
    return errors;
}

RegistrationRequestImpl::RegistrationRequestImpl(OAuth2ClientImpl* client)
    : FormFlow(client, nullptr, "registration")
{
    // The account service records the pending activation; its slot is private, hence by name.
    connect(this, SIGNAL(finished(QString)), client, SLOT(onRegistrationFinished(QString)));
}

bool RegistrationRequestImpl::failIfServiceGone()
{
    if (client)
        return false;
    qCWarning(lcAccount) << "Registration request used after its account service was destroyed";
    // Reported from the event loop, as every other outcome, so that a host can connect after
    // send().
    QMetaObject::invokeMethod(
        this,
        [this] {
            emit failed({ { QStringLiteral("_network"),
                QStringLiteral("The account service is no longer available") } });
        },
        Qt::QueuedConnection);
    return true;
}

void RegistrationRequestImpl::send()
{
    if (!failIfServiceGone())
        start();
}

QUrl RegistrationRequestImpl::formUrl() const
{
    return QUrl(client->oauthServer() + QLatin1String("/register?client_id=")
            + QString::fromLatin1(formEncode(client->clientId())),
        QUrl::TolerantMode);
}

void RegistrationRequestImpl::credentialsFailed(network::ErrorKind, const QString& error)
{
    emit failed({ { QStringLiteral("_credentials"), error } });
}

void RegistrationRequestImpl::answerFailed(network::ErrorKind, const QString& message)
{
    emit failed({ { QStringLiteral("_network"), message } });
}

bool RegistrationRequestImpl::acceptForm(QNetworkReply* reply)
{
    if (reply->error() == QNetworkReply::NoError)
        return true;
    qCDebug(lcAccount) << "Registration form fetch failed, network error" << reply->error();
    answerFailed(network::ErrorKind::RefusedByServer, reasonPhrase(reply));
    return false;
}

QByteArray RegistrationRequestImpl::postBody(const QByteArray& tokenField)
{
    QByteArray body = tokenField;
    body += "&email=" + formEncode(m_email);
    body += "&password=" + formEncode(m_password);
    body += "&first-name=" + formEncode(m_firstName);
    body += "&last-name=" + formEncode(m_lastName);
    body += "&country=" + formEncode(m_country);
    body += "&send-newsletter=";
    body += m_newsletterSubscribed ? "yes" : "no";
    body += "&accept-terms=yes";
    return body;
}

void RegistrationRequestImpl::postAnswered(QNetworkReply* reply)
{
    const QByteArray body = reply->readAll();
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();

    // The server answers a created account with a redirect to this relative path.
    if (target.toString(QUrl::RemoveQuery) == QLatin1String("/checkyouremails")) {
        if (!m_email.isEmpty() && !m_firstName.isEmpty() && !m_lastName.isEmpty()
            && !m_password.isEmpty() && !m_country.isEmpty()) {
            qCDebug(lcAccount) << "Registration accepted; activation pending";
            emit finished(m_email);
        } else {
            emit failed({ { QStringLiteral("_bogus"),
                QStringLiteral("Server was unable to handle the registration properly") } });
        }
        return;
    }

    QVariantMap errors = registrationErrors(body);
    if (!errors.isEmpty())
        qCDebug(lcAccount) << "Registration refused with field errors" << errors;
    else
        errors.insert(QStringLiteral("_server"), reasonPhrase(reply));
    emit failed(errors);
}

} // namespace zel
