// Network benchmark: the plug-in, loaded and started as hosts do, against bare Qt with a network
// access manager per request and with one shared manager. It starts its own servers on free
// loopback ports: nginx as a static API origin (HTTP, HTTPS with a CA made here by `openssl`,
// and HTTPS with HTTP/2 for one probe) and the dev server for the token grants. Repetitions are
// interleaved across the variants; the table shows medians and ratios. Figures only.
//
//   bench_network [--repetitions N] [--requests N] [--load-runs N] [--only SECTIONS]
//   SECTIONS: comma-separated of api, login, expired, load, probes (default: all)
//
// For a profiler, one variant's sequential calls alone, no table:
//   valgrind --tool=callgrind --separate-threads=yes bench_network --profile plug-in|shared
//       --origin http|https|http2 [--verb get|post] [--requests N]
// The measured calls run between two callgrind client requests (statistics zeroed, then dumped)
// after warm-up calls that open the connection and fill the caches; divide by --requests.

#include "OAuth2Client.h"
#include "PluginActivator.h"

#include "AuthenticatedReply.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPluginLoader>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const QString benchEmail = QStringLiteral("bench@example.com");
const QString benchPassword = QStringLiteral("bench-password-1");
const QByteArray postBody = R"({"text":"a note","tags":["bench"]})";

// The servers this run started; a failure stops them before the process exits.
std::vector<QProcess*> servers;

void fail(const QString& message)
{
    std::fprintf(stderr, "bench_network: %s\n", qPrintable(message));
    for (QProcess* process : servers) {
        process->terminate();
        process->waitForFinished(5000);
    }
    std::exit(2);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs the event loop until done() holds or the time is up; false on timeout. The thread sleeps
// between events, as a host's event loop does: processEvents() with a time limit drops
// WaitForMoreEvents and would spin, taking a core from the network thread and the servers.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 60000)
{
    QElapsedTimer timer;
    timer.start();
    QTimer tick; // wakes the loop to look at the clock
    tick.start(50);
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

quint16 freePort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        fail(QStringLiteral("no free loopback port"));
    return server.serverPort();
}

bool run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok)
        std::fprintf(stderr, "%s", process.readAll().constData());
    return ok;
}

// --- Servers ---------------------------------------------------------------------------------

// A CA and a server certificate for 127.0.0.1 and localhost, made with the openssl command.
void makeCertificates(const QString& dir)
{
    const QString ext = dir + QStringLiteral("/server.ext");
    QFile file(ext);
    file.open(QIODevice::WriteOnly);
    file.write("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
               "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n");
    file.close();
    const QString d = dir + QLatin1Char('/');
    const bool ok = run(QStringLiteral("openssl"),
                        { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "ca.key",
                            "-out", d + "ca.pem", "-days", "2", "-subj", "/CN=bench CA", "-addext",
                            "basicConstraints=critical,CA:TRUE", "-addext",
                            "keyUsage=critical,keyCertSign,cRLSign" })
        && run(QStringLiteral("openssl"),
            { "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "server.key", "-out",
                d + "server.csr", "-subj", "/CN=127.0.0.1" })
        && run(QStringLiteral("openssl"),
            { "x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.pem", "-CAkey", d + "ca.key",
                "-CAcreateserial", "-out", d + "server.pem", "-days", "2", "-extfile", ext });
    if (!ok)
        fail(QStringLiteral("openssl could not make the certificates"));
}

bool portOpen(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// nginx with a configuration of its own under prefix: every request answers {"ok":true}. The
// access log records, per request, the connection's serial number and whether TLS resumed.
class Nginx {
public:
    quint16 http = 0, https = 0, http2 = 0;
    QString prefix;

    void start(const QString& dir)
    {
        prefix = dir + QStringLiteral("/nginx");
        QDir().mkpath(prefix + QStringLiteral("/logs"));
        http = freePort();
        https = freePort();
        http2 = freePort();
        const QString conf
            = QStringLiteral(R"(daemon off;
%1worker_processes 1;
pid %2/nginx.pid;
error_log %2/logs/error.log warn;
events { worker_connections 4096; }
http {
    log_format bench '$connection $connection_requests $ssl_protocol $ssl_session_reused';
    access_log %2/logs/access.log bench;
    keepalive_timeout 120s;
    keepalive_requests 1000000;
    ssl_certificate %3/server.pem;
    ssl_certificate_key %3/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_session_cache shared:bench:4m;
    ssl_session_tickets on;
    # A request with a body is answered once the body has arrived, as an API server does:
    # nginx's own "return" answers at once, while the body may still be on its way.
    upstream reader {
        server 127.0.0.1:%7;
        keepalive 16;
    }
    server {
        listen 127.0.0.1:%7;
        access_log off;
        location / {
            default_type application/json;
            return 200 '{"ok":true}';
        }
    }
    server {
        listen 127.0.0.1:%4;
        listen 127.0.0.1:%5 ssl;
        listen 127.0.0.1:%6 ssl http2;
        default_type application/json;
        location / {
            if ($request_method = GET) {
                return 200 '{"ok":true}';
            }
            proxy_pass http://reader;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }
    }
}
)")
                  .arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), prefix, dir)
                  .arg(http)
                  .arg(https)
                  .arg(http2)
                  .arg(freePort());
        QFile file(prefix + QStringLiteral("/nginx.conf"));
        file.open(QIODevice::WriteOnly);
        file.write(conf.toUtf8());
        file.close();

        servers.push_back(&process);
        process.start(QStringLiteral("nginx"),
            { "-p", prefix, "-c", prefix + "/nginx.conf", "-e", prefix + "/logs/error.log" });
        if (!process.waitForStarted(5000))
            fail(QStringLiteral("nginx did not start (apt-get install nginx)"));
        if (!waitFor([this] { return portOpen(https) && portOpen(http); }, 10000))
            fail(QStringLiteral("nginx does not listen; see %1/logs/error.log").arg(prefix));
    }

    ~Nginx()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate(); // SIGTERM: fast shutdown
            process.waitForFinished(5000);
        }
    }

    // Access log lines written from offset on: connections seen and TLS sessions resumed.
    qint64 logSize() const { return QFileInfoSize(prefix + QStringLiteral("/logs/access.log")); }
    struct Connections {
        int requests = 0, connections = 0, resumed = 0;
        QByteArray protocol; // of the last TLS connection
    };
    Connections connectionsSince(qint64 offset) const
    {
        Connections result;
        QFile file(prefix + QStringLiteral("/logs/access.log"));
        file.open(QIODevice::ReadOnly);
        file.seek(offset);
        while (!file.atEnd()) {
            const QList<QByteArray> fields = file.readLine().trimmed().split(' ');
            if (fields.size() < 4)
                continue;
            ++result.requests;
            if (fields.at(1) == "1") {
                ++result.connections;
                if (fields.at(2) != "-")
                    result.protocol = fields.at(2);
                result.resumed += fields.at(3) == "r";
            }
        }
        return result;
    }

private:
    static qint64 QFileInfoSize(const QString& path) { return QFile(path).size(); }
    QProcess process;
};

// The dev server for the token grants, over plain HTTP; its request log is counted.
class DevServer {
public:
    QString oauth;

    void start(const QStringList& options = {})
    {
        servers.push_back(&process);
        process.setProgram(QStringLiteral(ZEL_BENCH_PYTHON));
        process.setArguments(QStringList { QStringLiteral(ZEL_BENCH_DEVSERVER), "--account",
                                 benchEmail + QLatin1Char(':') + benchPassword }
            + options);
        QObject::connect(&process, &QProcess::readyReadStandardError,
            [this] { log += process.readAllStandardError(); });
        process.start();
        QByteArray out;
        if (!waitFor(
                [&] {
                    out += process.readAllStandardOutput();
                    return out.contains('\n') || process.state() == QProcess::NotRunning;
                },
                30000))
            fail(QStringLiteral("the dev server did not start"));
        const QRegularExpressionMatch match
            = QRegularExpression(QStringLiteral("READY oauth=(\\S+)"))
                  .match(QString::fromUtf8(out));
        if (!match.hasMatch())
            fail(QStringLiteral("the dev server did not start: ") + QString::fromUtf8(log));
        oauth = match.captured(1);
    }

    ~DevServer()
    {
        servers.erase(std::remove(servers.begin(), servers.end(), &process), servers.end());
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            process.waitForFinished(5000);
        }
    }

    // Requests the OAuth server has logged so far, and how many of them were token requests
    // answered 200 (grants) or 401 (Basic challenges).
    struct Counts {
        int requests = 0, grants = 0, challenges = 0;
    };
    Counts counts()
    {
        // The server logs a request before its body is sent; give the log a moment to arrive.
        waitFor([] { return false; }, 150);
        log += process.readAllStandardError();
        Counts result;
        for (const QByteArray& line : log.split('\n')) {
            if (!line.contains(" oauth \"") && !line.contains("oauth \""))
                continue;
            ++result.requests;
            if (line.contains("\"POST /oauth/token\" 200"))
                ++result.grants;
            if (line.contains("\"POST /oauth/token\" 401"))
                ++result.challenges;
        }
        return result;
    }

    void control(const QString& pathAndQuery)
    {
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(oauth + pathAndQuery));
        request.setHeader(QNetworkRequest::ContentTypeHeader,
            QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply* reply = manager.post(request, QByteArray());
        waitFor([reply] { return reply->isFinished(); });
        if (reply->error() != QNetworkReply::NoError)
            fail(QStringLiteral("dev server control %1: %2")
                     .arg(pathAndQuery, reply->errorString()));
        delete reply;
    }

private:
    QProcess process;
    QByteArray log;
};

// --- The plug-in, hosted as hosts do ----------------------------------------------------------

class BenchContext : public zel::core::PluginContext {
public:
    explicit BenchContext(const QString& file)
        : store(new QSettings(file, QSettings::IniFormat))
    {
    }
    void registerService(const char* iid, QObject* service) override
    {
        services.insert(QByteArray(iid), service);
    }
    QSharedPointer<QSettings> settings(int) override { return store; }

    QSharedPointer<QSettings> store;
    QHash<QByteArray, QPointer<QObject>> services;
};

struct Service {
    QSharedPointer<BenchContext> context;
    network::OAuth2Client* client = nullptr;
};

class Plugin {
public:
    QPluginLoader loader { QStringLiteral(ZEL_BENCH_PLUGIN) };
    zel::core::PluginActivator* activator = nullptr;

    void load()
    {
        activator = qobject_cast<zel::core::PluginActivator*>(loader.instance());
        if (!activator)
            fail(QStringLiteral("cannot load the plug-in: ") + loader.errorString());
    }

    Service start(const QString& settingsFile, const QVariantHash& values)
    {
        Service service;
        service.context = QSharedPointer<BenchContext>::create(settingsFile);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            service.context->store->setValue(it.key(), it.value());
        service.context->store->sync();
        activator->start(service.context);
        service.client = qobject_cast<network::OAuth2Client*>(
            service.context->services.value("zel.network.OAuth2Client"));
        if (!service.client)
            fail(QStringLiteral("the plug-in registered no account service"));
        return service;
    }
};

// Logs the service in and waits for the outcome; the wall time in ms, or -1.
double login(const Service& service)
{
    // The service's signals are reached by name, as hosts do; a helper object's destruction
    // marks which one came.
    bool done = false, ok = false;
    QPointer<QObject> watcher = new QObject;
    QObject::connect(service.client->object(), SIGNAL(loggedIn()), watcher, SLOT(deleteLater()));
    QObject::connect(watcher, &QObject::destroyed, [&] { done = ok = true; });
    QPointer<QObject> errorWatcher = new QObject;
    QObject::connect(
        service.client->object(), SIGNAL(loginError(QString)), errorWatcher, SLOT(deleteLater()));
    QObject::connect(errorWatcher, &QObject::destroyed, [&] { done = true; });
    QElapsedTimer timer;
    timer.start();
    service.client->login(benchEmail, benchPassword);
    if (!waitFor([&] { return done; }))
        fail(QStringLiteral("login timed out"));
    const double ms = timer.nsecsElapsed() / 1e6;
    delete watcher;
    delete errorWatcher;
    return ok ? ms : -1;
}

// --- Request variants ------------------------------------------------------------------------

enum class Verb { Get, Post };
enum class Variant { Plugin, PerRequest, Shared };
const char* const variantNames[]
    = { "plug-in", "bare, manager per request", "bare, shared manager" };

// Sends one call and calls done when it has been answered; false when it failed.
using Sender = std::function<void(Verb, std::function<void(bool)>)>;

// A host's receiver: slots connected by signature, as the public header asks. It reports the
// outcome from the signal itself, as the bare variants report from QNetworkReply::finished.
class ReplyReceiver : public QObject {
    Q_OBJECT
public:
    ReplyReceiver(QObject* reply, std::function<void(bool)> done)
        : QObject(reply)
        , done(std::move(done))
    {
        connect(reply, SIGNAL(finished(QJsonDocument)), this, SLOT(onFinished(QJsonDocument)));
        connect(reply, SIGNAL(error(QString, int)), this, SLOT(onError(QString, int)));
    }

private slots:
    void onFinished(const QJsonDocument& json)
    {
        parent()->deleteLater();
        report(json.isObject());
    }
    void onError(const QString&, int) { report(false); } // the reply deletes itself

private:
    void report(bool ok)
    {
        if (done)
            std::exchange(done, nullptr)(ok);
    }
    std::function<void(bool)> done;
};

Sender pluginSender(network::OAuth2Client* client)
{
    return [client](Verb verb, std::function<void(bool)> done) {
        zel::network::AuthenticatedReply* reply = verb == Verb::Get
            ? client->get(QStringLiteral("/bench"))
            : client->post(QStringLiteral("/bench"), postBody);
        new ReplyReceiver(reply, std::move(done));
    };
}

// An Authorization header of the size the plug-in sends (an id of 43 characters, an SHA-256
// body hash and mac), with a nonce that changes with every call as a signature does: HTTP/2's
// header compression would shrink a header sent unchanged to a few bytes.
QByteArray bareAuthorization()
{
    static quint64 serial = 0;
    return "MAC id=\"" + QByteArray(43, 'i')
        + "\",nonce=\"12:" + QByteArray::number(++serial).rightJustified(40, '0') + "\",bodyhash=\""
        + QByteArray(43, 'h') + "=\",mac=\"" + QByteArray(43, 'm') + "=\"";
}

// The plug-in's request without the signing: the same headers; send() adds the Authorization.
QNetworkRequest bareRequest(const QString& origin)
{
    QNetworkRequest request(QUrl(origin + QStringLiteral("/bench")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

// The request as one call sends it: with an Authorization header of its own.
QNetworkRequest signedLike(const QNetworkRequest& base)
{
    QNetworkRequest request(base);
    request.setRawHeader("Authorization", bareAuthorization());
    return request;
}

QNetworkReply* send(QNetworkAccessManager* manager, const QNetworkRequest& base, Verb verb)
{
    const QNetworkRequest request = signedLike(base);
    return verb == Verb::Get ? manager->get(request) : manager->post(request, postBody);
}

void watch(QNetworkReply* reply, std::function<void(bool)> done)
{
    QObject::connect(reply, &QNetworkReply::finished, [reply, done] {
        const bool ok
            = reply->error() == QNetworkReply::NoError && reply->readAll().startsWith("{\"ok\"");
        reply->deleteLater();
        done(ok);
    });
}

Sender perRequestSender(const QString& origin)
{
    const QNetworkRequest request = bareRequest(origin);
    return [request](Verb verb, std::function<void(bool)> done) {
        auto* manager = new QNetworkAccessManager;
        QNetworkReply* reply = send(manager, request, verb);
        QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
        watch(reply, std::move(done));
    };
}

Sender sharedSender(QNetworkAccessManager* manager, const QNetworkRequest& request)
{
    return [manager, request](Verb verb, std::function<void(bool)> done) {
        watch(send(manager, request, verb), std::move(done));
    };
}

// n calls one after the other: ms per call (the mean; with callMedian, the median call), or all
// n at once (ms for the batch).
double sequential(const Sender& sender, Verb verb, int n, double* callMedian = nullptr)
{
    int answered = 0, failed = 0;
    std::vector<double> calls;
    QElapsedTimer timer, call;
    timer.start();
    std::function<void()> next = [&] {
        call.start();
        sender(verb, [&](bool ok) {
            calls.push_back(call.nsecsElapsed() / 1e6);
            failed += !ok;
            if (++answered < n)
                next();
        });
    };
    next();
    if (!waitFor([&] { return answered == n; }, 600000))
        fail(QStringLiteral("sequential calls timed out"));
    if (failed)
        fail(QStringLiteral("%1 calls failed").arg(failed));
    if (callMedian)
        *callMedian = median(calls);
    return timer.nsecsElapsed() / 1e6 / n;
}

double concurrent(const Sender& sender, Verb verb, int n)
{
    int answered = 0, failed = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < n; ++i)
        sender(verb, [&](bool ok) {
            failed += !ok;
            ++answered;
        });
    if (!waitFor([&] { return answered == n; }, 600000))
        fail(QStringLiteral("concurrent calls timed out"));
    if (failed)
        fail(QStringLiteral("%1 calls failed").arg(failed));
    return timer.nsecsElapsed() / 1e6;
}

// Each thread of this process by name (the main thread as "main"): nanoseconds on a CPU so far.
QMap<QString, qint64> threadCpuTimes()
{
    QMap<QString, qint64> times;
    const QString main = QString::number(QCoreApplication::applicationPid());
    const QStringList tasks
        = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks) {
        const QString path = QStringLiteral("/proc/self/task/") + task;
        QFile stat(path + QStringLiteral("/schedstat")), comm(path + QStringLiteral("/comm"));
        if (!stat.open(QIODevice::ReadOnly) || !comm.open(QIODevice::ReadOnly))
            continue;
        const QString name
            = task == main ? QStringLiteral("main") : QString::fromUtf8(comm.readAll().trimmed());
        times[name] += stat.readAll().split(' ').value(0).toLongLong();
    }
    return times;
}

void drainDeletions()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

// --- Load and start --------------------------------------------------------------------------

// One QPluginLoader::load() through PluginActivator::start() in this process, as a host's first
// load; prints "load instance start total" in microseconds.
int loadStartOnce(const QString& settingsFile, bool warmCrypto)
{
    if (warmCrypto) {
        // As in a host that has used OpenSSL before (any HTTPS connection through Qt does):
        // libcrypto mapped and initialised with its configuration.
        void* crypto = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_GLOBAL);
        using Init = int (*)(uint64_t, const void*);
        auto init = crypto ? reinterpret_cast<Init>(dlsym(crypto, "OPENSSL_init_crypto")) : nullptr;
        if (!init || !init(0x40 /* OPENSSL_INIT_LOAD_CONFIG */, nullptr))
            return 1;
    }
    // The host's context and settings exist before it loads plug-ins.
    auto context = QSharedPointer<BenchContext>::create(settingsFile);
    context->store->allKeys();
    QElapsedTimer timer;
    timer.start();
    QPluginLoader loader(QStringLiteral(ZEL_BENCH_PLUGIN));
    if (!loader.load())
        return 1;
    const qint64 loaded = timer.nsecsElapsed();
    auto* activator = qobject_cast<zel::core::PluginActivator*>(loader.instance());
    if (!activator)
        return 1;
    const qint64 instantiated = timer.nsecsElapsed();
    activator->start(context);
    const qint64 started = timer.nsecsElapsed();
    std::printf("%.0f %.0f %.0f %.0f\n", loaded / 1e3, (instantiated - loaded) / 1e3,
        (started - instantiated) / 1e3, started / 1e3);
    return context->services.isEmpty() ? 1 : 0;
}

// --- The table -------------------------------------------------------------------------------

struct Row {
    QString what;
    double values[3] = { 0, 0, 0 };
    QString unit;
};

void printRow(const Row& row)
{
    QString line = QStringLiteral("| %1 |").arg(row.what);
    for (double v : row.values)
        line += v > 0 ? QStringLiteral(" %1 %2 |").arg(v, 0, 'f', v < 10 ? 3 : 1).arg(row.unit)
                      : QStringLiteral(" |");
    const auto ratio = [](double a, double b) {
        return a > 0 && b > 0 ? QStringLiteral("%1x").arg(a / b, 0, 'f', 2) : QStringLiteral("");
    };
    line += QStringLiteral(" %1 | %2 |")
                .arg(ratio(row.values[0], row.values[1]), ratio(row.values[0], row.values[2]));
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

void printHeader(const QString& title)
{
    std::printf("\n%s\n\n| Measure | %s | %s | %s | plug-in / per-request | plug-in / shared |\n"
                "|---|---|---|---|---|---|\n",
        qPrintable(title), variantNames[0], variantNames[1], variantNames[2]);
}

// One bare-Qt probe: how a variant of the shared or per-request manager sends its calls.
struct Probe {
    QString name;
    std::function<Sender(const QString& origin, QNetworkAccessManager* shared)> make;
    Verb verb;
};

// The probes of Qt's behaviour on a reused connection and of TLS resumption.
std::vector<Probe> probeList()
{
    const auto sharedWith =
        [](std::function<void(QNetworkRequest&)> change,
            std::function<QNetworkReply*(QNetworkAccessManager*, const QNetworkRequest&)> post) {
            return [change, post](const QString& origin, QNetworkAccessManager* shared) -> Sender {
                QNetworkRequest request = bareRequest(origin);
                change(request);
                return [shared, request, post](Verb verb, std::function<void(bool)> done) {
                    const QNetworkRequest sent = signedLike(request);
                    watch(verb == Verb::Get ? shared->get(sent) : post(shared, sent),
                        std::move(done));
                };
            };
        };
    const auto noChange = [](QNetworkRequest&) {};
    const auto byteArrayPost
        = [](QNetworkAccessManager* m, const QNetworkRequest& r) { return m->post(r, postBody); };
    const auto devicePost = [](QNetworkAccessManager* m, const QNetworkRequest& r) {
        auto* buffer = new QBuffer;
        buffer->setData(postBody);
        buffer->open(QIODevice::ReadOnly);
        QNetworkReply* reply = m->post(r, buffer);
        buffer->setParent(reply);
        return reply;
    };
    const auto sizedPost = [](int size) {
        return [size](QNetworkAccessManager* m, const QNetworkRequest& r) {
            return m->post(r, QByteArray(size, 'x'));
        };
    };
    const auto emptyPost = [](QNetworkAccessManager* m, const QNetworkRequest& r) {
        return m->post(r, QByteArray());
    };
    // TLS session tickets handed from one per-request manager to the next.
    // Per-request managers with a fixed TLS version; with resume, each hands the session
    // ticket it got on to the next one.
    const auto perRequestTls = [](QSsl::SslProtocol protocol, bool resume, bool handOn = true) {
        return [protocol, resume, handOn](const QString& origin, QNetworkAccessManager*) -> Sender {
            auto ticket = std::make_shared<QByteArray>();
            const QNetworkRequest base = bareRequest(origin);
            return [base, ticket, protocol, resume, handOn](
                       Verb verb, std::function<void(bool)> done) {
                QNetworkRequest request(base);
                if (base.url().scheme() == QLatin1String("https")) {
                    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
                    config.setProtocol(protocol);
                    if (resume) {
                        config.setSslOption(QSsl::SslOptionDisableSessionTickets, false);
                        config.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
                        if (!ticket->isEmpty())
                            config.setSessionTicket(*ticket);
                    }
                    request.setSslConfiguration(config);
                }
                auto* manager = new QNetworkAccessManager;
                QNetworkReply* reply = send(manager, request, verb);
                if (resume && handOn) {
                    QObject::connect(reply, &QNetworkReply::finished, [reply, ticket] {
                        const QByteArray t = reply->sslConfiguration().sessionTicket();
                        if (!t.isEmpty())
                            *ticket = t;
                    });
                }
                QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
                watch(reply, std::move(done));
            };
        };
    };
    const auto allowing = [](QNetworkRequest::Attribute attribute) {
        return [attribute](QNetworkRequest& r) { r.setAttribute(attribute, true); };
    };
    return {
        { "shared: GET", sharedWith(noChange, byteArrayPost), Verb::Get },
        { "shared: POST, 34 B body as QByteArray", sharedWith(noChange, byteArrayPost),
            Verb::Post },
        { "shared: POST, same body as QIODevice (QBuffer)", sharedWith(noChange, devicePost),
            Verb::Post },
        { "shared: POST, empty body", sharedWith(noChange, emptyPost), Verb::Post },
        { "shared: POST, 4 KiB body", sharedWith(noChange, sizedPost(4096)), Verb::Post },
        { "shared: POST, 64 KiB body", sharedWith(noChange, sizedPost(65536)), Verb::Post },
        { "shared: POST, pipelining allowed",
            sharedWith(allowing(QNetworkRequest::HttpPipeliningAllowedAttribute), byteArrayPost),
            Verb::Post },
        { "shared: POST, HTTP/2 (HTTPS only, nginx)",
            sharedWith(allowing(QNetworkRequest::Http2AllowedAttribute), byteArrayPost),
            Verb::Post },
        { "per-request: GET, TLS 1.3", perRequestTls(QSsl::TlsV1_3, false), Verb::Get },
        { "per-request: GET, TLS 1.3, tickets enabled, none handed on",
            perRequestTls(QSsl::TlsV1_3, true, false), Verb::Get },
        { "per-request: GET, TLS 1.3, session ticket handed on", perRequestTls(QSsl::TlsV1_3, true),
            Verb::Get },
        { "per-request: POST, TLS 1.3, session ticket handed on",
            perRequestTls(QSsl::TlsV1_3, true), Verb::Post },
        { "per-request: GET, TLS 1.2", perRequestTls(QSsl::TlsV1_2, false), Verb::Get },
        { "per-request: GET, TLS 1.2, session ticket handed on", perRequestTls(QSsl::TlsV1_2, true),
            Verb::Get },
    };
}

// A run of the benchmark: its servers, the loaded plug-in and the sizes the command line chose;
// each section of the output is one member function.
class NetworkBench {
public:
    NetworkBench(const QString& dir, int repetitions, int requests, int loadRuns)
        : dir(dir)
        , repetitions(repetitions)
        , requests(requests)
        , loadRuns(loadRuns)
    {
    }

    // Starts nginx and the dev server, trusts the CA made for them, prints the run's setting
    // and loads the plug-in.
    void start(bool inMemory)
    {
        makeCertificates(dir);
        // The plug-in and the bare variants trust the generated CA, as zel-account's --ca-file
        // does.
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(
            ssl.caCertificates() + QSslCertificate::fromPath(dir + QStringLiteral("/ca.pem")));
        QSslConfiguration::setDefaultConfiguration(ssl);

        nginx.start(dir);
        devServer.start();
        httpOrigin = QStringLiteral("http://127.0.0.1:%1").arg(nginx.http);
        httpsOrigin = QStringLiteral("https://127.0.0.1:%1").arg(nginx.https);
        http2Origin = QStringLiteral("https://127.0.0.1:%1").arg(nginx.http2);
        servers = { { QStringLiteral("oauthServer"), devServer.oauth },
            { QStringLiteral("apiServer"), httpOrigin } };

        std::printf(
            "Qt %s (run time %s), %d-core machine, load %s; nginx and the dev server on "
            "loopback; settings on %s; %d interleaved repetitions, medians\n",
            QT_VERSION_STR, qVersion(), QThread::idealThreadCount(),
            [] {
                QFile f(QStringLiteral("/proc/loadavg"));
                f.open(QIODevice::ReadOnly);
                return f.readAll().trimmed().left(14);
            }()
                .constData(),
            inMemory ? "tmpfs" : "disk", repetitions);
        plugin.load();
    }

    // One variant's sequential calls alone, for a profiler; ends the process.
    [[noreturn]] void profile(const QString& variant, const QString& originName, Verb verb)
    {
        const QString origin = originName == QLatin1String("http") ? httpOrigin
            : originName == QLatin1String("http2")                 ? http2Origin
                                                                   : httpsOrigin;
        QVariantHash values = servers;
        values.insert(QStringLiteral("apiServer"), origin);
        std::unique_ptr<QNetworkAccessManager> shared;
        Sender sender;
        if (variant == QLatin1String("plug-in")) {
            const Service started = plugin.start(settingsFile(), values);
            if (login(started) < 0)
                fail(QStringLiteral("the benchmark account could not log in"));
            sender = pluginSender(started.client);
        } else {
            shared = std::make_unique<QNetworkAccessManager>();
            sender = sharedSender(shared.get(), bareRequest(origin));
        }
        sequential(sender, verb, 20); // the connection, TLS and the caches warm
        drainDeletions();
        const qint64 offset = nginx.logSize();
        const QMap<QString, qint64> cpuBefore = threadCpuTimes();
        CALLGRIND_ZERO_STATS; // every thread's
        const double ms = sequential(sender, verb, requests);
        drainDeletions();
        CALLGRIND_DUMP_STATS_AT("measured calls");
        const QMap<QString, qint64> cpuAfter = threadCpuTimes();
        const Nginx::Connections connections = nginx.connectionsSince(offset);
        std::printf("%s, %d sequential calls to %s: %.3f ms per call; %d new connection(s), "
                    "%d resumed TLS session(s); CPU per call:",
            qPrintable(variant), requests, qPrintable(origin), ms, connections.connections,
            connections.resumed);
        for (auto it = cpuAfter.cbegin(); it != cpuAfter.cend(); ++it) {
            const qint64 ns = it.value() - cpuBefore.value(it.key());
            if (ns > 0)
                std::printf(" %s %.1f us", qPrintable(it.key()), ns / 1e3 / requests);
        }
        std::printf("\n");
        // Callgrind dumps the other threads at the exit: no teardown may add to their counts.
        std::fflush(stdout);
        for (QProcess* process : ::servers) {
            process->terminate();
            process->waitForFinished(5000);
        }
        std::_Exit(0);
    }

    // A. Signed calls: plug-in against bare Qt, one table per origin.
    void signedCalls()
    {
        for (const QString& origin : { httpOrigin, httpsOrigin, http2Origin }) {
            QVariantHash values = servers;
            values.insert(QStringLiteral("apiServer"), origin);
            printHeader(QStringLiteral("Signed calls over %1 (%2 calls)")
                            .arg(origin == httpOrigin ? QStringLiteral("HTTP")
                                    : origin == httpsOrigin
                                    ? QStringLiteral("HTTPS")
                                    : QStringLiteral("HTTPS, the server offering HTTP/2"))
                            .arg(requests));
            for (const Verb verb : { Verb::Get, Verb::Post }) {
                for (const bool batch : { false, true })
                    signedCallRows(origin, values, verb, batch);
            }
        }
    }

    // B. A login: requests reaching the OAuth server and wall time. The dev server's password
    // check (PBKDF2) is most of a login's time; a second dev server hashing with one round
    // shows the plug-in's own share.
    void logins()
    {
        std::printf("\nLogin against the dev server over HTTP (%d repetitions, medians)\n\n"
                    "| Login | password hash | requests | token requests answered 401 | wall "
                    "time |\n|---|---|---|---|---|\n",
            repetitions);
        DevServer cheapHashes;
        cheapHashes.start({ QStringLiteral("--password-iterations"), QStringLiteral("1") });
        for (DevServer* server : { &devServer, &cheapHashes }) {
            QVariantHash origins = servers;
            origins.insert(QStringLiteral("oauthServer"), server->oauth);
            std::vector<double> freshTimes, heldTimes;
            DevServer::Counts freshCounts, heldCounts;
            for (int r = 0; r < repetitions; ++r) {
                const DevServer::Counts before = server->counts();
                const Service fresh = plugin.start(settingsFile(), origins);
                freshTimes.push_back(login(fresh));
                const DevServer::Counts middle = server->counts();
                // The same device again, holding its client credentials but no login.
                QVariantHash held = origins;
                for (const char* key : { "client_id", "client_secret" })
                    held.insert(
                        QLatin1String(key), fresh.context->store->value(QLatin1String(key)));
                const Service again = plugin.start(settingsFile(), held);
                heldTimes.push_back(login(again));
                const DevServer::Counts after = server->counts();
                freshCounts = { middle.requests - before.requests, 0,
                    middle.challenges - before.challenges };
                heldCounts
                    = { after.requests - middle.requests, 0, after.challenges - middle.challenges };
            }
            const char* hash = server == &devServer ? "PBKDF2, 100,000 rounds" : "PBKDF2, 1 round";
            std::printf("| fresh device (+ client credentials) | %s | %d | %d | %.1f ms |\n", hash,
                freshCounts.requests, freshCounts.challenges, median(freshTimes));
            std::printf("| client credentials held | %s | %d | %d | %.1f ms |\n", hash,
                heldCounts.requests, heldCounts.challenges, median(heldTimes));
        }
    }

    // C. Calls that all wait for one expired token.
    void expiredToken()
    {
        devServer.control(QStringLiteral("/dev/token-lifetime?seconds=1"));
        const Service service = plugin.start(settingsFile(), servers);
        if (login(service) < 0)
            fail(QStringLiteral("the benchmark account could not log in"));
        devServer.control(QStringLiteral("/dev/token-lifetime?seconds=3600"));
        waitFor([] { return false; }, 1500); // the token expires
        const DevServer::Counts before = devServer.counts();
        const double ms = concurrent(pluginSender(service.client), Verb::Get, 1000);
        const DevServer::Counts after = devServer.counts();
        std::printf("\n1000 concurrent calls on an expired token (HTTP): %d grant(s), %d Basic "
                    "challenge(s), %.1f ms for the batch\n",
            after.grants - before.grants, after.challenges - before.challenges, ms);
    }

    // D. Load and start, each in a fresh process as a host's first load; a logged-in device.
    void loadAndStart()
    {
        const QString file = settingsFile();
        {
            const Service service = plugin.start(file, servers);
            if (login(service) < 0)
                fail(QStringLiteral("the benchmark account could not log in"));
        }
        const QString freshFile = settingsFile();
        QSettings(freshFile, QSettings::IniFormat)
            .setValue(QStringLiteral("apiServer"), httpOrigin);
        std::printf("\nLoad and start, each in a fresh process (%d processes, interleaved, "
                    "medians, ms)\n\n| Device | load() | instance() | start() | load() through "
                    "start() |\n|---|---|---|---|---|\n",
            loadRuns);
        const struct {
            const char* name;
            QString settings;
            bool warm;
        } cases[] = { { "logged in", file, false }, { "fresh (empty settings)", freshFile, false },
            { "logged in, OpenSSL already initialised by the host", file, true } };
        std::vector<double> parts[3][4];
        for (int i = 0; i < loadRuns; ++i) {
            for (int c = 0; c < 3; ++c) {
                QProcess child;
                QStringList arguments { QStringLiteral("--load-start-once"), cases[c].settings };
                if (cases[c].warm)
                    arguments << QStringLiteral("--warm-crypto");
                child.start(QCoreApplication::applicationFilePath(), arguments);
                if (!child.waitForFinished(30000) || child.exitCode() != 0)
                    fail(QStringLiteral("the load and start process failed"));
                const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
                for (int p = 0; p < 4 && p < fields.size(); ++p)
                    parts[c][p].push_back(fields.at(p).toDouble() / 1000);
            }
        }
        for (int c = 0; c < 3; ++c)
            std::printf("| %s | %.2f | %.2f | %.2f | %.2f |\n", cases[c].name, median(parts[c][0]),
                median(parts[c][1]), median(parts[c][2]), median(parts[c][3]));
    }

    // E. Probes for Qt's behaviour on a reused connection and TLS resumption, bare Qt only.
    void probes()
    {
        const int n = std::min(requests, 50);
        std::printf("\nProbes, bare Qt, %d sequential calls: the median call in ms (median over "
                    "%d repetitions); connections (TLS sessions resumed)\n\n| Probe | HTTP | "
                    "HTTPS |\n|---|---|---|\n",
            n, repetitions);
        for (const Probe& probe : probeList()) {
            const bool h2 = probe.name.contains(QLatin1String("HTTP/2"));
            QString line = QStringLiteral("| %1 |").arg(probe.name);
            for (const bool https : { false, true }) {
                if (h2 && !https) {
                    line += QStringLiteral(" |");
                    continue;
                }
                const QString origin = !https ? httpOrigin : h2 ? http2Origin : httpsOrigin;
                std::vector<double> times;
                Nginx::Connections connections;
                for (int r = 0; r < repetitions; ++r) {
                    auto shared = std::make_unique<QNetworkAccessManager>();
                    const Sender sender = probe.make(origin, shared.get());
                    const qint64 offset = nginx.logSize();
                    double callMedian = 0;
                    sequential(sender, probe.verb, n, &callMedian);
                    times.push_back(callMedian);
                    shared.reset();
                    drainDeletions();
                    if (r == 0)
                        connections = nginx.connectionsSince(offset);
                }
                line += https ? QStringLiteral(" %1 ms; %2 (%3) %4 |")
                                    .arg(median(times), 0, 'f', 3)
                                    .arg(connections.connections)
                                    .arg(connections.resumed)
                                    .arg(QString::fromLatin1(connections.protocol))
                              : QStringLiteral(" %1 ms; %2 |")
                                    .arg(median(times), 0, 'f', 3)
                                    .arg(connections.connections);
            }
            std::printf("%s\n", qPrintable(line));
            std::fflush(stdout);
        }
    }

private:
    // The rows of one verb and one pattern (sequential or concurrent) of signed calls to origin:
    // each variant measured in turn, repetitions interleaved.
    void signedCallRows(const QString& origin, const QVariantHash& values, Verb verb, bool batch)
    {
        const bool https = origin != httpOrigin;
        std::vector<double> times[3], medianCalls[3];
        Nginx::Connections connections[3];
        for (int r = 0; r < repetitions; ++r) {
            for (int v = 0; v < 3; ++v) {
                // The plug-in's service and the shared manager live for one
                // measure each: both start with a new network thread and new
                // connections, so that neither keeps a lucky or unlucky placement on
                // the cores for a whole run. The service is logged in beforehand.
                std::unique_ptr<QObject> service;
                std::unique_ptr<QNetworkAccessManager> shared;
                Sender sender;
                if (v == 0) {
                    const Service started = plugin.start(settingsFile(), values);
                    service.reset(started.client->object());
                    if (login(started) < 0)
                        fail(QStringLiteral("the benchmark account could not log in"));
                    sender = pluginSender(started.client);
                } else if (v == 1)
                    sender = perRequestSender(origin);
                else {
                    shared = std::make_unique<QNetworkAccessManager>();
                    sender = sharedSender(shared.get(), bareRequest(origin));
                }
                const qint64 offset = nginx.logSize();
                double callMedian = 0;
                times[v].push_back(batch ? concurrent(sender, verb, requests)
                                         : sequential(sender, verb, requests, &callMedian));
                medianCalls[v].push_back(callMedian);
                shared.reset();
                service.reset();
                drainDeletions();
                if (r == 0)
                    connections[v] = nginx.connectionsSince(offset);
            }
        }
        Row row;
        row.what = QStringLiteral("%1 %2 %3%4")
                       .arg(requests)
                       .arg(batch ? QStringLiteral("concurrent") : QStringLiteral("sequential"))
                       .arg(verb == Verb::Get ? QStringLiteral("GETs") : QStringLiteral("POSTs"))
                       .arg(batch ? QStringLiteral(", batch") : QStringLiteral(", per call"));
        row.unit = QStringLiteral("ms");
        for (int v = 0; v < 3; ++v)
            row.values[v] = median(times[v]);
        printRow(row);
        if (!batch) {
            // One slow call (a scheduling hiccup on a loaded machine) moves the mean;
            // the median call shows the usual cost of a call.
            row.what = QStringLiteral("  the median call");
            for (int v = 0; v < 3; ++v)
                row.values[v] = median(medianCalls[v]);
            printRow(row);
        }
        std::printf("|   connections (resumed TLS) |");
        for (int v = 0; v < 3; ++v)
            std::printf(
                https ? " %d (%d) |" : " %d |", connections[v].connections, connections[v].resumed);
        std::printf(" | |\n");
    }

    QString settingsFile() { return dir + QStringLiteral("/settings-%1.ini").arg(++serial); }

    const QString dir; // settings, keys, certificates and the servers' files
    const int repetitions, requests, loadRuns;
    int serial = 0;
    Nginx nginx;
    DevServer devServer;
    Plugin plugin;
    QString httpOrigin, httpsOrigin;
    // This origin offers HTTP/2 through ALPN: Qt 6 uses it by default, Qt 5 bare managers do
    // not, the plug-in does with either.
    QString http2Origin;
    QVariantHash servers; // the store's origins: the dev server and the HTTP API origin
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption repetitionsOption(
        "repetitions", "interleaved repetitions per measure (default 5)", "N", "5");
    const QCommandLineOption requestsOption(
        "requests", "calls per sequential and concurrent measure (default 200)", "N", "200");
    const QCommandLineOption loadRunsOption(
        "load-runs", "processes for the load and start figure (default 21)", "N", "21");
    const QCommandLineOption onlyOption("only", "sections: api, login, expired, load, probes",
        "LIST", "api,login,expired,load,probes");
    QCommandLineOption loadStartOption("load-start-once", "", "SETTINGS");
    loadStartOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption warmCryptoOption("warm-crypto");
    warmCryptoOption.setFlags(QCommandLineOption::HiddenFromHelp);
    const QCommandLineOption profileOption("profile",
        "only this variant's sequential calls, for a profiler: plug-in or shared", "VARIANT");
    const QCommandLineOption originOption(
        "origin", "with --profile: http, https or http2 (default https)", "ORIGIN", "https");
    const QCommandLineOption verbOption(
        "verb", "with --profile: get or post (default get)", "VERB", "get");
    parser.addOptions({ repetitionsOption, requestsOption, loadRunsOption, onlyOption,
        loadStartOption, warmCryptoOption, profileOption, originOption, verbOption });
    parser.process(app);
    if (parser.isSet(loadStartOption))
        return loadStartOnce(parser.value(loadStartOption), parser.isSet(warmCryptoOption));

    const int repetitions = std::max(1, parser.value(repetitionsOption).toInt());
    const int requests = std::max(1, parser.value(requestsOption).toInt());
    const int loadRuns = std::max(1, parser.value(loadRunsOption).toInt());
    const QStringList only = parser.value(onlyOption).split(QLatin1Char(','));

    // The settings files and the data protection key go to a throw-away folder, in memory where
    // the system has one: a disk's flush (QSettings syncs with fdatasync) is the host's cost and
    // varies by machine far more than what is measured here.
    const bool inMemory = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
    QTemporaryDir dir(inMemory ? QStringLiteral("/dev/shm/zel-bench-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/zel-bench-XXXXXX"));
    qputenv("XDG_DATA_HOME", (dir.path() + QStringLiteral("/data")).toLocal8Bit());

    NetworkBench bench(dir.path(), repetitions, requests, loadRuns);
    bench.start(inMemory);
    if (parser.isSet(profileOption)) {
        bench.profile(parser.value(profileOption), parser.value(originOption),
            parser.value(verbOption) == QLatin1String("post") ? Verb::Post : Verb::Get);
    }
    const std::pair<const char*, void (NetworkBench::*)()> sections[]
        = { { "api", &NetworkBench::signedCalls }, { "login", &NetworkBench::logins },
              { "expired", &NetworkBench::expiredToken }, { "load", &NetworkBench::loadAndStart },
              { "probes", &NetworkBench::probes } };
    for (const auto& [name, section] : sections) {
        if (only.contains(QLatin1String(name)))
            (bench.*section)();
    }
    return 0;
}

#include "bench_network.moc"
