#include "FormFlow.h"

#include "JsonNetworkReplyImpl.h"
#include "Logging.h"
#include "Requests.h"
#include "ZelOAuthClient.h"

#include <QNetworkReply>

namespace zel {

FormFlow::FormFlow(OAuth2ClientImpl* client, QObject* parent, const char* name)
    : QObject(parent)
    , client(client)
    , name(name)
    , manager(new QNetworkAccessManager(this))
{
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setTransferTimeout(
        client->transferTimeout() > 0 ? client->transferTimeout() : defaultTransferTimeout);
}

void FormFlow::start()
{
    connect(client, &OAuth2ClientImpl::credentialsFetched, this, &FormFlow::onCredentials,
        Qt::UniqueConnection);
    connect(client, &OAuth2ClientImpl::credentialsFailed, this, &FormFlow::onCredentialsFailure,
        Qt::UniqueConnection);
    // A flow without parent outlives the service: waiting for its device credentials, it
    // would wait for ever.
    if (!parent())
        connect(client, &QObject::destroyed, this, &FormFlow::onServiceGone, Qt::UniqueConnection);
    client->fetchClientCredentials();
}

void FormFlow::stopWaitingForCredentials()
{
    // Later emissions, successes or failures, belong to other requests (a flow started
    // meanwhile must not make this one fetch and post its form again).
    disconnect(client, &OAuth2ClientImpl::credentialsFetched, this, &FormFlow::onCredentials);
    disconnect(client, &OAuth2ClientImpl::credentialsFailed, this, &FormFlow::onCredentialsFailure);
    disconnect(client, &QObject::destroyed, this, &FormFlow::onServiceGone);
}

void FormFlow::abandon(network::ErrorKind kind, const QString& message)
{
    if (std::exchange(abandoned, true))
        return;
    stopWaitingForCredentials();
    const auto replies = manager->findChildren<QNetworkReply*>();
    for (QNetworkReply* reply : replies) {
        reply->disconnect(this);
        reply->abort();
    }
    answerFailed(kind, message);
}

void FormFlow::onServiceGone()
{
    credentialsFailed(
        network::ErrorKind::ShutDown, QStringLiteral("the account service was shut down"));
}

void FormFlow::onCredentials()
{
    stopWaitingForCredentials();

    const QUrl url = formUrl();
    QNetworkRequest request = formPageRequest(url);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 keeps Nagle's algorithm on and hands a post's body to its socket after the headers:
    // on a reused connection the body then waits for the server's delayed ACK (about 40 ms on
    // Linux, 200 ms on Windows). Over plain HTTP a fresh connection has no such wait, so the
    // form's connection is closed and the post goes out on a new one, still through this
    // manager, with the form's cookies, to the form's URL. Over TLS a fresh connection waits
    // just the same and would only add a handshake.
    if (url.scheme() == QLatin1String("http"))
        request.setRawHeader("Connection", "close");
#endif
    qCDebug(lcAccount).nospace() << "Fetching the " << name << " form "
                                 << url.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
    QNetworkReply* reply = manager->get(request);
    limitAnswerSize(reply, pageAnswerLimit);
    limitAnswerTime(reply, Server::OAuth, 2 * manager->transferTimeout());
    connect(reply, &QNetworkReply::finished, this, &FormFlow::onFormReceived);
}

void FormFlow::onCredentialsFailure(network::ErrorKind kind, QString error)
{
    stopWaitingForCredentials();
    credentialsFailed(kind, error);
}

QNetworkReply* FormFlow::finishedReply()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return nullptr;
    reply->deleteLater();
    if (answerTooLarge(reply)) {
        answerFailed(network::ErrorKind::UnexpectedAnswer, answerTooLargeMessage(pageAnswerLimit));
        return nullptr;
    }
    const QString timeout = timeoutMessage(reply, Server::OAuth);
    if (!timeout.isEmpty()) {
        answerFailed(network::ErrorKind::TimedOut, timeout);
        return nullptr;
    }
    // A page or answer that did not arrive whole is not judged: a form fetched in part is not
    // posted (the post carries the password), and half an answer is no answer.
    if (failedInTransport(reply)) {
        qCDebug(lcAccount).nospace()
            << "The " << name << " exchange failed, network error " << reply->error();
        answerFailed(transportErrorKind(reply->error()), reply->errorString());
        return nullptr;
    }
    return reply;
}

void FormFlow::onFormReceived()
{
    QNetworkReply* reply = finishedReply();
    if (!reply || !acceptForm(reply))
        return;

    QByteArray tokenField;
    const QNetworkRequest request = formPostRequest(reply, tokenField);
    qCDebug(lcAccount).nospace()
        << "The " << name << " form answered with status "
        << reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() << ", posting it "
        << (tokenField.indexOf('=') + 1 < tokenField.size() ? "with" : "without")
        << " an anti-forgery token";

    QNetworkReply* post = manager->post(request, postBody(tokenField));
    limitAnswerSize(post, pageAnswerLimit);
    limitAnswerTime(post, Server::OAuth, 2 * manager->transferTimeout());
    connect(post, &QNetworkReply::finished, this, &FormFlow::onPostAnswered);
}

void FormFlow::onPostAnswered()
{
    if (QNetworkReply* reply = finishedReply())
        postAnswered(reply);
}

} // namespace zel
