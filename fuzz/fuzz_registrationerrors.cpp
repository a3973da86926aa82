// The field errors of a refused registration: any body gives a map, and every entry is a field
// the body named, with a text.

#include "FuzzSupport.h"
#include "RegistrationRequestImpl.h"

#include <QJsonDocument>
#include <QJsonObject>

using namespace zel::fuzz;

static void run(const uint8_t* data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char*>(data), int(size));
    const QVariantMap errors = zel::registrationErrors(body);
    if (errors.isEmpty())
        return;
    const QJsonObject fields = QJsonDocument::fromJson(body).object();
    for (auto it = errors.cbegin(); it != errors.cend(); ++it) {
        check(fields.contains(it.key()), "error for a field the body does not name:", it.key());
        check(it.value().userType() == QMetaType::QString, "error text is not a string:", it.key());
    }
}

ZEL_FUZZ_TARGET(run)
