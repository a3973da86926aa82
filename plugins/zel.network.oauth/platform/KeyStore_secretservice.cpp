// The key in the user's keyring: one item of the default collection of the Secret Service on the
// session bus (GNOME Keyring, KWallet 5.97 and later, KeePassXC), which the login unlocks.
//
// Through libsecret rather than QtKeychain. Its synchronous calls run a GMainContext of their own,
// pushed as the thread's default for the length of the call, so the host's thread runs none of
// its own slots (Qt's sources live in another context) while a grant waits for its key. With
// QtKeychain, whose jobs finish through the Qt event loop, a synchronous answer needs a nested
// event loop, which would run the host's slots in the middle of a grant, or a thread of our own
// with a second event loop; and QtKeychain's insecure fallback and its use of the Qt major's
// D-Bus module are more than the platform layer, which is otherwise Qt-free, should carry.
// libsecret has no plain-text fallback on this path: only its simple password calls use a local
// file, and only in a sandbox; here the Secret Service is asked directly, and our fallback is the
// key file.
//
// No call waits more than 5 s in all: a GCancellable is cancelled from a watchdog thread when
// the time is up, which ends any call in flight, including the connection to the bus. The key
// is kept as 64 hexadecimal digits, so that a user can move it by hand (see the README).

// GLib first: its headers use names that Qt defines as macros (signals).
#include <libsecret/secret.h>

#include "KeyStore_posix.h"
#include "Logging.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace zel::platform {

namespace {

    constexpr auto answerTime = std::chrono::seconds(5);
    constexpr char applicationName[] = "zel.network.oauth";
    constexpr char itemLabel[] = "Network account plug-in: data-protection key";
    constexpr char lockedMessage[] = "the keyring is locked; unlock it (for example in Seahorse "
                                     "or KWallet) and try again";

    const SecretSchema* keySchema()
    {
        static const SecretSchema schema = [] {
            SecretSchema s {};
            s.name = "zel.network.oauth.DataProtectionKey";
            s.flags = SECRET_SCHEMA_NONE;
            s.attributes[0] = { "application", SECRET_SCHEMA_ATTRIBUTE_STRING };
            s.attributes[1] = { "key-id", SECRET_SCHEMA_ATTRIBUTE_STRING };
            return s;
        }();
        return &schema;
    }

    // A bus named in the environment, or the per-user bus of the session. An empty
    // DBUS_SESSION_BUS_ADDRESS says "no bus" (the test suites set it so): nothing is started or
    // waited for, which GLib's own search (it may spawn dbus-launch) would not promise.
    bool sessionBusConfigured()
    {
        if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
            return *address != '\0';
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        struct stat st { };
        return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0
            && S_ISSOCK(st.st_mode);
    }

    std::string toHex(const unsigned char* data, std::size_t size)
    {
        static constexpr char digits[] = "0123456789abcdef";
        std::string text;
        text.reserve(2 * size);
        for (std::size_t i = 0; i < size; ++i) {
            text.push_back(digits[data[i] >> 4]);
            text.push_back(digits[data[i] & 0x0f]);
        }
        return text;
    }

    bool fromHex(const char* text, std::size_t size, Key& key)
    {
        const auto nibble = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        };
        if (size != 2 * keySize)
            return false;
        for (std::size_t i = 0; i < keySize; ++i) {
            const int high = nibble(text[2 * i]), low = nibble(text[2 * i + 1]);
            if (high < 0 || low < 0)
                return false;
            key.bytes[i] = static_cast<unsigned char>(high << 4 | low);
        }
        return true;
    }

    template <typename T> struct GObjectRef {
        T* object = nullptr;
        GObjectRef() = default;
        explicit GObjectRef(T* o)
            : object(o)
        {
        }
        GObjectRef(const GObjectRef&) = delete;
        GObjectRef& operator=(const GObjectRef&) = delete;
        ~GObjectRef()
        {
            if (object)
                g_object_unref(object);
        }
        T* get() const { return object; }
    };

    struct ErrorRef {
        GError* error = nullptr;
        ~ErrorRef()
        {
            if (error)
                g_error_free(error);
        }
    };

    struct ItemList {
        GList* items = nullptr;
        ~ItemList() { g_list_free_full(items, g_object_unref); }
    };

    struct Attributes {
        GHashTable* table = g_hash_table_new_full(g_str_hash, g_str_equal, nullptr, g_free);
        explicit Attributes(const std::string* id = nullptr)
        {
            g_hash_table_insert(table, const_cast<char*>("application"), g_strdup(applicationName));
            if (id)
                g_hash_table_insert(table, const_cast<char*>("key-id"), g_strdup(id->c_str()));
        }
        ~Attributes() { g_hash_table_unref(table); }
    };

    // Cancels every call of one operation once the time is up.
    class Deadline {
    public:
        Deadline()
            : until(std::chrono::steady_clock::now() + answerTime)
            , watchdog([this] {
                std::unique_lock<std::mutex> lock(mutex);
                if (!finished.wait_until(lock, until, [this] { return done; }))
                    g_cancellable_cancel(cancellable.get());
            })
        {
        }
        ~Deadline()
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                done = true;
            }
            finished.notify_one();
            watchdog.join();
        }
        GCancellable* get() const { return cancellable.get(); }
        bool expired() const { return g_cancellable_is_cancelled(cancellable.get()); }

        const std::chrono::steady_clock::time_point until;

    private:
        GObjectRef<GCancellable> cancellable { g_cancellable_new() };
        std::mutex mutex;
        std::condition_variable finished;
        bool done = false;
        std::thread watchdog; // last: it uses the members above
    };

    class SecretServiceKeyStore final : public KeyStore {
    public:
        ~SecretServiceKeyStore() override
        {
            if (service)
                g_object_unref(service);
        }

        std::string name() const override { return "keyring"; }

        KeyState read(Key& key, std::string& error) override
        {
            const KeyState connected = connect(error);
            if (connected != KeyState::Found)
                return connected;
            ErrorRef failure;
            Attributes attributes;
            ItemList found { secret_service_search_sync(service, keySchema(), attributes.table,
                static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                deadline->get(), &failure.error) };
            if (failure.error)
                return fail(failure.error, "cannot search the keyring", error);
            bool locked = false;
            for (GList* node = found.items; node; node = node->next) {
                auto* item = static_cast<SecretItem*>(node->data);
                if (secret_item_get_locked(item)) {
                    locked = true;
                    continue;
                }
                SecretValue* value = secret_item_get_secret(item);
                if (!value)
                    continue;
                gsize size = 0;
                const gchar* text = secret_value_get(value, &size);
                const bool parsed = fromHex(text, size, key);
                secret_value_unref(value);
                if (parsed)
                    return KeyState::Found;
                error = "the key in the keyring is corrupt; it is left untouched. Values "
                        "protected with it cannot be opened; to start again with a new key, "
                        "remove it with: secret-tool clear application zel.network.oauth";
                return KeyState::Failed;
            }
            if (locked) {
                error = lockedMessage;
                return KeyState::Locked;
            }
            error = "no key in the keyring";
            return KeyState::Missing;
        }

        KeyState create(Key& key, std::string& error) override
        {
            const KeyState connected = connect(error);
            if (connected != KeyState::Found)
                return connected;
            KeyCreationLock lock;
            if (!lock.acquire(deadline->until, error))
                return KeyState::Failed;
            // Whoever held the lock before may have made it meanwhile.
            const KeyState there = read(key, error);
            if (there != KeyState::Missing)
                return there;
            Key fresh;
            if (RAND_bytes(fresh.bytes.data(), static_cast<int>(fresh.bytes.size())) != 1) {
                error = "cannot get random bytes for the key";
                return KeyState::Failed;
            }
            const KeyState added = add(fresh, error);
            if (added != KeyState::Found)
                return added;
            qCDebug(lcPlatform) << "Created a new data-protection key in the keyring";
            return read(key, error);
        }

        KeyState add(const Key& key, std::string& error) override
        {
            const KeyState connected = connect(error);
            if (connected != KeyState::Found)
                return connected;
            unsigned char id[keyIdSize];
            if (!keyId(key, id)) {
                error = "cannot derive the key id";
                return KeyState::Failed;
            }
            ErrorRef failure;
            GObjectRef<SecretCollection> collection { secret_collection_for_alias_sync(service,
                SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, deadline->get(),
                &failure.error) };
            if (failure.error)
                return fail(failure.error, "cannot open the keyring's default collection", error);
            if (!collection.get()) {
                error = "the keyring has no default collection";
                return KeyState::Unavailable;
            }
            // Checked first: creating an item in a locked collection would ask for an unlock
            // prompt, which only the user can answer and which the host's thread cannot await.
            if (secret_collection_get_locked(collection.get())) {
                error = lockedMessage;
                return KeyState::Locked;
            }
            const std::string idText = toHex(id, keyIdSize);
            Attributes attributes(&idText);
            std::string hex = toHex(key.bytes.data(), key.bytes.size());
            SecretValue* value = secret_value_new(hex.data(), gssize(hex.size()), "text/plain");
            wipe(hex.data(), hex.size());
            // Replace: an item with the same attributes holds this very key (the id is its
            // fingerprint), so a repeated move leaves one item, never a second key.
            GObjectRef<SecretItem> item { secret_item_create_sync(collection.get(), keySchema(),
                attributes.table, itemLabel, value, SECRET_ITEM_CREATE_REPLACE, deadline->get(),
                &failure.error) };
            secret_value_unref(value);
            if (failure.error)
                return fail(failure.error, "cannot store the key in the keyring", error);
            return KeyState::Found;
        }

        bool remove(std::string& error) override
        {
            if (connect(error) != KeyState::Found)
                return false;
            ErrorRef failure;
            Attributes attributes;
            ItemList found { secret_service_search_sync(service, keySchema(), attributes.table,
                SECRET_SEARCH_ALL, deadline->get(), &failure.error) };
            for (GList* node = found.items; node && !failure.error; node = node->next)
                secret_item_delete_sync(
                    static_cast<SecretItem*>(node->data), deadline->get(), &failure.error);
            if (failure.error) {
                fail(failure.error, "cannot remove the key from the keyring", error);
                return false;
            }
            return true;
        }

    private:
        // Found when a Secret Service answers on the session bus.
        KeyState connect(std::string& error)
        {
            if (service)
                return KeyState::Found;
            if (!sessionBusConfigured()) {
                error = "no session bus";
                return KeyState::Unavailable;
            }
            if (!deadline)
                deadline = std::make_unique<Deadline>();
            ErrorRef failure;
            GObjectRef<GDBusConnection> bus { g_bus_get_sync(
                G_BUS_TYPE_SESSION, deadline->get(), &failure.error) };
            if (!bus.get()) {
                if (deadline->expired())
                    return fail(failure.error, "", error);
                error = std::string("cannot connect to the session bus: ") + failure.error->message;
                return KeyState::Unavailable;
            }
            // GLib's shared connection ends the whole process when the bus goes away, unless
            // told otherwise; a host must outlive its session bus.
            g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
            service = secret_service_get_sync(
                SECRET_SERVICE_OPEN_SESSION, deadline->get(), &failure.error);
            if (!service)
                return fail(failure.error, "cannot reach the Secret Service", error);
            return KeyState::Found;
        }

        KeyState fail(const GError* failure, const char* what, std::string& error)
        {
            if (deadline && deadline->expired()) {
                error = "the keyring did not answer within 5 s; nothing was changed";
                return KeyState::Failed;
            }
            if (g_error_matches(failure, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) {
                error = lockedMessage;
                return KeyState::Locked;
            }
            if (g_error_matches(failure, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN)
                || g_error_matches(failure, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
                error = "no Secret Service on the session bus";
                return KeyState::Unavailable;
            }
            error = std::string(what) + ": " + (failure ? failure->message : "unknown error");
            return KeyState::Failed;
        }

        std::unique_ptr<Deadline> deadline; // started by the first call that needs the bus
        SecretService* service = nullptr;
    };

} // namespace

std::unique_ptr<KeyStore> createSecretServiceKeyStore()
{
    return std::make_unique<SecretServiceKeyStore>();
}

} // namespace zel::platform
