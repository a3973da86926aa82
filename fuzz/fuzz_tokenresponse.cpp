// The token-answer handling under arbitrary bytes: the first byte picks the grant and the
// status, the rest is parsed as JSON and judged against a held token record. Besides crashes
// and sanitizer reports, an outcome that breaks the handling's own rules aborts.

#include "FuzzSupport.h"
#include "TokenGrants.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace zel;

namespace {

int judge(const uint8_t* data, size_t size)
{
    const auto require = [](bool ok) { zel::fuzz::check(ok, "inconsistent judgement"); };
    if (size == 0)
        return 0;
    static const QString grants[] = { QStringLiteral("authorization_code"),
        QStringLiteral("refresh_token"), QStringLiteral("client_credentials") };
    const QString& grant = grants[data[0] % 3];
    const int status = (data[0] & 0x80) ? 201 : 200;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray::fromRawData(reinterpret_cast<const char*>(data + 1), int(size - 1)));

    const MacToken held { "held-access", 5, 6, QStringLiteral("held-refresh"), "held-key",
        QCryptographicHash::Sha256 };
    const qint64 now = 1700000000000;

    const TokenAnswer answer = interpretTokenAnswer(grant, status, document, held, now);
    switch (answer.outcome) {
    case TokenAnswer::NotAnObject:
        require(!document.isObject() && answer.settings.isEmpty());
        require(answer.token.refreshToken == held.refreshToken);
        break;
    case TokenAnswer::Refused:
        require(status != 200 && answer.settings.isEmpty());
        require(answer.token.refreshToken.isEmpty() && answer.token.accessToken.isEmpty()
            && answer.token.macKey.isEmpty());
        break;
    case TokenAnswer::BadAlgorithm:
        require(answer.settings.isEmpty() && !answer.newRefreshToken);
        require(answer.token.algorithm == held.algorithm && answer.token.issueTime == 5);
        break;
    case TokenAnswer::Granted: {
        require(status == 200 && document.isObject());
        require(answer.token.issueTime == now);
        require(answer.token.expiryTime == now + qint64(answer.lifetime) * 1000);
        require(answer.settings.value(QStringLiteral("issue_time")).toLongLong() == now);
        require(answer.settings.value(QStringLiteral("key")).toString().toUtf8()
            == answer.token.macKey);
        const QJsonValue refresh = document.object().value(QLatin1String("refresh_token"));
        require(answer.newRefreshToken == refresh.isString());
        // Never an empty or stale refresh token written; a refresh answer without one keeps it.
        require(!answer.settings.value(QStringLiteral("refresh_token")).isValid());
        if (!refresh.isString() && grant == grants[1])
            require(answer.token.refreshToken == held.refreshToken);
        if (!refresh.isString() && grant != grants[1])
            require(answer.token.refreshToken.isEmpty()
                && answer.settings.contains(QStringLiteral("refresh_token")));
        break;
    }
    }
    return 0;
}

} // namespace

ZEL_FUZZ_TARGET(judge)
