// The decoding of a flash-error cookie: any bytes decode, never to more characters than bytes,
// and whatever is form-encoded decodes back to itself.

#include "FuzzSupport.h"
#include "LoginRequestImpl.h"
#include "Requests.h"

using namespace zel::fuzz;

static void run(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    const QString decoded = zel::flashErrorText(bytes);
    check(decoded.size() <= bytes.size(), "decoded text longer than its bytes:", decoded);

    // Text from UTF-8 holds no lone surrogates, so it survives the round trip exactly.
    const QString text = QString::fromUtf8(bytes);
    const QString back = zel::flashErrorText(zel::formEncode(text));
    check(back == text, "form-encoded text does not decode back:", back);
}

ZEL_FUZZ_TARGET(run)
