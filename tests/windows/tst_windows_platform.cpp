// Checks of the Windows platform layer, run under Wine by run.sh. Each run checks one phase
// against the system state that run.sh has set up and the expectations it passes:
//
//   protection [blob-out=FILE]
//   reopen blob-in=FILE plain=TEXT
//   machine (id=TEXT | id!) digest=HEX
//   user (username=TEXT | username!)
//   details (display=TEXT first-name=TEXT last-name=TEXT | display!) (principal=TEXT | principal!)
//           [account=NAME ...] (country=TEXT | country!)
//
// "key!" expects the lookup to give nothing. Arguments are taken as UTF-16 and checked as UTF-8.

#include "DataProtection.h"
#include "IdentityRules.h"
#include "SystemLookup.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

using namespace zel::platform;

namespace {

int passed = 0;
int failed = 0;

#define CHECK(condition) check((condition), #condition, __LINE__)

void check(bool condition, const char* text, int line)
{
    if (condition) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAIL line %d: %s\n", line, text);
}

// Shows what differs, so that a failure under Wine can be read without a debugger.
void checkEqual(const std::optional<std::string>& actual,
    const std::optional<std::string>& expected, const char* what, int line)
{
    if (actual == expected) {
        ++passed;
        return;
    }
    ++failed;
    std::printf("FAIL line %d: %s is %s%s%s, expected %s%s%s\n", line, what, actual ? "\"" : "",
        actual ? actual->c_str() : "absent", actual ? "\"" : "", expected ? "\"" : "",
        expected ? expected->c_str() : "absent", expected ? "\"" : "");
}

#define CHECK_EQUAL(actual, expected) checkEqual((actual), (expected), #actual, __LINE__)

std::string utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? std::size_t(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

struct Arguments {
    std::map<std::string, std::optional<std::string>> single;
    std::vector<std::string> accounts;

    bool has(const std::string& key) const { return single.count(key) > 0; }
    std::optional<std::string> get(const std::string& key) const
    {
        const auto it = single.find(key);
        return it == single.end() ? std::nullopt : it->second;
    }
};

Arguments parse(int argc, wchar_t** argv)
{
    Arguments arguments;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = utf8(argv[i]);
        const std::size_t equals = argument.find('=');
        if (equals == std::string::npos && !argument.empty() && argument.back() == '!') {
            arguments.single[argument.substr(0, argument.size() - 1)] = std::nullopt;
        } else if (equals != std::string::npos) {
            const std::string key = argument.substr(0, equals);
            const std::string value = argument.substr(equals + 1);
            if (key == "account")
                arguments.accounts.push_back(value);
            else
                arguments.single[key] = value;
        } else {
            std::printf("bad argument: %s\n", argument.c_str());
            ++failed;
        }
    }
    return arguments;
}

bool requireKeys(const Arguments& arguments, std::initializer_list<const char*> keys)
{
    bool complete = true;
    for (const char* key : keys) {
        if (!arguments.has(key)) {
            std::printf("missing argument: %s\n", key);
            ++failed;
            complete = false;
        }
    }
    return complete;
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end())
        != haystack.end();
}

// Fills with a fixed pseudo-random sequence, so that a failure is reproducible.
Bytes pseudoRandom(std::size_t size)
{
    Bytes bytes(size);
    std::uint32_t state = 2463534242u;
    for (unsigned char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<unsigned char>(state);
    }
    return bytes;
}

void checkRoundTrip(const Bytes& plain, const char* what)
{
    const ProtectionResult sealed = protectBytes(plain);
    if (!sealed.ok || sealed.data.empty() || !sealed.error.empty()) {
        std::printf("FAIL: protecting %s: ok=%d, %zu bytes, error \"%s\"\n", what, sealed.ok,
            sealed.data.size(), sealed.error.c_str());
        ++failed;
        return;
    }
    ++passed;
    // The blob must not carry the plain bytes in the clear.
    if (plain.size() >= 16) {
        const Bytes head(plain.begin(), plain.begin() + 16);
        CHECK(!contains(sealed.data, head));
    }
    const ProtectionResult opened = unprotectBytes(sealed.data);
    if (!opened.ok || opened.data != plain || !opened.error.empty()) {
        std::printf("FAIL: round trip of %s: ok=%d, %zu bytes back of %zu, error \"%s\"\n", what,
            opened.ok, opened.data.size(), plain.size(), opened.error.c_str());
        ++failed;
        return;
    }
    ++passed;
}

void checkRefused(const Bytes& blob, const char* what, const Bytes& secret)
{
    const ProtectionResult opened = unprotectBytes(blob);
    if (opened.ok || !opened.data.empty() || opened.error.empty()) {
        std::printf("FAIL: %s was opened: ok=%d, %zu bytes, error \"%s\"\n", what, opened.ok,
            opened.data.size(), opened.error.c_str());
        ++failed;
        return;
    }
    ++passed;
    // The reason names the failing call and its code, never any of the data.
    CHECK(opened.error.find("CryptUnprotectData failed with error ") == 0);
    CHECK(opened.error.find(std::string(secret.begin(), secret.end())) == std::string::npos);
}

void protection(const Arguments& arguments)
{
    checkRoundTrip(Bytes(), "empty input");
    checkRoundTrip(Bytes { 0, 0, 'a', 0, 0xff, 0, 0 }, "bytes with zeros");
    checkRoundTrip(Bytes(64, 0), "only zeros");
    checkRoundTrip(pseudoRandom(1 << 20), "1 MiB");

    // An empty blob opens to an empty result without asking the system.
    const ProtectionResult empty = unprotectBytes(Bytes());
    CHECK(empty.ok && empty.data.empty() && empty.error.empty());

    // Blobs are salted: the same plain text never gives the same blob twice.
    const Bytes secret = bytesOf("refresh-token-7f3a9c");
    const ProtectionResult first = protectBytes(secret);
    const ProtectionResult second = protectBytes(secret);
    CHECK(first.ok && second.ok && first.data != second.data);
    if (first.data.empty())
        return;

    // Any change anywhere in the payload or its MAC must be noticed.
    for (const std::size_t position : { first.data.size() / 2, first.data.size() - 1 }) {
        Bytes tampered = first.data;
        tampered[position] ^= 0x01;
        checkRefused(tampered, "a tampered blob", secret);
    }
    Bytes truncated(first.data.begin(), first.data.end() - 1);
    checkRefused(truncated, "a truncated blob", secret);
    checkRefused(secret, "plain text that is no blob", secret);
    checkRefused(Bytes(1, 0), "a single zero byte", secret);

    Bytes buffer = secret;
    wipe(buffer);
    CHECK(buffer == Bytes(secret.size(), 0));

    // Across processes: this run seals into a file, a later one opens it.
    if (const std::optional<std::string> out = arguments.get("blob-out")) {
        const ProtectionResult sealed = protectBytes(bytesOf("kept across runs"));
        std::ofstream file(*out, std::ios::binary);
        file.write(reinterpret_cast<const char*>(sealed.data.data()),
            static_cast<std::streamsize>(sealed.data.size()));
        file.close();
        CHECK(sealed.ok && file.good());
    }
}

void reopen(const Arguments& arguments)
{
    if (!requireKeys(arguments, { "blob-in", "plain" }))
        return;
    std::ifstream file(*arguments.get("blob-in"), std::ios::binary);
    const Bytes blob((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const ProtectionResult opened = unprotectBytes(blob);
    CHECK(!blob.empty() && opened.ok);
    CHECK_EQUAL(std::string(opened.data.begin(), opened.data.end()), arguments.get("plain"));
}

void machine(const Arguments& arguments)
{
    if (!requireKeys(arguments, { "id", "digest" }))
        return;
    const auto lookup = createSystemLookup();
    CHECK_EQUAL(lookup->machineId(), arguments.get("id"));
    CHECK_EQUAL(std::optional<std::string>(deviceIdentifier(*lookup)), arguments.get("digest"));
}

void user(const Arguments& arguments)
{
    if (!requireKeys(arguments, { "username" }))
        return;
    CHECK_EQUAL(createSystemLookup()->userName(), arguments.get("username"));
}

void details(const Arguments& arguments)
{
    if (!requireKeys(arguments, { "display", "principal", "country" }))
        return;
    const auto lookup = createSystemLookup();
    const std::optional<std::string> display = arguments.get("display");
    const std::optional<std::string> principal = arguments.get("principal");
    CHECK_EQUAL(lookup->displayName(), display);
    CHECK_EQUAL(lookup->userPrincipalName(), principal);
    CHECK_EQUAL(lookup->countryName(), arguments.get("country"));
    const std::vector<std::string> accounts = lookup->accountNames();
    CHECK(accounts == arguments.accounts);
    if (accounts != arguments.accounts) {
        std::printf("  accounts listed:");
        for (const std::string& name : accounts)
            std::printf(" \"%s\"", name.c_str());
        std::printf("\n");
    }

    // What the registration form gets out of these answers.
    const UserDetails result = userDetails(*lookup);
    if (display) {
        if (requireKeys(arguments, { "first-name", "last-name" })) {
            CHECK_EQUAL(result.firstName, arguments.get("first-name"));
            CHECK_EQUAL(result.lastName, arguments.get("last-name"));
        }
    } else {
        // A failed display-name lookup leaves out both names.
        CHECK(!result.firstName && !result.lastName);
    }
    CHECK_EQUAL(result.email, principal);
    // The profile's accounts stand in for a missing principal name, and only then.
    CHECK(result.emailList == (principal ? std::vector<std::string>() : arguments.accounts));
    CHECK_EQUAL(result.country, arguments.get("country"));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::string phase = argc > 1 ? utf8(argv[1]) : std::string();
    const Arguments arguments = parse(argc, argv);
    if (phase == "protection")
        protection(arguments);
    else if (phase == "reopen")
        reopen(arguments);
    else if (phase == "machine")
        machine(arguments);
    else if (phase == "user")
        user(arguments);
    else if (phase == "details")
        details(arguments);
    else {
        std::printf("unknown phase \"%s\"\n", phase.c_str());
        ++failed;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed > 0 ? 1 : 0;
}
