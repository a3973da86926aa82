// The plug-in as a host sees it: loaded by QPluginLoader from the built module, with nothing of
// its code linked into this test.

#include "OAuth2Client.h"
#include "PluginActivator.h"

#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

class TestContext : public zel::core::PluginContext {
public:
    explicit TestContext(const QString& settingsFile)
        : store(new QSettings(settingsFile, QSettings::IniFormat))
    {
    }
    void registerService(const char* iid, QObject* service) override
    {
        registered.append({ QByteArray(iid), service });
    }
    QSharedPointer<QSettings> settings(int id) override
    {
        settingsIds.append(id);
        return store;
    }

    QSharedPointer<QSettings> store;
    QList<QPair<QByteArray, QObject*>> registered;
    QList<int> settingsIds;
};

QString pluginPath()
{
    return qEnvironmentVariable("ZEL_BINARY_DIR") + QStringLiteral("/plugins/zel.network.oauth.so");
}

} // namespace

class tst_Plugin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void loginStateRegisteredAtLoad();
    void metaData();
    void instanceIsProcessWideAndRecreated();
    void activatorCasts_data();
    void activatorCasts();
    void startRegistersOneServiceTwice();
    void serviceCasts_data();
    void serviceCasts();
    void stopReleasesNothing();
    void deletingActivatorDeletesService();
    void secondStartCreatesIndependentService();
    void logoutThroughDebugInterface();

private:
    QObject* startedService(TestContext& context);

    QPluginLoader loader;
    QTemporaryDir dir;
};

void tst_Plugin::initTestCase()
{
    // Nothing in this binary has registered the type yet; the library must do it when loaded.
    QCOMPARE(QMetaType::type("zel::network::LoginState"), 0);
    loader.setFileName(pluginPath());
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    QVERIFY(dir.isValid());
}

void tst_Plugin::loginStateRegisteredAtLoad()
{
    const int id = QMetaType::type("zel::network::LoginState");
    QVERIFY(id != 0);
    QVERIFY(QMetaType::typeFlags(id) & QMetaType::IsEnumeration);
    QCOMPARE(QMetaType::sizeOf(id), 4);
    const QVariant value = QVariant::fromValue(zel::network::PendingActivation);
    QCOMPARE(value.userType(), id);
    QCOMPARE(value.value<zel::network::LoginState>(), zel::network::PendingActivation);
    QCOMPARE(int(zel::network::LoggedOut), 0);
    QCOMPARE(int(zel::network::LoggedIn), 1);
    QCOMPARE(int(zel::network::PendingActivation), 2);
}

void tst_Plugin::metaData()
{
    const QJsonObject data = loader.metaData();
    QStringList keys = data.keys();
    keys.sort();
    QCOMPARE(keys, QStringList({ "IID", "MetaData", "className", "debug", "version" }));
    QCOMPARE(data.value("IID").toString(), QStringLiteral("zel.network.oauth"));
    QCOMPARE(data.value("className").toString(), QStringLiteral("Activator"));
    QCOMPARE(data.value("version").toInt(), int(QT_VERSION));
    QCOMPARE(data.value("debug").toBool(), false);
    QVERIFY(data.value("MetaData").isObject());
    QVERIFY(data.value("MetaData").toObject().isEmpty());
}

void tst_Plugin::instanceIsProcessWideAndRecreated()
{
    QLibrary library(pluginPath());
    auto instance = reinterpret_cast<QObject* (*)()>(library.resolve("qt_plugin_instance"));
    QVERIFY(instance);
    QVERIFY(library.resolve("qt_plugin_query_metadata"));

    QObject* first = instance();
    QVERIFY(first);
    QCOMPARE(instance(), first);
    QCOMPARE(loader.instance(), first);
    QVERIFY(!first->parent());

    QPointer<QObject> guard(first);
    delete first;
    QVERIFY(guard.isNull());
    QObject* second = instance();
    QVERIFY(second);
    QCOMPARE(QByteArray(second->metaObject()->className()), QByteArrayLiteral("Activator"));
    QCOMPARE(instance(), second);
}

void tst_Plugin::activatorCasts_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("expected"); // 0 null, 1 the object, 2 the activator interface
    QTest::addRow("class name") << QByteArray("Activator") << 1;
    QTest::addRow("interface name") << QByteArray("zel::core::PluginActivator") << 2;
    QTest::addRow("interface IID") << QByteArray("zel.core.PluginActivator") << 2;
    QTest::addRow("QObject") << QByteArray("QObject") << 1;
    QTest::addRow("unknown") << QByteArray("zel.network.OAuth2Client") << 0;
}

void tst_Plugin::activatorCasts()
{
    QFETCH(QByteArray, name);
    QFETCH(int, expected);
    QObject* root = loader.instance();
    auto* activator = qobject_cast<zel::core::PluginActivator*>(root);
    QVERIFY(activator);
    void* cast = root->qt_metacast(name.constData());
    void* want = expected == 0 ? nullptr
        : expected == 1      ? static_cast<void*>(root)
                             : static_cast<void*>(activator);
    QCOMPARE(cast, want);
    QCOMPARE(root->qt_metacast(nullptr), nullptr);
}

QObject* tst_Plugin::startedService(TestContext& context)
{
    auto* activator = qobject_cast<zel::core::PluginActivator*>(loader.instance());
    QSharedPointer<zel::core::PluginContext> shared(&context, [](zel::core::PluginContext*) { });
    activator->start(shared);
    return context.registered.isEmpty() ? nullptr : context.registered.last().second;
}

void tst_Plugin::startRegistersOneServiceTwice()
{
    TestContext context(dir.filePath("start.ini"));
    QObject* service = startedService(context);
    QVERIFY(service);
    QCOMPARE(context.settingsIds, QList<int>({ 0 }));
    QCOMPARE(context.registered.size(), 2);
    QCOMPARE(context.registered[0].first, QByteArrayLiteral("zel.network.OAuth2Client"));
    QCOMPARE(context.registered[1].first, QByteArrayLiteral("zel.network.OAuth2DebugClient"));
    QCOMPARE(context.registered[0].second, context.registered[1].second);
    QCOMPARE(service->parent(), loader.instance());
    QCOMPARE(QByteArray(service->metaObject()->className()), QByteArrayLiteral("zel::OAuth2ClientImpl"));
    // The service shares the store with the host; the activator keeps no copy of it.
    QWeakPointer<QSettings> weak = context.store;
    context.store.reset();
    QVERIFY(!weak.isNull());
    delete service;
    QVERIFY(weak.isNull());
}

void tst_Plugin::serviceCasts_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("expected"); // 0 null, 1 the object, 2 client part, 3 debug part
    QTest::addRow("implementation") << QByteArray("zel::OAuth2ClientImpl") << 1;
    QTest::addRow("client name") << QByteArray("network::OAuth2Client") << 2;
    QTest::addRow("debug name") << QByteArray("network::internal::OAuth2DebugClient") << 3;
    QTest::addRow("client IID") << QByteArray("zel.network.OAuth2Client") << 2;
    QTest::addRow("debug IID") << QByteArray("zel.network.OAuth2DebugClient") << 3;
    QTest::addRow("token core") << QByteArray("AbstractOAuth2Client") << 1;
    QTest::addRow("QObject") << QByteArray("QObject") << 1;
    QTest::addRow("unknown") << QByteArray("zel.core.PluginActivator") << 0;
}

void tst_Plugin::serviceCasts()
{
    QFETCH(QByteArray, name);
    QFETCH(int, expected);
    TestContext context(dir.filePath("casts.ini"));
    QObject* service = startedService(context);
    auto* client = qobject_cast<network::OAuth2Client*>(service);
    auto* debug = qobject_cast<network::internal::OAuth2DebugClient*>(service);
    QVERIFY(client && debug);
    QVERIFY(static_cast<void*>(client) != static_cast<void*>(debug));
    void* want = expected == 0 ? nullptr
        : expected == 1      ? static_cast<void*>(service)
        : expected == 2      ? static_cast<void*>(client)
                             : static_cast<void*>(debug);
    QCOMPARE(service->qt_metacast(name.constData()), want);
    QCOMPARE(client->object(), service);
    delete service;
}

void tst_Plugin::stopReleasesNothing()
{
    TestContext context(dir.filePath("stop.ini"));
    QPointer<QObject> service = startedService(context);
    qobject_cast<zel::core::PluginActivator*>(loader.instance())->stop();
    QCoreApplication::processEvents();
    QVERIFY(!service.isNull());
    auto* client = qobject_cast<network::OAuth2Client*>(service);
    QCOMPARE(client->loginState(), zel::network::LoggedOut);
    QVERIFY(!client->isLoggedIn());
    QVERIFY(client->clientId().isEmpty());
    delete service.data();
}

void tst_Plugin::deletingActivatorDeletesService()
{
    TestContext context(dir.filePath("delete.ini"));
    QPointer<QObject> service = startedService(context);
    QVERIFY(!service.isNull());
    delete loader.instance();
    QVERIFY(service.isNull());
    QVERIFY(loader.instance()); // a new activator for the next tests
}

void tst_Plugin::secondStartCreatesIndependentService()
{
    TestContext context(dir.filePath("twice.ini"));
    QObject* first = startedService(context);
    QObject* second = startedService(context);
    QVERIFY(first && second && first != second);
    QCOMPARE(context.registered.size(), 4);
    QCOMPARE(second->parent(), first->parent());
    delete first;
    delete second;
}

void tst_Plugin::logoutThroughDebugInterface()
{
    TestContext context(dir.filePath("logout.ini"));
    context.store->setValue("client_id", "someone");
    context.store->setValue("apiServer", "http://127.0.0.1:1");
    QObject* service = startedService(context);
    QSignalSpy states(service, SIGNAL(loginStateChanged(zel::network::LoginState)));
    QSignalSpy loggedOut(service, SIGNAL(loggedOut()));
    QVERIFY(states.isValid() && loggedOut.isValid());
    qobject_cast<network::internal::OAuth2DebugClient*>(service)->logout();
    QVERIFY(QMetaObject::invokeMethod(service, "logout"));
    QCOMPARE(states.count(), 2);
    QCOMPARE(states.at(1).at(0).value<zel::network::LoginState>(), zel::network::LoggedOut);
    QCOMPARE(loggedOut.count(), 2);
    QVERIFY(context.store->allKeys().isEmpty());
    delete service;
}

QTEST_GUILESS_MAIN(tst_Plugin)
#include "tst_plugin.moc"
