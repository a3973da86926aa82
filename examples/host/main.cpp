// A complete host of the account plug-in, built against the installed package only: it loads
// the plug-in, starts it, logs in, makes signed API calls and handles their results and errors.
//   zel-host SETTINGS_FILE OAUTH_ORIGIN API_ORIGIN EMAIL [PLUGIN_FILE]   (password on stdin)

#include <zel/OAuth2Client.h>
#include <zel/PluginActivator.h>

#include <QCoreApplication>
#include <QHash>
#include <QJsonDocument>
#include <QPluginLoader>
#include <QPointer>
#include <QSettings>
#include <QTextStream>
#include <QTimer>

// What the plug-in gets from its host when it starts: a place to publish its services, and the
// settings store in which it keeps the device's credentials and the login.
class Context : public zel::core::PluginContext {
public:
    explicit Context(QSharedPointer<QSettings> store)
        : store(std::move(store))
    {
    }
    void registerService(const char* iid, QObject* service) override
    {
        services.insert(iid, service);
    }
    QSharedPointer<QSettings> settings(int) override { return store; }

    QHash<QByteArray, QObject*> services;

private:
    QSharedPointer<QSettings> store;
};

// Logs in, then makes the API calls one after another and prints how each ended.
class Host : public QObject {
    Q_OBJECT

public:
    explicit Host(network::OAuth2Client* client)
        : client(client)
    {
        // The service's signals are reached through object(), by signature.
        connect(client->object(), SIGNAL(loggedIn()), this, SLOT(onLoggedIn()));
        connect(client->object(), SIGNAL(loginError(QString)), this, SLOT(onLoginError(QString)));
    }
    void login(const QString& email, const QString& password) { client->login(email, password); }

private slots:
    void onLoginError(const QString& message)
    {
        out << "login failed: " << message << Qt::endl;
        QCoreApplication::exit(1);
    }
    void onLoggedIn()
    {
        out << "logged in" << Qt::endl;
        next();
    }

    // An API call's outcome: the decoded JSON answer, or an error with a message and a code
    // (an HTTP status, or a QNetworkReply::NetworkError). Either way the host is done with the
    // reply and releases it; after some errors the reply has already released itself, which
    // the QPointer tells.
    void onFinished(const QJsonDocument& json)
    {
        out << label << ": " << json.toJson(QJsonDocument::Compact) << Qt::endl;
        release();
    }
    void onError(const QString& message, int code)
    {
        out << label << ": error " << code << ": " << message << Qt::endl;
        release();
    }

private:
    void next()
    {
        switch (step++) {
        case 0:
            call(QStringLiteral("GET /me"), client->get(QStringLiteral("/me")));
            break;
        case 1:
            call(QStringLiteral("POST /notes"),
                client->post(QStringLiteral("/notes"), R"({"text": "Hello from the host"})"));
            break;
        case 2:
            call(QStringLiteral("GET /no-such-resource"),
                client->get(QStringLiteral("/no-such-resource")));
            break;
        default:
            QCoreApplication::exit(0);
        }
    }

    void call(const QString& what, zel::network::AuthenticatedReply* reply)
    {
        label = what;
        pending = reply;
        // By signature: the reply's class is defined in the plug-in, which the host never links.
        connect(reply, SIGNAL(finished(QJsonDocument)), this, SLOT(onFinished(QJsonDocument)));
        connect(reply, SIGNAL(error(QString, int)), this, SLOT(onError(QString, int)));
    }

    void release()
    {
        if (pending)
            pending->deleteLater();
        next();
    }

    network::OAuth2Client* client;
    QPointer<QObject> pending;
    QString label;
    int step = 0;
    QTextStream out { stdout };
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        qCritical("usage: zel-host SETTINGS_FILE OAUTH_ORIGIN API_ORIGIN EMAIL [PLUGIN_FILE]");
        return 2;
    }

    // Load the plug-in: a Qt plug-in loads only into a host of its own Qt major version.
    QPluginLoader loader(args.value(5, QStringLiteral(ZEL_PLUGIN_FILE)));
    QObject* root = loader.instance();
    auto* activator = qobject_cast<zel::core::PluginActivator*>(root);
    if (!activator) {
        qCritical().noquote() << "cannot load the plug-in:" << loader.errorString();
        return 1;
    }

    // Start it with the host's settings store, which names the servers, and find the service.
    auto store = QSharedPointer<QSettings>::create(args.at(1), QSettings::IniFormat);
    store->setValue(QStringLiteral("oauthServer"), args.at(2));
    store->setValue(QStringLiteral("apiServer"), args.at(3));
    auto context = QSharedPointer<Context>::create(store);
    activator->start(context);
    auto* client
        = qobject_cast<network::OAuth2Client*>(context->services.value("zel.network.OAuth2Client"));
    if (!client) {
        qCritical("the plug-in registered no account service");
        return 1;
    }

    int exitCode = 1;
    {
        Host host(client);
        host.login(args.at(4), QTextStream(stdin).readLine());
        QTimer::singleShot(60000, &app, [] {
            qCritical("no answer within a minute");
            QCoreApplication::exit(1);
        });
        exitCode = app.exec();
    }

    // The activator owns the service; objects released with deleteLater go before the plug-in.
    activator->stop();
    delete root;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return exitCode;
}

#include "main.moc"
