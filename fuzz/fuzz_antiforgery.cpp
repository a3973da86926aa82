// The anti-forgery token scan of a login or registration page: never slow, and on pages small
// enough for it, the same result as the regular expression it replaced.

#include "FormFlow.h"
#include "FuzzSupport.h"

#include <QRegularExpression>

using namespace zel::fuzz;

static void run(const uint8_t* data, size_t size)
{
    const QString page = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    const QString token = zel::antiForgeryTokenIn(page);
    check(token.isNull() || (!token.isEmpty() && !token.contains(QLatin1Char('"'))),
        "token empty or holding a quote:", token);

    // The reference backtracks quadratically; a few kilobytes keep it fast.
    if (page.size() <= 4096) {
        static const QRegularExpression reference(
            QStringLiteral("<input [^>]*name=\"__anti-forgery-token\"[^>]*value=\"([^\"]+)"));
        const QRegularExpressionMatch match = reference.match(page);
        check(match.hasMatch() ? match.captured(1) == token : token.isNull(),
            "scan differs from the pattern; scan gave:", token);
    }
}

ZEL_FUZZ_TARGET(run)
