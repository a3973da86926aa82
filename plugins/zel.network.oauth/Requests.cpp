#include "Requests.h"

#include "Keys.h"
#include "platform/IdentityRules.h"
#include "platform/SecureMemory.h"
#include "platform/SystemLookup.h"

#include <QHostInfo>
#include <QNetworkReply>
#include <QUrl>

#include <algorithm>

namespace zel {

namespace {

    // Identifies the kind of client application to the server; the same on every installation.
    const QString clientClassId = QStringLiteral("Rb5Tq8WmZ3xKvN7pLh2Ds");

    // Carries why createApiRequest refused a path, from the service to the reply.
    constexpr auto refusalAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);

    // Whether a URL path (from its first "/") has a dot segment ("%2e" reads as ".") or an empty
    // one before its last: Qt resolves and merges those before sending.
    bool hasRewrittenSegments(const QString& path)
    {
        for (int start = 1;;) {
            const int end = path.indexOf(QLatin1Char('/'), start);
            const QStringView segment
                = QStringView(path).mid(start, (end < 0 ? path.size() : end) - start);
            if (segment == QLatin1String(".") || segment == QLatin1String("..")
                || (segment.isEmpty() && end >= 0))
                return true;
            if (end < 0)
                return false;
            start = end + 1;
        }
    }

} // namespace

QByteArray formEncode(const QString& text)
{
    // RFC 3986, 2.3: only the unreserved characters stay as they are.
    return QUrl::toPercentEncoding(text, QByteArray(), QByteArray());
}

// Every reserved character is escaped, so that a value holding "+", "&", "=", "%" or a space
// reaches the server unchanged.
QByteArray formBody(const FormFields& fields)
{
    QByteArray body;
    for (const auto& field : fields) {
        if (!body.isEmpty())
            body += '&';
        QByteArray value = field.second.toUtf8();
        body += formEncode(field.first) + '=' + QUrl::toPercentEncoding(value);
        zel::platform::wipe(value);
    }
    return body;
}

FormFields deviceRegistrationFields(const platform::SystemLookup& lookup)
{
    const QByteArray userName
        = QString::fromStdString(lookup.userName().value_or(std::string())).toLower().toUtf8();
    const std::string userIdentifier
        = platform::sha1Hex(std::string_view(userName.constData(), size_t(userName.size())));
    return { { form::clientClassId, clientClassId },
        { form::modelIdentifier, QStringLiteral("PC") },
        { form::deviceIdentifier, QString::fromStdString(platform::deviceIdentifier(lookup)) },
        { form::userIdentifier, QString::fromStdString(userIdentifier) },
        { form::deviceName, QHostInfo::localHostName() } };
}

QNetworkRequest createFormRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

QNetworkRequest createApiRequest(const QString& apiOrigin, const QString& path)
{
    // The path is joined as text, so that it reaches the server as the host wrote it. Only a
    // leading "/" ends the origin's authority: any other path would extend it ("@evil.example/x"
    // names another host, ":8443/x" another port, "x" the host "api.example.comx") and send the
    // signed request and the host's body there. A fragment is never sent: "/notes/#3" would
    // reach "/notes/". Dot and empty segments would be resolved on the way out ("/a/../b" goes
    // out as "/b"), so that the request would reach another resource than the one it is signed
    // for.
    const QUrl url(apiOrigin + path, QUrl::TolerantMode);
    QString refusal;
    if (!path.startsWith(QLatin1Char('/')))
        refusal = QStringLiteral("The API path \"%1\" does not begin with \"/\"");
    else if (url.hasFragment())
        refusal = QStringLiteral("The API path \"%1\" has a fragment (\"#\"), which is never sent");
    else if (hasRewrittenSegments(url.path(QUrl::FullyEncoded)))
        refusal = QStringLiteral(
            "The API path \"%1\" has an empty or dot segment, which would be rewritten");
    else if (!url.isValid())
        refusal = QStringLiteral("The API URL for the path \"%1\" is not valid");
    if (!refusal.isEmpty()) {
        QNetworkRequest refused;
        refused.setAttribute(refusalAttribute, refusal.arg(path));
        return refused;
    }

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

QString apiRequestRefusal(const QNetworkRequest& request)
{
    return request.attribute(refusalAttribute).toString();
}

} // namespace zel
