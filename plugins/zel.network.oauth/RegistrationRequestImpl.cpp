#include "RegistrationRequestImpl.h"

#include "JsonNetworkReplyImpl.h"
#include "Logging.h"
#include "Requests.h"
#include "ZelOAuthClient.h"

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
    : QObject(nullptr)
    , client(client)
{
    // Redirect targets are read, never followed, so the post with the password cannot be
    // carried to another host.
    networkAccessManager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    // The account service records the pending activation; its slot is private, hence by name.
    connect(this, SIGNAL(finished(QString)), client, SLOT(onRegistrationFinished(QString)));
}

RegistrationRequestImpl::~RegistrationRequestImpl()
{
    // Replies still running die with the manager; none of them may call back into this object.
    const auto replies = networkAccessManager.findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies)
        reply->disconnect(this);
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
    if (failIfServiceGone())
        return;
    connect(client, &OAuth2ClientImpl::credentialsFetched, this,
        &RegistrationRequestImpl::onCredentials, Qt::UniqueConnection);
    connect(client, &OAuth2ClientImpl::credentialsFailure, this,
        &RegistrationRequestImpl::onCredentialsFailure, Qt::UniqueConnection);
    client->fetchClientCredentials();
}

void RegistrationRequestImpl::onCredentials()
{
    if (failIfServiceGone())
        return;
    // Credentials held: later emissions belong to other requests (a login started meanwhile
    // must not make this registration fetch and post its form again).
    disconnect(client, &OAuth2ClientImpl::credentialsFetched, this,
        &RegistrationRequestImpl::onCredentials);
    disconnect(client, &OAuth2ClientImpl::credentialsFailure, this,
        &RegistrationRequestImpl::onCredentialsFailure);

    const QUrl url(client->oauthServer() + QLatin1String("/register?client_id=")
            + QString::fromLatin1(formEncode(client->clientId())),
        QUrl::TolerantMode);
    const QNetworkRequest request = formPageRequest(url);
    qCDebug(lcAccount) << "Fetching the registration form"
                       << url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);

    QNetworkReply* reply = networkAccessManager.get(request);
    limitAnswerSize(reply, pageAnswerLimit);
    connect(reply, &QNetworkReply::finished, this,
        &RegistrationRequestImpl::onRegistrationFormReceived);
}

void RegistrationRequestImpl::onCredentialsFailure(QString error)
{
    emit failed({ { QStringLiteral("_credentials"), error } });
}

void RegistrationRequestImpl::onRegistrationFormReceived()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (answerTooLarge(reply)) {
        emit failed({ { QStringLiteral("_network"), answerTooLargeMessage(pageAnswerLimit) } });
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        qCDebug(lcAccount) << "Registration form fetch failed, network error" << reply->error();
        emit failed({ { QStringLiteral("_network"),
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString() } });
        return;
    }

    QByteArray body;
    const QNetworkRequest request = formPostRequest(reply, body);
    body += "&email=" + formEncode(m_email);
    body += "&password=" + formEncode(m_password);
    body += "&first-name=" + formEncode(m_firstName);
    body += "&last-name=" + formEncode(m_lastName);
    body += "&country=" + formEncode(m_country);
    body += "&send-newsletter=";
    body += m_newsletterSubscribed ? "yes" : "no";
    body += "&accept-terms=yes";
    qCDebug(lcAccount) << "Posting the registration form";

    QNetworkReply* post = networkAccessManager.post(request, body);
    limitAnswerSize(post, pageAnswerLimit);
    connect(
        post, &QNetworkReply::finished, this, &RegistrationRequestImpl::onRegistrationCompleted);
}

void RegistrationRequestImpl::onRegistrationCompleted()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();

    if (answerTooLarge(reply)) {
        emit failed({ { QStringLiteral("_network"), answerTooLargeMessage(pageAnswerLimit) } });
        return;
    }
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
        errors.insert(QStringLiteral("_server"),
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    emit failed(errors);
}

} // namespace zel
