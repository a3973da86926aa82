// zel-account: the command-line host of the account plug-in. It loads the plug-in module the
// way the desktop host does (QPluginLoader, PluginActivator::start with a context of its own),
// runs one command against the registered account service and exits.

#include "Commands.h"
#include "HostContext.h"
#include "OAuth2Client.h"
#include "PluginActivator.h"
#include "Terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

const char usageText[] = R"(Usage: zel-account [OPTIONS] COMMAND [ARGS]

Commands:
  status                       login state, isLoggedIn, clientId, pendingActivationEmail
  login EMAIL                  log in; the password is prompted for without echo
  activate                     check whether the registered account has been activated
  register --email E --first-name F --last-name L --country C [--newsletter]
                               register a new account; the password is prompted for
  get PATH                     authenticated GET of the API server; PATH starts with "/"
  post PATH [JSON]             authenticated POST; the JSON body from the argument or stdin
  put PATH [JSON]              authenticated PUT; the same
  pubnub                       the PubNub configuration of the device
  manage-url                   a one-time URL of the account's management page
  user-details                 what the system account tells about the user
  logout                       forget the account: empties the settings (the server
                               origins stay)

Options:
  --plugin FILE         the plug-in module (default: ../plugins next to this program,
                        or the environment variable ZEL_PLUGIN)
  --settings FILE       the settings file (default: <config dir>/zel/zel-account.ini)
  --oauth-server URL    store this OAuth/web server origin in the settings
  --api-server URL      store this API server origin in the settings
  --ca-file PEM         trust the CA certificates in this PEM file as well
  --password-stdin      login, register: read the password as one line from stdin
  --verbose             the plug-in's debug log on stderr (it never logs secrets)
  --timeout SECONDS     give up waiting for the network after this long (default 60)
  --help                this text

Results are JSON on stdout (manage-url: the URL as text), messages go to stderr.
Exit status: 0 success, 1 the operation failed, 2 usage error. A failed registration
prints the server's field errors as a JSON object on stdout and exits with 1.
)";

struct UsageError {
    QString message;
};

void note(const QString& message)
{
    std::fputs(("zel-account: " + message + '\n').toUtf8().constData(), stderr);
}

int usageError(const QString& message)
{
    note(message);
    std::fputs("Try 'zel-account --help'.\n", stderr);
    return ExitUsage;
}

QString defaultPluginPath()
{
#ifdef Q_OS_WIN
    const QString fileName = QStringLiteral("zel.network.oauth.dll");
#else
    const QString fileName = QStringLiteral("zel.network.oauth.so");
#endif
    return QDir::cleanPath(
        QCoreApplication::applicationDirPath() + QStringLiteral("/../plugins/") + fileName);
}

QString defaultSettingsPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/zel/zel-account.ini");
}

// A server origin as the plug-in expects it: scheme and authority, no trailing slash, since
// the plug-in appends paths that begin with "/" as plain text.
std::optional<QString> serverOrigin(QString text)
{
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery()
        || url.hasFragment()
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        return std::nullopt;
    return text;
}

// The password of login and register, from stdin or from the terminal.
std::optional<QString> readPassword(
    bool fromStdin, const QString& prompt, bool confirm, QString& problem)
{
    if (fromStdin) {
        std::optional<QString> line = terminal::readLine();
        if (!line) {
            problem = QStringLiteral("no password on stdin");
            return std::nullopt;
        }
        return line;
    }
    if (!terminal::stdinIsTerminal()) {
        problem
            = QStringLiteral("stdin is not a terminal: pass the password with --password-stdin");
        return std::nullopt;
    }
    std::optional<QString> password = terminal::readHiddenLine(prompt);
    if (!password) {
        problem = QStringLiteral("no password given");
        return std::nullopt;
    }
    if (confirm) {
        const std::optional<QString> again
            = terminal::readHiddenLine(QStringLiteral("Repeat the password: "));
        if (!again || *again != *password) {
            problem = QStringLiteral("the two passwords differ");
            return std::nullopt;
        }
    }
    return password;
}

struct Settings {
    QString pluginFile;
    QString settingsFile;
    std::optional<QString> oauthServer;
    std::optional<QString> apiServer;
    QString caFile;
    bool verbose = false;
};

// Reads the command line into settings and an invocation; throws nothing, reports through
// the returned error text.
std::optional<QString> parseCommandLine(
    const QStringList& arguments, Settings& settings, Invocation& invocation, bool& helpRequested)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption plugin(QStringLiteral("plugin"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption settingsFile(
        QStringLiteral("settings"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption oauthServer(
        QStringLiteral("oauth-server"), QString(), QStringLiteral("URL"));
    const QCommandLineOption apiServer(
        QStringLiteral("api-server"), QString(), QStringLiteral("URL"));
    const QCommandLineOption caFile(QStringLiteral("ca-file"), QString(), QStringLiteral("PEM"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"), QString(), QStringLiteral("SECONDS"));
    const QCommandLineOption passwordStdin(QStringLiteral("password-stdin"));
    const QCommandLineOption email(QStringLiteral("email"), QString(), QStringLiteral("E"));
    const QCommandLineOption firstName(
        QStringLiteral("first-name"), QString(), QStringLiteral("F"));
    const QCommandLineOption lastName(QStringLiteral("last-name"), QString(), QStringLiteral("L"));
    const QCommandLineOption country(QStringLiteral("country"), QString(), QStringLiteral("C"));
    const QCommandLineOption newsletter(QStringLiteral("newsletter"));
    const QCommandLineOption help(QStringList { QStringLiteral("help"), QStringLiteral("h") });
    parser.addOptions({ plugin, settingsFile, oauthServer, apiServer, caFile, verbose, timeout,
        passwordStdin, email, firstName, lastName, country, newsletter, help });

    if (!parser.parse(arguments))
        return parser.errorText();
    if (parser.isSet(help)) {
        helpRequested = true;
        return std::nullopt;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return QStringLiteral("no command given");
    invocation.command = positional.takeFirst();
    const QString& command = invocation.command;

    struct Shape {
        const char* name;
        int minArguments;
        int maxArguments;
    };
    static const Shape shapes[] = {
        { "status", 0, 0 },
        { "login", 1, 1 },
        { "activate", 0, 0 },
        { "register", 0, 0 },
        { "get", 1, 1 },
        { "post", 1, 2 },
        { "put", 1, 2 },
        { "pubnub", 0, 0 },
        { "manage-url", 0, 0 },
        { "user-details", 0, 0 },
        { "logout", 0, 0 },
    };
    const Shape* shape = nullptr;
    for (const Shape& candidate : shapes) {
        if (command == QLatin1String(candidate.name))
            shape = &candidate;
    }
    if (!shape)
        return QStringLiteral("unknown command '%1'").arg(command);
    if (positional.size() < shape->minArguments)
        return QStringLiteral("%1: missing argument").arg(command);
    if (positional.size() > shape->maxArguments)
        return QStringLiteral("%1: unexpected argument '%2'")
            .arg(command, positional.value(shape->maxArguments));

    const bool isRegister = command == QLatin1String("register");
    const bool takesPassword = isRegister || command == QLatin1String("login");
    for (const QCommandLineOption* option :
        { &email, &firstName, &lastName, &country, &newsletter }) {
        if (!isRegister && parser.isSet(*option))
            return QStringLiteral("--%1 applies only to register").arg(option->names().first());
    }
    if (!takesPassword && parser.isSet(passwordStdin))
        return QStringLiteral("--password-stdin applies only to login and register");

    settings.pluginFile = parser.value(plugin);
    if (settings.pluginFile.isEmpty())
        settings.pluginFile = qEnvironmentVariable("ZEL_PLUGIN");
    if (settings.pluginFile.isEmpty())
        settings.pluginFile = defaultPluginPath();
    settings.settingsFile
        = parser.isSet(settingsFile) ? parser.value(settingsFile) : defaultSettingsPath();
    if (settings.settingsFile.isEmpty())
        return QStringLiteral("--settings needs a file name");
    for (const auto& [option, target] : { std::pair { &oauthServer, &settings.oauthServer },
             std::pair { &apiServer, &settings.apiServer } }) {
        if (!parser.isSet(*option))
            continue;
        *target = serverOrigin(parser.value(*option));
        if (!*target) {
            return QStringLiteral(
                "--%1 needs an http or https origin such as https://host:port, not '%2'")
                .arg(option->names().first(), parser.value(*option));
        }
    }
    settings.caFile = parser.value(caFile);
    settings.verbose = parser.isSet(verbose);
    if (parser.isSet(timeout)) {
        bool ok = false;
        const double seconds = parser.value(timeout).toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0)
            return QStringLiteral("--timeout needs a positive number of seconds");
        invocation.timeoutMs = int(std::min(seconds * 1000.0, 2147483647.0));
        invocation.timeoutMs = std::max(invocation.timeoutMs, 1);
    }

    if (command == QLatin1String("login")) {
        invocation.email = positional.at(0);
        if (invocation.email.isEmpty())
            return QStringLiteral("login: the e-mail address is empty");
    } else if (isRegister) {
        for (const auto& [option, target] : { std::pair { &email, &invocation.email },
                 std::pair { &firstName, &invocation.firstName },
                 std::pair { &lastName, &invocation.lastName },
                 std::pair { &country, &invocation.country } }) {
            *target = parser.value(*option);
            if (target->isEmpty())
                return QStringLiteral("register needs --%1").arg(option->names().first());
        }
        invocation.newsletter = parser.isSet(newsletter);
    } else if (!positional.isEmpty()) {
        invocation.path = positional.at(0);
        // The plug-in appends the path to the API origin as text: without the slash it would
        // change the host name.
        if (!invocation.path.startsWith(QLatin1Char('/')))
            return QStringLiteral("%1: the path must start with '/'").arg(command);
        const QString body = positional.value(1);
        if (positional.size() > 1 && body != QLatin1String("-"))
            invocation.body = body.toUtf8();
        else if (positional.size() > 1 || !terminal::stdinIsTerminal())
            invocation.body = terminal::readAll();
        if (!invocation.body.trimmed().isEmpty()) {
            QJsonParseError error;
            QJsonDocument::fromJson(invocation.body, &error);
            if (error.error != QJsonParseError::NoError)
                return QStringLiteral("%1: the body is not JSON: %2")
                    .arg(command, error.errorString());
        }
    }
    if (takesPassword) {
        QString problem;
        std::optional<QString> password = readPassword(parser.isSet(passwordStdin),
            QStringLiteral("Password for %1: ").arg(invocation.email), isRegister, problem);
        if (!password)
            return problem;
        if (password->isEmpty())
            return QStringLiteral("the password is empty");
        invocation.password = *password;
        password->fill(QChar(0));
    }
    return std::nullopt;
}

// The settings file is created readable by the user alone: it holds the MAC key of the
// session. The store keeps the permissions of an existing file when it rewrites it.
bool prepareSettingsFile(const QString& path)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    if (info.exists())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-account"));

    Settings settings;
    Invocation invocation;
    bool helpRequested = false;
    if (const auto problem
        = parseCommandLine(QCoreApplication::arguments(), settings, invocation, helpRequested))
        return usageError(*problem);
    if (helpRequested) {
        std::fputs(usageText, stdout);
        return ExitSuccess;
    }

    if (settings.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("zel.network.*.debug=true"));

    if (!settings.caFile.isEmpty()) {
        const QList<QSslCertificate> certificates
            = QSslCertificate::fromPath(settings.caFile, QSsl::Pem);
        if (certificates.isEmpty())
            return usageError(
                QStringLiteral("--ca-file: no PEM certificate in %1").arg(settings.caFile));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(certificates);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }

    if (!prepareSettingsFile(settings.settingsFile)) {
        note(QStringLiteral("cannot create the settings file %1").arg(settings.settingsFile));
        return ExitFailure;
    }
    QSharedPointer<QSettings> store(new QSettings(settings.settingsFile, QSettings::IniFormat));
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Read and write non-ASCII text as Qt 6 does, so that either build reads what the other wrote.
    store->setIniCodec("UTF-8");
#endif
    if (store->status() != QSettings::NoError) {
        note(QStringLiteral("cannot read the settings file %1").arg(settings.settingsFile));
        return ExitFailure;
    }
    // The plug-in reads its server origins only from the store, when it starts.
    if (settings.oauthServer)
        store->setValue(QStringLiteral("oauthServer"), *settings.oauthServer);
    if (settings.apiServer)
        store->setValue(QStringLiteral("apiServer"), *settings.apiServer);
    store->sync();
    // Where the servers are is the host's configuration, not account state: a logout or a
    // refused grant empties the whole store, and the next run must not quietly fall back to
    // the default servers (with the user's password).
    const QStringList originKeys { QStringLiteral("oauthServer"), QStringLiteral("apiServer") };
    QVariantMap origins;
    for (const QString& key : originKeys) {
        if (store->contains(key))
            origins.insert(key, store->value(key));
    }

    QPluginLoader loader(settings.pluginFile);
    QObject* root = loader.instance();
    if (!root) {
        note(QStringLiteral("cannot load the plug-in: %1").arg(loader.errorString()));
        return ExitFailure;
    }
    auto* activator = qobject_cast<zel::core::PluginActivator*>(root);
    if (!activator) {
        note(QStringLiteral("%1 is no plug-in of this host").arg(settings.pluginFile));
        return ExitFailure;
    }
    auto context = QSharedPointer<HostContext>::create(store);
    activator->start(context);
    QObject* service = context->service("zel.network.OAuth2Client");
    auto* client = qobject_cast<network::OAuth2Client*>(service);
    if (!client) {
        note(QStringLiteral("the plug-in registered no account service"));
        delete root;
        return ExitFailure;
    }

    CommandRunner runner(client, client->object(), std::move(invocation));
    QObject::connect(&runner, &CommandRunner::finished, &app, &QCoreApplication::exit);
    runner.start();
    int exitCode = runner.isDone() ? runner.exitCode() : app.exec();
    runner.releaseReply();

    activator->stop();
    // The service and its running flows go with the activator; objects they released with
    // deleteLater are deleted before the plug-in's code is left behind.
    delete root;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    for (auto it = origins.cbegin(); it != origins.cend(); ++it) {
        if (!store->contains(it.key()))
            store->setValue(it.key(), it.value());
    }
    store->sync();
    if (store->status() != QSettings::NoError) {
        note(QStringLiteral("the settings could not be written to %1").arg(settings.settingsFile));
        if (exitCode == ExitSuccess)
            exitCode = ExitFailure;
    }
    return exitCode;
}
