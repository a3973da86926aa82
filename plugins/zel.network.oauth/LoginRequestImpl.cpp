#include "LoginRequestImpl.h"

#include "JsonNetworkReplyImpl.h"
#include "Keys.h"
#include "Logging.h"
#include "OAuth2ClientImpl.h"
#include "Requests.h"
#include "platform/SecureMemory.h"

#include <QNetworkCookie>
#include <QNetworkReply>
#include <QUrlQuery>

namespace zel {

namespace {

    const QByteArray flashErrorCookie = QByteArrayLiteral("flash-error");

    QList<QNetworkCookie> setCookies(QNetworkReply* reply)
    {
        return qvariant_cast<QList<QNetworkCookie>>(
            reply->header(QNetworkRequest::SetCookieHeader));
    }

    int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

} // namespace

QString flashErrorText(const QByteArray& cookieValue)
{
    // Form decoding: "+" is a space, and only then are %XX sequences decoded, so that an
    // encoded "+" (%2B) stays a plus. As the WHATWG URL standard defines it, a "%" that is not
    // followed by two hex digits stays as it is, instead of turning into an arbitrary byte.
    QByteArray bytes;
    bytes.reserve(cookieValue.size());
    for (int i = 0; i < cookieValue.size(); ++i) {
        const char c = cookieValue.at(i);
        if (c == '%' && i + 2 < cookieValue.size()) {
            const int high = hexValue(cookieValue.at(i + 1));
            const int low = hexValue(cookieValue.at(i + 2));
            if (high >= 0 && low >= 0) {
                bytes.append(char(high * 16 + low));
                i += 2;
                continue;
            }
        }
        bytes.append(c == '+' ? ' ' : c);
    }
    return QString::fromUtf8(bytes);
}

LoginRequestImpl::LoginRequestImpl(
    const QString& identifier, const QString& password, OAuth2ClientImpl* client)
    : FormFlow(client, client, "login")
    , loginBodyPrefix(
          formBody({ { form::identifier, identifier }, { form::password, password } }) + '&')
{
    connect(this, &LoginRequestImpl::failed, client, &OAuth2ClientImpl::reportLoginFailure);
    start();
}

LoginRequestImpl::~LoginRequestImpl() { zel::platform::wipe(loginBodyPrefix); }

QUrl LoginRequestImpl::formUrl() const
{
    // The redirect URI is the token core's: the grant that redeems the code must name it too.
    const QByteArray query = formBody({ { form::responseType, oauth::code },
        { oauth::redirectUri, client->redirectUri() }, { oauth::clientId, client->clientId() } });
    return QUrl(
        client->oauthServer() + paths::login + QLatin1Char('?') + QString::fromLatin1(query),
        QUrl::TolerantMode);
}

QByteArray LoginRequestImpl::postBody(const QByteArray& tokenField)
{
    const QByteArray body = loginBodyPrefix + tokenField;
    // The password is not needed any more.
    zel::platform::wipe(loginBodyPrefix);
    return body;
}

void LoginRequestImpl::postAnswered(QNetworkReply* reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = reasonPhrase(reply);
    if (status >= 400) {
        qCDebug(lcAccount) << "Login post refused with status" << status;
        emit failed(network::ErrorKind::RefusedByServer, reason);
        return;
    }

    const QList<QNetworkCookie> cookies = setCookies(reply);
    const QString body = QString::fromUtf8(reply->readAll());
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    const QString expected
        = QUrlQuery(reply->request().url())
              .queryItemValue(QStringLiteral("redirect_uri"), QUrl::FullyDecoded);

    // The target's query holds the single-use code: only whether it matched is logged.
    const bool matched = !target.isEmpty() && target.toString(QUrl::RemoveQuery) == expected;
    qCDebug(lcAccount).nospace() << "Login post answered with status " << status << ", "
                                 << (matched ? "redirected" : "not redirected")
                                 << " to the redirect URI";

    if (matched) {
        const QString code
            = QUrlQuery(target).queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
        if (code.isEmpty()) {
            emit failed(
                network::ErrorKind::UnexpectedAnswer, QStringLiteral("Authorization code error"));
            return;
        }
        OAuth2ClientImpl* const account = client; // a receiver of finished() may release us
        emit finished();
        account->fetchAccessTokenUsingAuthorizationCode(code);
        return;
    }

    // The form again, with the server's reason in a cookie: it refused the e-mail or password.
    QString message;
    for (const QNetworkCookie& cookie : cookies) {
        if (cookie.name() == flashErrorCookie)
            message = flashErrorText(cookie.value());
    }
    if (!message.isEmpty()) {
        emit failed(network::ErrorKind::LoginRefused, message);
        return;
    }
    emit failed(
        status > 0 ? network::ErrorKind::UnexpectedAnswer : network::ErrorKind::NetworkFailure,
        QStringLiteral("%1 - %2\n%3").arg(status).arg(reason, body));
}

} // namespace zel
