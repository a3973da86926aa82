#include "MacSignature.h"

#include "Logging.h"
#include "platform/Digest.h"
#include "platform/SecureMemory.h"

#include <QDateTime>
#include <QRandomGenerator>

void zel::MacToken::clear()
{
    zel::platform::wipe(accessToken);
    zel::platform::wipe(refreshToken);
    zel::platform::wipe(macKey);
}

namespace zel::mac {

namespace {

    // The platform digest for the two MAC algorithms of draft-ietf-oauth-v2-http-mac.
    bool macDigest(QCryptographicHash::Algorithm algorithm, platform::DigestAlgorithm& digest)
    {
        switch (algorithm) {
        case QCryptographicHash::Sha1:
            digest = platform::DigestAlgorithm::Sha1;
            return true;
        case QCryptographicHash::Sha256:
            digest = platform::DigestAlgorithm::Sha256;
            return true;
        default:
            return false;
        }
    }

    std::string_view view(const QByteArray& bytes)
    {
        return std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()));
    }

    // RFC 2104 HMAC of data keyed with key; empty when the algorithm is not a MAC algorithm.
    QByteArray hmac(
        QCryptographicHash::Algorithm algorithm, const QByteArray& key, const QByteArray& data)
    {
        platform::DigestAlgorithm digest;
        if (!macDigest(algorithm, digest)) {
            qCWarning(lcOAuth) << "Cannot sign a request: unsupported MAC algorithm"
                               << static_cast<int>(algorithm);
            return QByteArray();
        }
        const std::string result = platform::hmac(digest, view(key), view(data));
        if (result.empty()) {
            qCWarning(lcOAuth) << "Cannot sign a request: HMAC computation failed";
            return QByteArray();
        }
        return QByteArray(result.data(), static_cast<int>(result.size()));
    }

    // The access token as UTF-8 text up to its first zero byte.
    QString macKeyIdentifier(const QByteArray& accessToken)
    {
        const int zero = accessToken.indexOf('\0');
        return QString::fromUtf8(accessToken.constData(), zero < 0 ? accessToken.size() : zero);
    }

    // The port of the normalized request string: the explicit one, else 80 for plain http and
    // 443 for every other scheme.
    int normalizedPort(const QUrl& url)
    {
        const int port = url.port(-1);
        if (port >= 0)
            return port;
        return url.scheme() == QLatin1String("http") ? 80 : 443;
    }

} // namespace

QString macAuthorizationHeader(
    const QUrl& url, const QString& verb, const MacToken& token, const QByteArray& body)
{
    return macAuthorizationHeader(url, verb, token, body, createNonce(token.issueTime));
}

QString macAuthorizationHeader(const QUrl& url, const QString& verb, const MacToken& token,
    const QByteArray& body, const QString& nonce)
{
    // The body hash is always present, for an empty body too (GET, DELETE).
    const QByteArray hash = bodyHash(body, token.algorithm);
    const QByteArray normalized = normalizedRequestString(url, verb, nonce, hash);
    const QByteArray mac = hmac(token.algorithm, token.macKey, normalized).toBase64();

    // Plain concatenation: an id or nonce holding "%1" must not be taken for a placeholder.
    return QLatin1String("MAC id=\"") + macKeyIdentifier(token.accessToken)
        + QLatin1String("\",nonce=\"") + nonce + QLatin1String("\",bodyhash=\"")
        + QString::fromLatin1(hash) + QLatin1String("\",mac=\"") + QString::fromLatin1(mac)
        + QLatin1Char('"');
}

QByteArray normalizedRequestString(
    const QUrl& url, const QString& verb, const QString& nonce, const QByteArray& bodyHash)
{
    // draft-ietf-oauth-v2-http-mac: nonce, method, request URI, host, port, body hash and ext,
    // each on its own line ended by a line feed; ext is always empty here.
    QString requestUri = url.path(QUrl::FullyDecoded);
    if (url.hasQuery())
        requestUri += QLatin1Char('?') + url.query();

    const QChar lf(QLatin1Char('\n'));
    const QString normalized = nonce + lf + verb.toUpper() + lf + requestUri + lf
        + url.host(QUrl::FullyDecoded).toLower() + lf + QString::number(normalizedPort(url)) + lf
        + QString::fromLatin1(bodyHash) + lf + lf;
    return normalized.toUtf8();
}

QString createNonce(qint64 issueTime)
{
    // The random part comes from the system's secure generator, so that nonces cannot be
    // predicted or repeated across processes.
    quint32 words[5];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray random
        = QByteArray(reinterpret_cast<const char*>(words), sizeof(words)).toHex();

    // A clock that reads earlier than the issue time gives age 0, never a negative age. The
    // difference is taken unsigned: a corrupt stored issue time far in the past must not
    // overflow a signed subtraction.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const quint64 age = now > issueTime
        ? (static_cast<quint64>(now) - static_cast<quint64>(issueTime)) / 1000
        : 0;

    return QString::number(age) + QLatin1Char(':') + QString::fromLatin1(random);
}

QByteArray bodyHash(const QByteArray& body, QCryptographicHash::Algorithm algorithm)
{
    // The platform's digests for the MAC algorithms: QCryptographicHash uses portable C code that
    // is several times slower on large bodies (SHA-256 of 64 KiB: about 7x with OpenSSL).
    platform::DigestAlgorithm digest;
    if (macDigest(algorithm, digest)) {
        const std::string result = platform::digest(digest, view(body));
        if (!result.empty())
            return QByteArray(result.data(), static_cast<int>(result.size())).toBase64();
    }
    return QCryptographicHash::hash(body, algorithm).toBase64();
}

bool parseMacAlgorithm(const QString& name, QCryptographicHash::Algorithm& algorithm)
{
    const QString lower = name.toLower();
    if (lower == QLatin1String("hmac-sha-1")) {
        algorithm = QCryptographicHash::Sha1;
        return true;
    }
    if (lower == QLatin1String("hmac-sha-256")) {
        algorithm = QCryptographicHash::Sha256;
        return true;
    }
    return false;
}

QByteArray httpVerb(QNetworkAccessManager::Operation operation)
{
    switch (operation) {
    case QNetworkAccessManager::GetOperation:
        return QByteArrayLiteral("GET");
    case QNetworkAccessManager::PutOperation:
        return QByteArrayLiteral("PUT");
    case QNetworkAccessManager::PostOperation:
        return QByteArrayLiteral("POST");
    case QNetworkAccessManager::DeleteOperation:
        return QByteArrayLiteral("DELETE");
    default:
        return QByteArray();
    }
}

} // namespace zel::mac
