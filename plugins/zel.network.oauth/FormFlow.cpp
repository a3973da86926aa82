#include "FormFlow.h"

#include "JsonNetworkReplyImpl.h"
#include "Keys.h"
#include "Logging.h"
#include "OAuth2ClientImpl.h"
#include "Requests.h"

#include <QNetworkCookie>
#include <QNetworkReply>

#include <algorithm>
#include <string_view>

namespace zel {

QString antiForgeryTokenIn(const QString& page)
{
    // Finds what <input [^>]*name="__anti-forgery-token"[^>]*value="([^"]+) finds, without the
    // backtracking that makes that pattern quadratic. Every candidate start ("<input ") shares
    // its attribute run with all later starts before the same ">", and the pattern can only
    // match within that run: the name anywhere in it, then, after the name's end, a value="
    // that ends inside the run and is followed by one character other than a quote. The
    // pattern's greedy runs pick the last such value="; its capture runs to the next quote or
    // the end of the page, and may cross the ">". Each run is looked at once.
    using View = std::u16string_view;
    constexpr View start = u"<input ", name = u"name=\"__anti-forgery-token\"", value = u"value=\"";
    const View text(reinterpret_cast<const char16_t*>(page.utf16()), std::size_t(page.size()));
    std::size_t from = 0;
    for (;;) {
        const std::size_t tag = text.find(start, from);
        if (tag == View::npos)
            return QString();
        const std::size_t runStart = tag + start.size();
        const std::size_t runEnd = std::min(text.find(u'>', runStart), text.size());
        const std::size_t nameAt = text.substr(runStart, runEnd - runStart).find(name);
        if (nameAt != View::npos) {
            // Searched within the run only, so that each run costs its own length.
            const std::size_t valuesFrom = runStart + nameAt + name.size();
            const View values = text.substr(valuesFrom, runEnd - valuesFrom);
            for (std::size_t at = values.rfind(value); at != View::npos;
                 at = at == 0 ? View::npos : values.rfind(value, at - 1)) {
                const std::size_t capture = valuesFrom + at + value.size();
                if (capture < text.size() && text[capture] != u'"') {
                    const std::size_t end = std::min(text.find(u'"', capture), text.size());
                    return page.mid(int(capture), int(end - capture));
                }
            }
        }
        from = runEnd;
    }
}

QNetworkRequest formPageRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("text/html"));
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

QNetworkRequest formPostRequest(QNetworkReply* formReply, QByteArray& tokenField)
{
    if (formReply) {
        const QList<QNetworkCookie> cookies = qvariant_cast<QList<QNetworkCookie>>(
            formReply->header(QNetworkRequest::SetCookieHeader));
        for (const QNetworkCookie& cookie : cookies) {
            if (cookie.name() == form::antiForgeryToken.toLatin1()) {
                tokenField = cookie.value();
                break;
            }
        }
        if (tokenField.isEmpty()) {
            // The first input named for the token, with the name before the value, wins. The
            // page is decoded as UTF-8; encoding the token back gives the server's own bytes.
            tokenField = antiForgeryTokenIn(QString::fromUtf8(formReply->readAll())).toUtf8();
        }
    }
    tokenField.prepend(form::antiForgeryToken.toLatin1() + '=');

    // The post goes to the URL the form was fetched from, never to where a redirect of the
    // fetch pointed: the body carries the user's password.
    QNetworkRequest request = formReply ? formReply->request() : QNetworkRequest();
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return request;
}

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
