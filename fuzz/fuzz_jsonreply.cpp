// The outcome rules of a finished JSON reply, over every network error, status, content type
// and body: exactly one outcome, and finished only for a JSON answer without network error.

#include "FuzzSupport.h"
#include "JsonNetworkReplyImpl.h"

#include <QNetworkReply>

using namespace zel;
using namespace zel::fuzz;

static void run(const uint8_t* data, size_t size)
{
    // Layout: network error (1 byte), status (2 bytes), content type up to the first newline,
    // then the body.
    if (size < 3)
        return;
    static const int errors[] = { QNetworkReply::NoError, QNetworkReply::ConnectionRefusedError,
        QNetworkReply::OperationCanceledError, QNetworkReply::ContentNotFoundError,
        QNetworkReply::AuthenticationRequiredError, QNetworkReply::ProtocolInvalidOperationError,
        QNetworkReply::InternalServerError, QNetworkReply::UnknownContentError };
    const int networkError
        = data[0] < 16 ? errors[data[0] % (sizeof(errors) / sizeof(*errors))] : data[0];
    const int status = data[1] << 8 | data[2];
    const QByteArray rest(reinterpret_cast<const char*>(data + 3), int(size - 3));
    const int newline = rest.indexOf('\n');
    const QString contentType = QString::fromUtf8(newline < 0 ? rest : rest.left(newline));
    const QByteArray body = newline < 0 ? QByteArray() : rest.mid(newline + 1);

    const zel::JsonReplyOutcome outcome
        = zel::jsonReplyOutcome(networkError, status, QStringLiteral("Reason"), contentType, body);
    const bool json = contentType.contains(QLatin1String("json"));
    if (outcome.finished) {
        check(json && networkError == QNetworkReply::NoError, "finished without a JSON answer");
        check(outcome.status == status && outcome.code == 0, "finished with a code");
        check(!QJsonDocument::fromJson(body).isNull() || body.trimmed() == "null",
            "finished with a body that does not parse");
    } else {
        check(outcome.document.isNull(), "error carrying a document");
        check(networkError != QNetworkReply::NoError || outcome.code != 0, "error without a code");
        if (!json) {
            // The body of an answer that is not JSON is never looked at.
            const zel::JsonReplyOutcome unread = zel::jsonReplyOutcome(
                networkError, status, QStringLiteral("Reason"), contentType, QByteArray());
            check(unread.message == outcome.message && unread.code == outcome.code,
                "the body of an answer that is not JSON changed the outcome");
        }
    }
}

ZEL_FUZZ_TARGET(run)
