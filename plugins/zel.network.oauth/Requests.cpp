#include "Requests.h"

#include "platform/SecureMemory.h"

#include <QNetworkCookie>
#include <QNetworkReply>
#include <QUrl>

#include <algorithm>
#include <string_view>

namespace zel {

namespace {

    const QByteArray antiForgeryCookie = QByteArrayLiteral("__anti-forgery-token");

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

QNetworkRequest createFormRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(
        QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

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
            if (cookie.name() == antiForgeryCookie) {
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
    tokenField.prepend(antiForgeryCookie + '=');

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
