// zel-account: the command-line host of the account plug-in. It loads the plug-in module the
// way the desktop host does (QPluginLoader, PluginActivator::start with a context of its own),
// runs one command against the registered account service and exits.

#include "Commands.h"
#include "HostContext.h"
#include "Messages.h"
#include "OAuth2Client.h"
#include "PluginActivator.h"
#include "SettingsKeys.h"
#include "Terminal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QPluginLoader>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <optional>

namespace {

// The usage text after the commands, which the command table gives.
const char optionsText[] = R"(
Options:
  --plugin FILE         the plug-in module (default: the environment variable ZEL_PLUGIN,
                        else ../plugins next to this program, else the installed one)
  --settings FILE       the settings file (default: <config dir>/zel/zel-account.ini; on
                        Windows the registry key HKEY_CURRENT_USER\Software\Zel\zel-account,
                        and a key under HKEY_CURRENT_USER\ is taken there too)
  --oauth-server URL    store this OAuth/web server origin in the settings
  --api-server URL      store this API server origin in the settings
  --ca-file PEM         trust the CA certificates in this PEM file as well; remembered in
                        the settings (--ca-file= forgets it)
  --password-stdin      login, register: read the password as one line from stdin
  --verbose             the plug-in's warnings and debug log on stderr (it never logs
                        secrets)
  --timeout SECONDS     give up waiting for the network after this long (default 60)
  --version             the version of zel-account
  --help                this text

Results are JSON on stdout (manage-url: the URL as text), messages go to stderr.
Exit status: 0 success, 1 the operation failed, 2 usage error. A failed registration
prints the server's field errors as a JSON object on stdout and exits with 1.
)";

// How the usage text writes what a command takes, and how many positional arguments it takes.
struct ArgumentShape {
    const char* synopsis;
    int minimum;
    int maximum;
};

ArgumentShape shapeOf(CommandArguments arguments)
{
    switch (arguments) {
    case CommandArguments::None:
        break;
    case CommandArguments::Email:
        return { "EMAIL", 1, 1 };
    case CommandArguments::Path:
        return { "PATH", 1, 1 };
    case CommandArguments::PathAndBody:
        return { "PATH [JSON]", 1, 2 };
    case CommandArguments::Registration:
        return { "--email E --first-name F --last-name L --country C [--newsletter]", 0, 0 };
    }
    return { "", 0, 0 };
}

QByteArray usageText()
{
    QByteArray text("Usage: zel-account [OPTIONS] COMMAND [ARGS]\n\nCommands:\n");
    const QByteArray indent(31, ' ');
    for (const Command& command : CommandRunner::commands()) {
        QByteArray line = "  " + QByteArray(command.name);
        if (const char* synopsis = shapeOf(command.arguments).synopsis; *synopsis)
            line += ' ' + QByteArray(synopsis);
        // A command too long for the column has its help on the next line.
        line = line.size() < indent.size() ? line.leftJustified(indent.size())
                                           : line + '\n' + indent;
        text += line + QByteArray(command.help).replace("\n", '\n' + indent) + '\n';
    }
    return text + optionsText;
}

using messages::note;

// The settings key of the remembered --ca-file; zel-account's own, in a group the plug-in
// never reads.
const QString caFileKey = QStringLiteral("zel-account/caFile");

int usageError(const QString& message)
{
    note(message);
    std::fputs("Try 'zel-account --help'.\n", stderr);
    return ExitUsage;
}

// Where the plug-in is looked for when neither --plugin nor ZEL_PLUGIN names it: the build
// tree, the installed layout next to this program, and Qt's own plug-in folder.
QStringList pluginCandidates()
{
#ifdef Q_OS_WIN
    const QString fileName = QStringLiteral("zel.network.oauth.dll");
#else
    const QString fileName = QStringLiteral("zel.network.oauth.so");
#endif
    const QString binDir = QCoreApplication::applicationDirPath();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString qtPlugins = QLibraryInfo::path(QLibraryInfo::PluginsPath);
#else
    const QString qtPlugins = QLibraryInfo::location(QLibraryInfo::PluginsPath);
#endif
    QStringList candidates {
        QDir::cleanPath(binDir + QStringLiteral("/../plugins/") + fileName),
        QDir::cleanPath(binDir + QStringLiteral("/" ZEL_PLUGIN_DIR_FROM_BIN "/") + fileName),
        QDir::cleanPath(qtPlugins + QStringLiteral("/zel/") + fileName),
    };
    candidates.removeDuplicates();
    return candidates;
}

QtMessageHandler defaultMessageHandler = nullptr;

// Qt's and the plug-in's log lines may quote server text: shown escaped like every message.
void escapingMessageHandler(
    QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (defaultMessageHandler)
        defaultMessageHandler(type, context, messages::escaped(message));
    else
        std::fputs((messages::escaped(message) + '\n').toUtf8().constData(), stderr);
}

// On Windows the settings live in the user's registry hive, as Windows programs keep theirs;
// a file named with --settings is an INI file there as well.
bool isRegistryKey(const QString& path)
{
#ifdef Q_OS_WIN
    return path.startsWith(QLatin1String("HKEY_CURRENT_USER\\"), Qt::CaseInsensitive);
#else
    Q_UNUSED(path)
    return false;
#endif
}

QString defaultSettingsPath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_CURRENT_USER\\Software\\Zel\\zel-account");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/zel/zel-account.ini");
#endif
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
    std::optional<QString> caFile; // when given on the command line; empty: forget it
    bool verbose = false;
    bool help = false; // --help or --version: nothing else is read
    bool version = false;
};

// Reads the command line into settings and an invocation; throws nothing, reports through
// the returned error text.
std::optional<QString> parseCommandLine(
    const QStringList& arguments, Settings& settings, Invocation& invocation)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Each option with the name of its value; a switch has none.
    static const std::pair<const char*, const char*> options[] = { { "plugin", "FILE" },
        { "settings", "FILE" }, { "oauth-server", "URL" }, { "api-server", "URL" },
        { "ca-file", "PEM" }, { "verbose", "" }, { "timeout", "SECONDS" }, { "password-stdin", "" },
        { "email", "E" }, { "first-name", "F" }, { "last-name", "L" }, { "country", "C" },
        { "newsletter", "" }, { "version", "" } };
    for (const auto& [name, valueName] : options) {
        parser.addOption(
            QCommandLineOption(QLatin1String(name), QString(), QLatin1String(valueName)));
    }
    parser.addOption(
        QCommandLineOption(QStringList { QStringLiteral("help"), QStringLiteral("h") }));
    const auto isSet = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    const auto value = [&parser](const char* name) { return parser.value(QLatin1String(name)); };

    if (!parser.parse(arguments))
        return parser.errorText();
    settings.help = isSet("help");
    settings.version = isSet("version");
    if (settings.help || settings.version)
        return std::nullopt;

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return QStringLiteral("no command given");
    invocation.command = positional.takeFirst();
    const QString& command = invocation.command;
    const Command* entry = CommandRunner::command(command);
    if (!entry)
        return QStringLiteral("unknown command '%1'").arg(command);
    const ArgumentShape shape = shapeOf(entry->arguments);
    if (positional.size() < shape.minimum)
        return QStringLiteral("%1: missing argument").arg(command);
    if (positional.size() > shape.maximum)
        return QStringLiteral("%1: unexpected argument '%2'")
            .arg(command, positional.value(shape.maximum));

    const bool isRegister = entry->arguments == CommandArguments::Registration;
    const bool takesPassword = isRegister || entry->arguments == CommandArguments::Email;
    for (const char* name : { "email", "first-name", "last-name", "country", "newsletter" }) {
        if (!isRegister && isSet(name))
            return QStringLiteral("--%1 applies only to register").arg(QLatin1String(name));
    }
    if (!takesPassword && isSet("password-stdin"))
        return QStringLiteral("--password-stdin applies only to login and register");

    settings.pluginFile = value("plugin");
    if (settings.pluginFile.isEmpty())
        settings.pluginFile = qEnvironmentVariable("ZEL_PLUGIN");
    settings.settingsFile = isSet("settings") ? value("settings") : defaultSettingsPath();
    if (settings.settingsFile.isEmpty())
        return QStringLiteral("--settings needs a file name");
    for (const auto& [name, target] : { std::pair { "oauth-server", &settings.oauthServer },
             std::pair { "api-server", &settings.apiServer } }) {
        if (!isSet(name))
            continue;
        *target = serverOrigin(value(name));
        if (!*target) {
            return QStringLiteral(
                "--%1 needs an http or https origin such as https://host:port, not '%2'")
                .arg(QString::fromLatin1(name), value(name));
        }
    }
    if (isSet("ca-file"))
        settings.caFile = value("ca-file");
    settings.verbose = isSet("verbose");
    if (isSet("timeout")) {
        bool ok = false;
        const double seconds = value("timeout").toDouble(&ok);
        if (!ok || !std::isfinite(seconds) || seconds <= 0)
            return QStringLiteral("--timeout needs a positive number of seconds");
        invocation.timeoutMs = int(std::min(seconds * 1000.0, 2147483647.0));
        invocation.timeoutMs = std::max(invocation.timeoutMs, 1);
    }

    switch (entry->arguments) {
    case CommandArguments::None:
        break;
    case CommandArguments::Email:
        invocation.email = positional.at(0);
        if (invocation.email.isEmpty())
            return QStringLiteral("%1: the e-mail address is empty").arg(command);
        break;
    case CommandArguments::Registration:
        for (const auto& [name, target] : { std::pair { "email", &invocation.email },
                 std::pair { "first-name", &invocation.firstName },
                 std::pair { "last-name", &invocation.lastName },
                 std::pair { "country", &invocation.country } }) {
            *target = value(name);
            if (target->isEmpty())
                return QStringLiteral("%1 needs --%2").arg(command, QString::fromLatin1(name));
        }
        invocation.newsletter = isSet("newsletter");
        break;
    case CommandArguments::Path:
    case CommandArguments::PathAndBody:
        invocation.path = positional.at(0);
        // The plug-in appends the path to the API origin as text and refuses it without the
        // slash; told here as a usage error, before anything starts.
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
        break;
    }
    if (takesPassword) {
        QString problem;
        std::optional<QString> password = readPassword(isSet("password-stdin"),
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

// The CA certificates of a PEM file; a problem is described in problem.
QList<QSslCertificate> caCertificates(const QString& path, QString& problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    const QList<QSslCertificate> certificates = QSslCertificate::fromDevice(&file, QSsl::Pem);
    if (certificates.isEmpty())
        problem = QStringLiteral("no PEM certificate in %1").arg(path);
    return certificates;
}

QString unreadableSettings(const QSettings& store)
{
    return store.status() == QSettings::FormatError
        ? QStringLiteral("the settings file %1 cannot be read: it is not in INI format")
              .arg(store.fileName())
        : QStringLiteral("the settings file %1 cannot be read").arg(store.fileName());
}

// Names the plug-in module when neither --plugin nor ZEL_PLUGIN did; false when there is none.
bool findPlugin(QString& pluginFile)
{
    if (!pluginFile.isEmpty())
        return true;
    const QStringList candidates = pluginCandidates();
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile()) {
            pluginFile = candidate;
            return true;
        }
    }
    note(QStringLiteral("cannot find the plug-in; looked for %1 (pass --plugin FILE or set "
                        "ZEL_PLUGIN)")
             .arg(candidates.join(QStringLiteral(", "))));
    return false;
}

// Opens the settings store, writes the server origins and CA file given on the command line to
// it and reads them back into the invocation; trusts the given or remembered CA certificates.
// Null after a problem it reported.
QSharedPointer<QSettings> openStore(
    const Settings& settings, Invocation& invocation, QList<QSslCertificate> certificates)
{
    const bool registry = isRegistryKey(settings.settingsFile);
    if (!registry && !prepareSettingsFile(settings.settingsFile)) {
        note(QStringLiteral("cannot create the settings file %1").arg(settings.settingsFile));
        return nullptr;
    }
    QSharedPointer<QSettings> store(new QSettings(
        settings.settingsFile, registry ? QSettings::NativeFormat : QSettings::IniFormat));
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Read and write non-ASCII text as Qt 6 does, so that either build reads what the other wrote.
    store->setIniCodec("UTF-8");
#endif
    if (store->status() != QSettings::NoError) {
        note(unreadableSettings(*store));
        return nullptr;
    }
    // The plug-in reads its server origins only from the store, when it starts.
    if (settings.oauthServer)
        store->setValue(zel::network::settings::oauthServer, *settings.oauthServer);
    if (settings.apiServer)
        store->setValue(zel::network::settings::apiServer, *settings.apiServer);
    if (settings.caFile && settings.caFile->isEmpty())
        store->remove(caFileKey);
    else if (settings.caFile)
        store->setValue(caFileKey, QFileInfo(*settings.caFile).absoluteFilePath());
    store->sync();
    invocation.oauthServer
        = store->value(
                   zel::network::settings::oauthServer, QStringLiteral(ZEL_DEFAULT_OAUTH_SERVER))
              .toString();
    invocation.apiServer
        = store->value(zel::network::settings::apiServer, QStringLiteral(ZEL_DEFAULT_API_SERVER))
              .toString();

    const QString rememberedCaFile = store->value(caFileKey).toString();
    if (!settings.caFile && !rememberedCaFile.isEmpty()) {
        QString problem;
        certificates = caCertificates(rememberedCaFile, problem);
        if (certificates.isEmpty()) {
            note(QStringLiteral("the CA file remembered in %1: %2 (pass --ca-file again, or "
                                "--ca-file= to forget it)")
                     .arg(settings.settingsFile, problem));
            return nullptr;
        }
    }
    if (!certificates.isEmpty()) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(certificates);
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    return store;
}

// Waits until the threads of Qt's network access managers are gone. A manager's destructor
// waits for its thread to finish, but the thread frees its OpenSSL state (random generators,
// error queue) after that, as it exits. Returning from main before then runs OpenSSL's exit
// handler in the middle of that clean-up: the state is lost or, worse, used after the handler
// freed what it relies on. The wait is bounded: a manager nobody deleted keeps its thread.
void waitForNetworkThreads()
{
#ifdef Q_OS_LINUX
    QElapsedTimer clock;
    clock.start();
    const QDir tasks(QStringLiteral("/proc/self/task"));
    while (clock.elapsed() < 3000) {
        bool running = false;
        for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile name(tasks.filePath(task + QStringLiteral("/comm")));
            // The thread's name, cut to 15 bytes by the system.
            if (name.open(QIODevice::ReadOnly) && name.readAll().startsWith("QNetworkAccessM"))
                running = true;
        }
        if (!running)
            return;
        QThread::msleep(1);
    }
#endif
}

int run(QCoreApplication& app)
{
    Settings settings;
    Invocation invocation;
    if (const auto problem = parseCommandLine(QCoreApplication::arguments(), settings, invocation))
        return usageError(*problem);
    if (settings.help || settings.version) {
        std::fputs(
            settings.help ? usageText().constData() : "zel-account " ZEL_VERSION "\n", stdout);
        return ExitSuccess;
    }

    // The plug-in's warnings are for whoever debugs it: only with --verbose, together with its
    // debug log.
    // QT_LOGGING_RULES still overrides both.
    QLoggingCategory::setFilterRules(settings.verbose
            ? QStringLiteral("zel.network.*.debug=true")
            : QStringLiteral("zel.network.*.debug=false\nzel.network.*.info=false\n"
                             "zel.network.*.warning=false"));
    defaultMessageHandler = qInstallMessageHandler(escapingMessageHandler);

    QList<QSslCertificate> certificates;
    if (settings.caFile && !settings.caFile->isEmpty()) {
        QString problem;
        certificates = caCertificates(*settings.caFile, problem);
        if (certificates.isEmpty())
            return usageError(QStringLiteral("--ca-file: %1").arg(problem));
    }

    if (!findPlugin(settings.pluginFile))
        return ExitFailure;
    const QSharedPointer<QSettings> store = openStore(settings, invocation, certificates);
    if (!store)
        return ExitFailure;

    // Where the servers are, and which CA vouches for them, is the host's configuration, not
    // account state: it must outlive a logout or a refused grant, or the next run would
    // quietly fall back to the default servers (with the user's password).
    const QStringList keptKeys { zel::network::settings::oauthServer,
        zel::network::settings::apiServer, caFileKey };
    QVariantMap kept;
    for (const QString& key : keptKeys) {
        if (store->contains(key))
            kept.insert(key, store->value(key));
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
    QObject* service = context->service(qobject_interface_iid<network::OAuth2Client*>());
    auto* client = qobject_cast<network::OAuth2Client*>(service);
    if (!client) {
        note(QStringLiteral("the plug-in registered no account service"));
        delete root;
        return ExitFailure;
    }

    int exitCode = ExitSuccess;
    {
        CommandRunner runner(client, client->object(), std::move(invocation));
        runner.setPluginRoot(root);
        QObject::connect(&runner, &CommandRunner::finished, &app, &QCoreApplication::exit);
        runner.start();
        exitCode = runner.isDone() ? runner.exitCode() : app.exec();
        runner.releaseReply();
    }

    activator->stop();
    // The service and its running flows go with the activator; objects they released with
    // deleteLater are deleted before the plug-in's code is left behind.
    delete root;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    waitForNetworkThreads();

    for (auto it = kept.cbegin(); it != kept.cend(); ++it) {
        if (!store->contains(it.key()))
            store->setValue(it.key(), it.value());
    }
    store->sync();
    if (store->status() == QSettings::FormatError) {
        note(unreadableSettings(*store));
        exitCode = ExitFailure;
    } else if (store->status() != QSettings::NoError) {
        note(QStringLiteral("the settings could not be written to %1").arg(settings.settingsFile));
        if (exitCode == ExitSuccess)
            exitCode = ExitFailure;
    }
    return exitCode;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zel-account"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZEL_VERSION));
    return run(app);
}
