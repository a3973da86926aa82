#include "SealedCredentials.h"

#include "Logging.h"
#include "platform/DataProtection.h"

#include <utility>

namespace zel {

namespace {

    platform::Bytes toBytes(const QByteArray& bytes)
    {
        return platform::Bytes(bytes.cbegin(), bytes.cend());
    }

    // The bytes of a platform result, its buffer wiped; empty, with the reason logged, on
    // failure.
    QByteArray takeResult(platform::ProtectionResult& result, const char* failure)
    {
        if (!result.ok) {
            qCWarning(lcPlatform) << failure << result.error.c_str();
            return {};
        }
        QByteArray out(reinterpret_cast<const char*>(result.data.data()), int(result.data.size()));
        platform::wipe(result.data);
        return out;
    }

    // A stored value that is empty counts as none.
    QVariant storedValue(const QVariant& stored)
    {
        return stored.toByteArray().isEmpty() ? QVariant() : stored;
    }

} // namespace

QByteArray SealedCredentials::protectData(const QByteArray& bytes)
{
    platform::Bytes plain = toBytes(bytes);
    platform::ProtectionResult result = platform::protectBytes(plain);
    platform::wipe(plain);
    return takeResult(result, "Could not protect a value:");
}

QByteArray SealedCredentials::unprotectData(const QByteArray& bytes, QString* why)
{
    if (bytes.isEmpty()) {
        if (why)
            *why = QStringLiteral("it is empty");
        return {};
    }
    platform::ProtectionResult result = platform::unprotectBytes(toBytes(bytes));
    if (!result.ok && why)
        *why = QString::fromStdString(result.error);
    return takeResult(result, "Could not unprotect a stored value:");
}

QVariant SealedCredentials::protectValue(const QVariant& value)
{
    QByteArray plain = value.toByteArray();
    QByteArray sealed = protectData(plain);
    platform::wipe(plain);
    if (sealed.isEmpty())
        return QVariant(); // a sealed value is never empty, even for empty input
    const QString text = QString::fromLatin1(sealed.toBase64());
    platform::wipe(sealed);
    return text;
}

QVariant SealedCredentials::unprotectValue(const QVariant& value, QString* why)
{
    const QByteArray text = value.toByteArray();
    const auto decoded
        = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        qCWarning(lcPlatform) << "A stored protected value is not base64 text";
        if (why)
            *why = QStringLiteral("it is not base64 text");
        return QByteArray();
    }
    QByteArray plain = unprotectData(*decoded, why);
    const QByteArray copy(plain.constData(), plain.size()); // deep copy, the buffer is wiped
    platform::wipe(plain);
    return copy;
}

bool SealedCredentials::loadClientSecret(const QVariant& stored)
{
    plainSecret.clear();
    sealedClientSecret = storedValue(stored);
    return sealedClientSecret.isValid();
}

void SealedCredentials::loadRefreshToken(const QVariant& stored)
{
    sealedRefreshToken = storedValue(stored);
}

QString SealedCredentials::clientSecret() const
{
    if (sealedClientSecret.isValid()) {
        QByteArray secret
            = unprotectValue(std::exchange(sealedClientSecret, QVariant())).toByteArray();
        plainSecret = QString::fromUtf8(secret);
        platform::wipe(secret);
        if (plainSecret.isEmpty())
            qCWarning(lcOAuth) << "Client credentials are not valid: the stored client secret "
                                  "cannot be read";
    }
    return plainSecret;
}

void SealedCredentials::holdClientSecret(const QString& secret)
{
    sealedClientSecret.clear();
    plainSecret = secret;
}

void SealedCredentials::forgetClientSecret()
{
    platform::wipe(plainSecret);
    sealedClientSecret.clear();
}

bool SealedCredentials::unsealRefreshToken(QString& refreshToken, QString& why)
{
    if (!sealedRefreshToken.isValid())
        return true;
    QByteArray refresh
        = unprotectValue(std::exchange(sealedRefreshToken, QVariant()), &why).toByteArray();
    refreshToken = QString::fromUtf8(refresh);
    platform::wipe(refresh);
    return !refreshToken.isEmpty();
}

} // namespace zel
