#include "MacSignature.h"

#include "Logging.h"
#include "platform/SecureMemory.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <openssl/evp.h>
#include <openssl/hmac.h>

void MacToken::clear()
{
    zel::platform::wipe(accessToken);
    zel::platform::wipe(refreshToken);
    zel::platform::wipe(macKey);
}

namespace zel::mac {

namespace {

    // The digest for the two MAC algorithms of draft-ietf-oauth-v2-http-mac; null for others.
    const EVP_MD* hmacDigest(QCryptographicHash::Algorithm algorithm)
    {
        switch (algorithm) {
        case QCryptographicHash::Sha1:
            return EVP_sha1();
        case QCryptographicHash::Sha256:
            return EVP_sha256();
        default:
            return nullptr;
        }
    }

    // RFC 2104 HMAC of data keyed with key; empty when the algorithm is not a MAC algorithm.
    QByteArray hmac(
        QCryptographicHash::Algorithm algorithm, const QByteArray& key, const QByteArray& data)
    {
        const EVP_MD* digest = hmacDigest(algorithm);
        if (!digest) {
            qCWarning(lcOAuth) << "Cannot sign a request: unsupported MAC algorithm"
                               << static_cast<int>(algorithm);
            return QByteArray();
        }
        unsigned char result[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        // An empty key (signed unchanged) still gets a valid pointer: OpenSSL's HMAC_Init_ex
        // reads a null key as "keep the previous key", a meaning best not relied on.
        static const unsigned char emptyKey = 0;
        const void* keyData = key.isEmpty() ? static_cast<const void*>(&emptyKey)
                                            : static_cast<const void*>(key.constData());
        if (!HMAC(digest, keyData, key.size(),
                reinterpret_cast<const unsigned char*>(data.constData()),
                static_cast<size_t>(data.size()), result, &length)) {
            qCWarning(lcOAuth) << "Cannot sign a request: HMAC computation failed";
            return QByteArray();
        }
        return QByteArray(reinterpret_cast<const char*>(result), static_cast<int>(length));
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
    // OpenSSL's digests for the MAC algorithms: QCryptographicHash uses portable C code that is
    // several times slower on large bodies (SHA-256 of 64 KiB: about 7x).
    if (const EVP_MD* digest = hmacDigest(algorithm)) {
        unsigned char result[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_Digest(body.constData(), static_cast<size_t>(body.size()), result, &length, digest,
                nullptr))
            return QByteArray(reinterpret_cast<const char*>(result), static_cast<int>(length))
                .toBase64();
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
