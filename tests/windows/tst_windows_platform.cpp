// Checks of the Windows platform layer, run under Wine by run.sh. Each run checks one phase
// against the system state that run.sh has set up and the expectations it passes:
//
//   protection
//   machine (id=TEXT | id!) digest=HEX
//   user (username=TEXT | username!)
//   details (display=TEXT | display!) (principal=TEXT | principal!) [account=NAME ...]
//           (country=TEXT | country!)
//
// "key!" expects the lookup to give nothing. Arguments are taken as UTF-16 and checked as UTF-8.

#include "DataProtection.h"
#include "IdentityRules.h"
#include "SystemLookup.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace zel::platform;
using Text = std::optional<std::string>;

namespace {

int passed = 0, failed = 0;
std::map<std::string, Text> arguments; // key=TEXT, or key! for nothing
std::vector<std::string> accounts; // every account=NAME, in the order the user details give

void check(bool ok, int line, const std::string& what)
{
    ok ? ++passed : ++failed;
    if (!ok)
        std::printf("FAIL line %d: %s\n", line, what.c_str());
}

#define CHECK(condition) check((condition), __LINE__, #condition)

// Shows what differs, so that a failure under Wine can be read without a debugger.
std::string shown(const Text& text) { return text ? '"' + *text + '"' : "absent"; }
void checkEqual(const Text& actual, const Text& expected, const char* what, int line)
{
    check(actual == expected, line,
        what + (" is " + shown(actual)) + ", expected " + shown(expected));
}

#define CHECK_EQUAL(actual, expected) checkEqual((actual), (expected), #actual, __LINE__)

Text argument(const std::string& key)
{
    check(arguments.count(key), __LINE__, "missing argument " + key);
    return arguments[key];
}

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? std::size_t(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void protection()
{
    for (const Bytes& plain :
        { Bytes(), Bytes { 0, 0, 'a', 0, 0xff, 0, 0 }, Bytes(64, 0), Bytes(1 << 20, 0x5a) }) {
        const ProtectionResult sealed = protectBytes(plain);
        check(sealed.ok && !sealed.data.empty() && sealed.error.empty(), __LINE__, sealed.error);
        // The blob must not carry the plain bytes in the clear (the long inputs repeat one byte).
        CHECK(plain.size() < 16
            || std::search_n(sealed.data.begin(), sealed.data.end(), 16, plain[0])
                == sealed.data.end());
        const ProtectionResult opened = unprotectBytes(sealed.data);
        check(opened.ok && opened.data == plain && opened.error.empty(), __LINE__, opened.error);
    }
    // An empty blob opens to an empty result without asking the system.
    const ProtectionResult empty = unprotectBytes(Bytes());
    CHECK(empty.ok && empty.data.empty() && empty.error.empty());

    // A changed blob, or no blob at all, is refused with a reason that names the failing call and
    // its code, never any of the data. One change stands for all: the system checks the whole blob.
    const Bytes secret = bytesOf("refresh-token-7f3a9c");
    Bytes changed = protectBytes(secret).data;
    if (!changed.empty())
        changed[changed.size() / 2] ^= 0x01;
    for (const Bytes& bad : { changed, secret }) {
        const ProtectionResult opened = unprotectBytes(bad);
        check(!opened.ok && opened.data.empty()
                && opened.error.rfind("CryptUnprotectData failed with error ", 0) == 0
                && opened.error.find("refresh-token") == std::string::npos,
            __LINE__, "refusal: " + opened.error);
    }
}

void machine()
{
    const auto lookup = createSystemLookup();
    CHECK_EQUAL(lookup->machineId(), argument("id"));
    CHECK_EQUAL(deviceIdentifier(*lookup), argument("digest"));
}

void user() { CHECK_EQUAL(createSystemLookup()->userName(), argument("username")); }

void details()
{
    const auto lookup = createSystemLookup();
    CHECK_EQUAL(lookup->displayName(), argument("display"));
    CHECK_EQUAL(lookup->userPrincipalName(), argument("principal"));
    CHECK_EQUAL(lookup->countryName(), argument("country"));
    // All the registry's accounts, in the order of the host's settings, not the registry's. (What
    // the registration form makes of the names is the same code as on Linux: tst_accountservices.)
    CHECK(userDetails(*lookup).emailList == accounts);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    for (int i = 2; i < argc; ++i) {
        const std::string text = utf8(argv[i]);
        const std::size_t equals = text.find('=');
        if (text.rfind("account=", 0) == 0)
            accounts.push_back(text.substr(equals + 1));
        else if (equals != std::string::npos)
            arguments[text.substr(0, equals)] = text.substr(equals + 1);
        else if (!text.empty() && text.back() == '!') // anything else: a missing argument later
            arguments[text.substr(0, text.size() - 1)] = std::nullopt;
    }
    const std::map<std::string, void (*)()> phases { { "protection", protection },
        { "machine", machine }, { "user", user }, { "details", details } };
    const std::string name = argc > 1 ? utf8(argv[1]) : std::string();
    phases.count(name) ? phases.at(name)() : check(false, __LINE__, "unknown phase " + name);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 0 ? 1 : 0;
}
