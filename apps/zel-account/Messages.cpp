#include "Messages.h"

#include <QNetworkReply>
#include <QSslError>

#include <cstdio>

namespace messages {

namespace {

    bool isTerminalControl(char16_t c)
    {
        return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x061c || c == 0x200e || c == 0x200f
            || c == 0x2028 || c == 0x2029 || (c >= 0x202a && c <= 0x202e)
            || (c >= 0x2066 && c <= 0x2069);
    }

} // namespace

void note(const QString& message)
{
    std::fputs(("zel-account: " + escaped(message) + '\n').toUtf8().constData(), stderr);
    std::fflush(stderr);
}

QString escaped(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (!isTerminalControl(c))
            result += ch;
        else if (c == '\n')
            result += QLatin1String("\\n");
        else if (c == '\r')
            result += QLatin1String("\\r");
        else if (c == '\t')
            result += QLatin1String("\\t");
        else if (c <= 0xff)
            result += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            result += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
    }
    return result;
}

QByteArray terminalSafeJson(const QByteArray& json)
{
    // Outside strings serialized JSON is plain ASCII, so every such character is in a string,
    // where a \u escape stands for it.
    const QString text = QString::fromUtf8(json);
    QString result;
    result.reserve(text.size());
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (isTerminalControl(c) && c != '\n')
            result += QStringLiteral("\\u%1").arg(int(c), 4, 16, QLatin1Char('0'));
        else
            result += ch;
    }
    return result.toUtf8();
}

bool isTransportError(int code)
{
    return (code > 0 && code < 200) || code == QNetworkReply::ProtocolFailure
        || code == QNetworkReply::ProtocolUnknownError;
}

QString networkErrorWords(int code)
{
    switch (code) {
    case QNetworkReply::NoError:
        return QStringLiteral("no error");
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the server closed the connection without an answer");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("the connection timed out");
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("no answer in time (the request was cancelled)");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("the TLS handshake failed");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
        return QStringLiteral("the network is not available");
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("too many redirects");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("a redirect from https to http");
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
    case QNetworkReply::UnknownProxyError:
        return QStringLiteral("the proxy failed (network error %1)").arg(code);
    case QNetworkReply::ContentAccessDenied:
        return httpStatusWords(403);
    case QNetworkReply::ContentOperationNotPermittedError:
        return httpStatusWords(405);
    case QNetworkReply::ContentNotFoundError:
        return httpStatusWords(404);
    case QNetworkReply::AuthenticationRequiredError:
        return httpStatusWords(401);
    case QNetworkReply::ContentConflictError:
        return httpStatusWords(409);
    case QNetworkReply::ContentGoneError:
        return httpStatusWords(410);
    case QNetworkReply::ProtocolInvalidOperationError:
        return httpStatusWords(400);
    case QNetworkReply::InternalServerError:
        return httpStatusWords(500);
    case QNetworkReply::OperationNotImplementedError:
        return httpStatusWords(501);
    case QNetworkReply::ServiceUnavailableError:
        return httpStatusWords(503);
    case QNetworkReply::UnknownContentError:
        return QStringLiteral("an HTTP client error (4xx)");
    case QNetworkReply::UnknownServerError:
        return QStringLiteral("an HTTP server error (5xx)");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("an unsupported URL scheme");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("a broken HTTP answer");
    default:
        return QStringLiteral("network error %1").arg(code);
    }
}

QString sslErrorWords(const QList<QSslError>& errors)
{
    for (const QSslError& error : errors) {
        switch (error.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::CertificateRejected:
            return QStringLiteral(
                "the server's TLS certificate is not trusted (pass --ca-file with the CA "
                "that issued it)");
        case QSslError::HostNameMismatch:
            return QStringLiteral("the server's TLS certificate is for another host name");
        case QSslError::CertificateExpired:
        case QSslError::CertificateNotYetValid:
            return QStringLiteral("the server's TLS certificate has expired or is not valid yet");
        default:
            break;
        }
    }
    if (errors.isEmpty())
        return networkErrorWords(QNetworkReply::SslHandshakeFailedError);
    return QStringLiteral("TLS: %1").arg(errors.first().errorString());
}

QString httpStatusWords(int status)
{
    const char* words = nullptr;
    switch (status) {
    case 400:
        words = "bad request";
        break;
    case 401:
        words = "unauthorized";
        break;
    case 403:
        words = "forbidden";
        break;
    case 404:
        words = "not found";
        break;
    case 405:
        words = "method not allowed";
        break;
    case 409:
        words = "conflict";
        break;
    case 410:
        words = "gone";
        break;
    case 413:
        words = "request too large";
        break;
    case 422:
        words = "unprocessable request";
        break;
    case 429:
        words = "too many requests";
        break;
    case 500:
        words = "internal server error";
        break;
    case 501:
        words = "not implemented";
        break;
    case 502:
        words = "bad gateway";
        break;
    case 503:
        words = "service unavailable";
        break;
    case 504:
        words = "gateway timeout";
        break;
    default:
        break;
    }
    return words ? QStringLiteral("HTTP %1 (%2)").arg(status).arg(QLatin1String(words))
                 : QStringLiteral("HTTP %1").arg(status);
}

} // namespace messages
