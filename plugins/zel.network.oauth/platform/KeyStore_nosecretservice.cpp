// Built without the Secret Service (ZEL_WITH_SECRET_SERVICE off): the key file is the only store.

#include "KeyStore_posix.h"

namespace zel::platform {

std::unique_ptr<KeyStore> createSecretServiceKeyStore() { return nullptr; }

} // namespace zel::platform
