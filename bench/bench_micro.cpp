// Micro benchmarks of the plug-in's hot paths, on Google Benchmark: the MAC Authorization header
// against the raw OpenSSL floor (the same work by direct OpenSSL calls), decoding a JSON reply,
// finding the anti-forgery token in a login page, and protecting a stored secret. After the
// usual table it prints the header's cost as a multiple of the floor. Figures only.
//
//   bench_micro [--benchmark_repetitions=5 --benchmark_report_aggregates_only=true] [...]

#include "AbstractOAuth2Client.h"
#include "FormFlow.h"
#include "JsonNetworkReplyImpl.h"
#include "MacSignature.h"
#include "Requests.h"
#include "platform/DataProtection.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QUrl>

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

using namespace zel;

namespace {

const QUrl apiUrl(QStringLiteral("https://api.example.com/v1/devices?page=2&limit=50"));

MacToken benchToken(QCryptographicHash::Algorithm algorithm)
{
    MacToken token;
    token.accessToken = "h480djs93hd8";
    token.macKey = "489dks293j39";
    token.issueTime = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    token.algorithm = algorithm;
    return token;
}

QCryptographicHash::Algorithm algorithmArg(int64_t sha)
{
    return sha == 1 ? QCryptographicHash::Sha1 : QCryptographicHash::Sha256;
}

// The header as the plug-in makes it: nonce, body hash, normalized string, HMAC, formatting.
void BM_MacHeader(benchmark::State& state)
{
    const MacToken token = benchToken(algorithmArg(state.range(0)));
    const QByteArray body(int(state.range(1)), 'x');
    const QString verb = body.isEmpty() ? QStringLiteral("GET") : QStringLiteral("POST");
    for (auto _ : state)
        benchmark::DoNotOptimize(zel::mac::macAuthorizationHeader(apiUrl, verb, token, body));
    state.SetBytesProcessed(state.iterations() * body.size());
}

// "age:hex" of 20 random bytes into out (64 bytes), as the floors below build their nonce.
void floorNonce(long long ageSeconds, char* out)
{
    static const char hex[] = "0123456789abcdef";
    unsigned char random[20];
    RAND_bytes(random, sizeof random);
    int n = std::snprintf(out, 64, "%lld:", ageSeconds);
    for (unsigned char byte : random) {
        out[n++] = hex[byte >> 4];
        out[n++] = hex[byte & 15];
    }
    out[n] = 0;
}

// The same header with nothing but OpenSSL and a stack buffer: the cost no implementation can
// go below. Random nonce bytes, body digest, base64, the seven-line string, HMAC, base64.
void BM_OpenSslFloor(benchmark::State& state)
{
    const EVP_MD* md = state.range(0) == 1 ? EVP_sha1() : EVP_sha256();
    const std::string body(size_t(state.range(1)), 'x');
    const char* verb = body.empty() ? "GET" : "POST";
    const std::string id = "h480djs93hd8";
    const std::string key = "489dks293j39";
    const long long issueTime = QDateTime::currentMSecsSinceEpoch() - 3600 * 1000;
    for (auto _ : state) {
        const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::system_clock::now().time_since_epoch())
                                  .count();
        char nonce[64];
        floorNonce((now - issueTime) / 1000, nonce);

        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        EVP_Digest(body.data(), body.size(), digest, &digestLength, md, nullptr);
        char hash[EVP_MAX_MD_SIZE * 2];
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(hash), digest, int(digestLength));

        char normalized[512];
        const int length = std::snprintf(normalized, sizeof normalized,
            "%s\n%s\n/v1/devices?page=2&limit=50\napi.example.com\n443\n%s\n\n", nonce, verb, hash);
        unsigned char mac[EVP_MAX_MD_SIZE];
        unsigned int macLength = 0;
        HMAC(md, key.data(), int(key.size()), reinterpret_cast<unsigned char*>(normalized),
            size_t(length), mac, &macLength);
        char macText[EVP_MAX_MD_SIZE * 2];
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(macText), mac, int(macLength));

        char header[512];
        std::snprintf(header, sizeof header,
            "MAC id=\"%s\",nonce=\"%s\",bodyhash=\"%s\",mac=\"%s\"", id.c_str(), nonce, hash,
            macText);
        benchmark::DoNotOptimize(header);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(body.size()));
}

// The same with the digest and the HMAC fetched once and the HMAC context reused: OpenSSL 3's
// one-shot calls look the algorithm up on every call, which costs more than hashing a small body.
void BM_OpenSslFloorPrefetched(benchmark::State& state)
{
    EVP_MD* md = EVP_MD_fetch(nullptr, state.range(0) == 1 ? "SHA1" : "SHA256", nullptr);
    EVP_MAC* hmacAlgorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* hmac = EVP_MAC_CTX_new(hmacAlgorithm);
    EVP_MD_CTX* digestContext = EVP_MD_CTX_new();
    char digestName[16];
    std::snprintf(digestName, sizeof digestName, "%s", state.range(0) == 1 ? "SHA1" : "SHA256");
    const OSSL_PARAM params[]
        = { OSSL_PARAM_construct_utf8_string("digest", digestName, 0), OSSL_PARAM_construct_end() };
    const std::string body(size_t(state.range(1)), 'x');
    const char* verb = body.empty() ? "GET" : "POST";
    const std::string key = "489dks293j39";
    for (auto _ : state) {
        char nonce[64];
        floorNonce(3600, nonce);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        EVP_DigestInit_ex(digestContext, md, nullptr);
        EVP_DigestUpdate(digestContext, body.data(), body.size());
        EVP_DigestFinal_ex(digestContext, digest, &digestLength);
        char hash[EVP_MAX_MD_SIZE * 2];
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(hash), digest, int(digestLength));
        char normalized[512];
        const int length = std::snprintf(normalized, sizeof normalized,
            "%s\n%s\n/v1/devices?page=2&limit=50\napi.example.com\n443\n%s\n\n", nonce, verb, hash);
        unsigned char mac[EVP_MAX_MD_SIZE];
        size_t macLength = 0;
        EVP_MAC_init(hmac, reinterpret_cast<const unsigned char*>(key.data()), key.size(), params);
        EVP_MAC_update(hmac, reinterpret_cast<unsigned char*>(normalized), size_t(length));
        EVP_MAC_final(hmac, mac, &macLength, sizeof mac);
        char macText[EVP_MAX_MD_SIZE * 2];
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(macText), mac, int(macLength));
        char header[512];
        std::snprintf(header, sizeof header,
            "MAC id=\"h480djs93hd8\",nonce=\"%s\",bodyhash=\"%s\",mac=\"%s\"", nonce, hash,
            macText);
        benchmark::DoNotOptimize(header);
        benchmark::ClobberMemory();
    }
    EVP_MD_CTX_free(digestContext);
    EVP_MAC_CTX_free(hmac);
    EVP_MAC_free(hmacAlgorithm);
    EVP_MD_free(md);
    state.SetBytesProcessed(state.iterations() * int64_t(body.size()));
}

// The parts of the header, to show where the plug-in's time goes.
void BM_PartNonce(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(zel::mac::createNonce(0));
}

void BM_PartBodyHash(benchmark::State& state)
{
    const QByteArray body(int(state.range(1)), 'x');
    const auto algorithm = algorithmArg(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(zel::mac::bodyHash(body, algorithm));
    state.SetBytesProcessed(state.iterations() * body.size());
}

void BM_PartNormalizedString(benchmark::State& state)
{
    const QString nonce = zel::mac::createNonce(0);
    const QByteArray hash = zel::mac::bodyHash(QByteArray(), QCryptographicHash::Sha256);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            zel::mac::normalizedRequestString(apiUrl, QStringLiteral("GET"), nonce, hash));
}

void macArguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({ "sha", "body" });
    for (const int sha : { 1, 256 })
        for (const int size : { 0, 1024, 64 * 1024 })
            b->Args({ sha, size });
}

BENCHMARK(BM_MacHeader)->Apply(macArguments);
BENCHMARK(BM_OpenSslFloor)->Apply(macArguments);
BENCHMARK(BM_OpenSslFloorPrefetched)->Apply(macArguments);
BENCHMARK(BM_PartNonce);
BENCHMARK(BM_PartBodyHash)->Apply(macArguments);
BENCHMARK(BM_PartNormalizedString);

// A finished reply with a fixed body, as the network layer hands it over; rewind() makes it
// readable again so that one object serves every iteration.
class FakeReply : public QNetworkReply {
public:
    FakeReply(const QUrl& url, const QByteArray& contentType, const QByteArray& body)
        : content(body)
    {
        setUrl(url);
        setRequest(QNetworkRequest(url));
        setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QByteArray("OK"));
        setFinished(true);
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    void rewind() { offset = 0; }
    void finish() { emit finished(); }
    void abort() override { }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return content.size() - offset + QNetworkReply::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        const qint64 n = qMin(maxSize, qint64(content.size() - offset));
        if (n <= 0)
            return -1;
        std::memcpy(data, content.constData() + offset, size_t(n));
        offset += int(n);
        return n;
    }

private:
    QByteArray content;
    int offset = 0;
};

// A token answer: the body the token core decodes on every grant.
const QByteArray tokenAnswer
    = R"({"access_token":"SlAV32hkKG2QzTfRk8jXaG7WxLcE4uYe","token_type":"mac",)"
      R"("expires_in":3600,"refresh_token":"8xLOxBtZp8ZMcTiEaQWbN2uHrFvYk4sJ",)"
      R"("secret":"adijq39jdlaska9asud2Lq7VbN4sFg8Z","algorithm":"hmac-sha-256"})";

QByteArray notesAnswer()
{
    QByteArray notes = R"({"notes":[)";
    for (int i = 0; i < 40; ++i) {
        if (i)
            notes += ',';
        notes += R"({"id":)" + QByteArray::number(i)
            + R"(,"text":"A note of moderate length, as a user writes it","created":1765100000})";
    }
    return notes + "]}";
}

// JsonNetworkReplyImpl's report of a finished reply: content type, status, readAll, decode, the
// outcome rules, the finished signal; and the fake reply's own cost (BM_FakeReplyOnly).
void BM_JsonReplyDecode(benchmark::State& state)
{
    const QByteArray body = state.range(0) == 0 ? tokenAnswer : notesAnswer();
    const QUrl url(QStringLiteral("https://api.example.com/notes"));
    int documents = 0;
    for (auto _ : state) {
        auto* reply = new FakeReply(url, "application/json", body);
        auto* json = new JsonNetworkReplyImpl(reply);
        QObject::connect(json, &JsonNetworkReplyImpl::finished,
            [&documents](int, const QJsonDocument& document) { documents += !document.isNull(); });
        reply->finish();
        delete json;
        delete reply; // scheduled for deletion by json; deleting it drops that event too
    }
    if (documents != state.iterations())
        state.SkipWithError("a reply was not decoded");
    state.SetBytesProcessed(state.iterations() * body.size());
}

// What the above spends on the fake reply itself: construction, finished, reading, deletion.
void BM_FakeReplyOnly(benchmark::State& state)
{
    const QByteArray body = state.range(0) == 0 ? tokenAnswer : notesAnswer();
    const QUrl url(QStringLiteral("https://api.example.com/notes"));
    for (auto _ : state) {
        auto* reply = new FakeReply(url, "application/json", body);
        reply->finish();
        benchmark::DoNotOptimize(reply->readAll());
        delete reply;
    }
}

// The floor for the above: QJsonDocument alone on the same bytes.
void BM_QJsonDocumentOnly(benchmark::State& state)
{
    const QByteArray body = state.range(0) == 0 ? tokenAnswer : notesAnswer();
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(body));
    state.SetBytesProcessed(state.iterations() * body.size());
}

BENCHMARK(BM_JsonReplyDecode)->ArgName("notes")->Arg(0)->Arg(1);
BENCHMARK(BM_QJsonDocumentOnly)->ArgName("notes")->Arg(0)->Arg(1);
BENCHMARK(BM_FakeReplyOnly)->ArgName("notes")->Arg(0)->Arg(1);

// A 50 KiB login page whose hidden token input comes last, after the page's markup.
QByteArray loginPage()
{
    QByteArray page = "<!DOCTYPE html><html><head><title>Sign in</title></head><body>\n";
    while (page.size() < 50 * 1024 - 400)
        page += "<div class=\"row\"><input type=\"text\" name=\"field\" value=\"x\">"
                "<span>Some text of the page</span></div>\n";
    page += "<form method=\"post\"><input type=\"hidden\" name=\"__anti-forgery-token\" "
            "value=\"cXdlcnR5dWlvcGFzZGZnaGprbHp4Y3Zibm0xMjM0NTY3ODkw\">"
            "</form></body></html>\n";
    return page;
}

// formPostRequest over a finished form reply without the token cookie: reads and scans the page.
void BM_FormTokenScan(benchmark::State& state)
{
    const QByteArray page = loginPage();
    FakeReply reply(QUrl(QStringLiteral("https://account.example.com/login")), "text/html", page);
    for (auto _ : state) {
        reply.rewind();
        QByteArray tokenField;
        benchmark::DoNotOptimize(zel::formPostRequest(&reply, tokenField));
        if (tokenField.size() < 40) {
            state.SkipWithError("token not found");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * page.size());
}

BENCHMARK(BM_FormTokenScan);

// Protecting and unprotecting a stored secret (key file, AES-256-GCM, base64), as the token
// store pays it on every load and every token answer.
void BM_Protect(benchmark::State& state)
{
    const QString secret(int(state.range(0)), QLatin1Char('s'));
    for (auto _ : state)
        benchmark::DoNotOptimize(AbstractOAuth2Client::protectValue(secret));
}

void BM_Unprotect(benchmark::State& state)
{
    const QString secret(int(state.range(0)), QLatin1Char('s'));
    const QVariant sealed = AbstractOAuth2Client::protectValue(secret);
    for (auto _ : state) {
        if (AbstractOAuth2Client::unprotectValue(sealed).toByteArray().size() != secret.size()) {
            state.SkipWithError("unprotect failed");
            break;
        }
    }
}

BENCHMARK(BM_Protect)->ArgName("bytes")->Arg(32)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_Unprotect)->ArgName("bytes")->Arg(32)->Arg(1024)->Arg(64 * 1024);

// Every unprotect reads the key from its store: the key file, or the keyring over D-Bus (with
// ZEL_BENCH_KEYRING=1 on a private session bus with a Secret Service, see docs/performance.md; the
// keyring row fails without one).
void BM_UnprotectFrom(benchmark::State& state)
{
    const bool keyring = state.range(0) == 1;
    if (keyring)
        qunsetenv("ZEL_KEY_STORE");
    else
        qputenv("ZEL_KEY_STORE", "file");
    const QString secret(32, QLatin1Char('s'));
    const QVariant sealed = AbstractOAuth2Client::protectValue(secret);
    const bool inKeyring = zel::platform::keyStoreDescription() == "keyring";
    if (!sealed.isValid() || inKeyring != keyring)
        state.SkipWithError("the key is not in that store");
    for (auto _ : state) {
        if (!state.error_occurred()
            && AbstractOAuth2Client::unprotectValue(sealed).toByteArray().size() != 32)
            state.SkipWithError("unprotect failed");
    }
    qunsetenv("ZEL_KEY_STORE");
}

BENCHMARK(BM_UnprotectFrom)->ArgName("keyring")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The first unprotect of a process, which the first signed call after start() pays: with the
// keyring it also connects to the session bus and opens a session with the Secret Service.
//   bench_micro --first-unprotect keyring|file SEALED
// seals a value into the file SEALED when there is none, else opens it once and prints the time;
// one sample per process, so run it a few times.
int firstUnprotect(const char* store, const QString& path)
{
    if (std::strcmp(store, "file") == 0)
        qputenv("ZEL_KEY_STORE", "file");
    QFile file(path);
    if (!file.exists()) {
        const QVariant sealed = AbstractOAuth2Client::protectValue(QString(32, QLatin1Char('s')));
        return sealed.isValid() && file.open(QIODevice::WriteOnly)
                && file.write(sealed.toByteArray()) > 0
            ? 0
            : 1;
    }
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QVariant sealed(QString::fromLatin1(file.readAll()));
    const auto started = std::chrono::steady_clock::now();
    const bool ok = AbstractOAuth2Client::unprotectValue(sealed).toByteArray().size() == 32;
    const auto took = std::chrono::steady_clock::now() - started;
    std::printf("first unprotect, key in the %s: %.3f ms%s\n", store,
        std::chrono::duration<double, std::milli>(took).count(), ok ? "" : " (FAILED)");
    return ok ? 0 : 1;
}

// The console table, then each header run as a multiple of its OpenSSL floor, in CPU time: on
// a busy machine the wall time mostly measures the other processes.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0)
                continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\nMAC header against the OpenSSL floor, CPU time (goal: at most 1.5x)\n");
        const std::string prefix = "BM_MacHeader/";
        for (const auto& [name, time] : times) {
            if (name.compare(0, prefix.size(), prefix) != 0)
                continue;
            const auto floor = times.find("BM_OpenSslFloor/" + name.substr(prefix.size()));
            const auto prefetched
                = times.find("BM_OpenSslFloorPrefetched/" + name.substr(prefix.size()));
            if (floor == times.end() || floor->second <= 0 || prefetched == times.end()
                || prefetched->second <= 0)
                continue;
            std::printf("  %-28s %8.0f ns  floor %8.0f ns %5.2fx  prefetched floor %8.0f ns "
                        "%5.2fx\n",
                name.substr(prefix.size()).c_str(), time, floor->second, time / floor->second,
                prefetched->second, time / prefetched->second);
        }
    }

private:
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--first-unprotect") == 0) {
        // The caller's data folder and session bus: the key stays there for the next process.
        QCoreApplication app(argc, argv);
        return firstUnprotect(argv[2], QString::fromLocal8Bit(argv[3]));
    }
    // The data protection key goes to a throw-away data folder, never to the user's own.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
    // Nor to the user's keyring: the keyring rows want a private one (see docs/performance.md).
    if (qEnvironmentVariable("ZEL_BENCH_KEYRING") != "1")
        qputenv("DBUS_SESSION_BUS_ADDRESS", "");
    QCoreApplication app(argc, argv);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
