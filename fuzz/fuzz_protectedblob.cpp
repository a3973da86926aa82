// Protected blobs as the POSIX data protection reads them: the layout parser on any bytes, the
// whole opening on any bytes, and sealing then opening any bytes gives them back.

#include "FuzzSupport.h"
#include "platform/ProtectedBlob_posix.h"

#include <cstdlib>
#include <string>

using namespace zel::fuzz;
using namespace zel::platform;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A key of its own, in a data home of its own: never the key of whoever runs this.
    char directory[] = "/tmp/zel-fuzz-blob-XXXXXX";
    if (!mkdtemp(directory))
        check(false, "cannot create a data home");
    setenv("XDG_DATA_HOME", directory, 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", "", 1); // and never the user's keyring
    check(protectBytes(Bytes { 1 }).ok, "cannot create a key");
    return 0;
}

static void run(const uint8_t* data, size_t size)
{
    const Bytes bytes(data, data + size);
    const BlobLayout layout = parseProtectedBlob(bytes);
    if (layout.ok) {
        const unsigned char* end = bytes.data() + bytes.size();
        check(layout.keyId > bytes.data() && layout.nonce >= layout.keyId + 8
                && layout.ciphertext == layout.nonce + 12
                && layout.tag == layout.ciphertext + layout.ciphertextSize
                && layout.tag + 16 == end,
            "layout outside the blob");
    } else {
        check(!layout.error.empty(), "refused without a reason");
    }

    const ProtectionResult opened = unprotectBytes(bytes);
    check(opened.ok != !opened.error.empty(), "opened with an error, or refused without one");
    check(opened.ok || opened.data.empty(), "refused, but with data");

    const ProtectionResult sealed = protectBytes(bytes);
    check(sealed.ok, "sealing failed:", QString::fromStdString(sealed.error));
    check(unprotectBytes(sealed.data).data == bytes, "sealed bytes do not open to themselves");
}

ZEL_FUZZ_TARGET(run)
