// The plug-in as a host sees it: loaded by QPluginLoader from the built module, with nothing of
// its code linked into this test.

#include "OAuth2Client.h"
#include "PluginActivator.h"
#include "ScriptedHttpServer.h"

#include <QFile>
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using zel::core::PluginActivator;
using zel::network::LoginState;

QTemporaryDir dir;

// The id of a registered type by its name; 0 when none is registered.
int typeIdOf(const char* name)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QMetaType::fromName(name).id();
#else
    return QMetaType::type(name);
#endif
}

// What the loader adds to the record from its header, and the function that returns the record.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
const char* const loaderArchKey = "archlevel";
const char* const metaDataFunction = "qt_plugin_query_metadata_v2";
#else
const char* const loaderArchKey = "archreq";
const char* const metaDataFunction = "qt_plugin_query_metadata";
#endif

// The host's context: records what the plug-in registers and hands out one settings store.
struct TestContext : zel::core::PluginContext {
    QSharedPointer<QSettings> store { new QSettings(
        dir.filePath(QUuid::createUuid().toString()), QSettings::IniFormat) };
    QList<QPair<QByteArray, QObject*>> registered;
    QList<int> settingsIds;

    void registerService(const char* iid, QObject* s) override { registered.append({ iid, s }); }
    QSharedPointer<QSettings> settings(int id) override
    {
        settingsIds.append(id);
        return store;
    }
};

class tst_Plugin : public QObject {
    Q_OBJECT

    const QString path = qEnvironmentVariable("ZEL_BINARY_DIR") + "/plugins/zel.network.oauth.so";
    QPluginLoader loader;

    // Starts the activator; the service that it registered last.
    QObject* start(const QSharedPointer<TestContext>& context)
    {
        qobject_cast<PluginActivator*>(loader.instance())->start(context);
        return context->registered.isEmpty() ? nullptr : context->registered.last().second;
    }

private slots:
    void initTestCase()
    {
        // Nothing in this binary has registered the type; the library must do it when loaded.
        QCOMPARE(typeIdOf("zel::network::LoginState"), 0);
        loader.setFileName(path);
        QVERIFY2(loader.load(), qPrintable(loader.errorString()));
        const int id = typeIdOf("zel::network::LoginState");
        QVERIFY(id != 0 && QVariant::fromValue(zel::network::PendingActivation).userType() == id);
    }

    // The record is CBOR: the loader adds the architecture key from the record's header, which
    // holds the Qt version as major and minor only, and an empty "MetaData" is left out.
    void metaData()
    {
        QJsonObject data = loader.metaData();
        QVERIFY(data.take(loaderArchKey).isDouble());
        QVERIFY(data.take("MetaData").toObject().isEmpty());
        QCOMPARE(data,
            QJsonObject({ { "IID", "zel.network.oauth" }, { "className", "Activator" },
                { "version", QT_VERSION & 0xffff00 }, { "debug", false } }));
    }

    void instanceIsProcessWideAndRecreated()
    {
        QLibrary library(path);
        auto instance = reinterpret_cast<QObject* (*)()>(library.resolve("qt_plugin_instance"));
        QVERIFY(instance && library.resolve(metaDataFunction));
        QPointer<QObject> first = instance();
        QVERIFY(first && !first->parent() && instance() == first && loader.instance() == first);
        delete first.data();
        QObject* second = instance();
        QVERIFY(first.isNull() && second && instance() == second);
        QCOMPARE(second->metaObject()->className(), "Activator");
    }

    // Casts by name and by IID, as hosts ask for them, of the activator and of the service.
    void casts_data()
    {
        QTest::addColumn<bool>("service");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("expected"); // 0 null, 1 the object, 2 first interface, 3 second
        QTest::addRow("activator class") << false << QByteArray("Activator") << 1;
        QTest::addRow("activator name") << false << QByteArray("zel::core::PluginActivator") << 2;
        QTest::addRow("activator IID") << false << QByteArray("zel.core.PluginActivator") << 2;
        QTest::addRow("activator unknown") << false << QByteArray("zel.network.OAuth2Client") << 0;
        QTest::addRow("service class") << true << QByteArray("zel::OAuth2ClientImpl") << 1;
        QTest::addRow("client name") << true << QByteArray("network::OAuth2Client") << 2;
        QTest::addRow("client IID") << true << QByteArray("zel.network.OAuth2Client") << 2;
        QTest::addRow("debug name")
            << true << QByteArray("network::internal::OAuth2DebugClient") << 3;
        QTest::addRow("debug IID") << true << QByteArray("zel.network.OAuth2DebugClient") << 3;
        QTest::addRow("service unknown") << true << QByteArray("zel.core.PluginActivator") << 0;
    }
    void casts()
    {
        QFETCH(bool, service);
        QFETCH(QByteArray, name);
        QFETCH(int, expected);
        QObject* object
            = service ? start(QSharedPointer<TestContext>::create()) : loader.instance();
        const QList<void*> parts = service
            ? QList<void*>({ qobject_cast<network::OAuth2Client*>(object),
                qobject_cast<network::internal::OAuth2DebugClient*>(object) })
            : QList<void*>({ qobject_cast<PluginActivator*>(object), nullptr });
        QVERIFY(parts.at(0) && parts.at(0) != parts.at(1) && !object->qt_metacast(nullptr));
        QCOMPARE(object->qt_metacast(name.constData()),
            QList<void*>({ nullptr, object, parts.at(0), parts.at(1) }).at(expected));
    }

    // start registers one service under both IDs, owned by the activator, which keeps no copy
    // of the store; stop releases nothing, and the debug interface logs out. Each start makes
    // a new service, and deleting the activator deletes them.
    void serviceLife()
    {
        auto context = QSharedPointer<TestContext>::create();
        QPointer<QObject> service = start(context);
        QCOMPARE(context->settingsIds, QList<int>({ 0 }));
        QCOMPARE(context->registered,
            (QList<QPair<QByteArray, QObject*>>({ { "zel.network.OAuth2Client", service },
                { "zel.network.OAuth2DebugClient", service } })));
        QCOMPARE(service->parent(), loader.instance());
        qobject_cast<PluginActivator*>(loader.instance())->stop();
        QCoreApplication::processEvents();

        auto* client = qobject_cast<network::OAuth2Client*>(service);
        QVERIFY(client && client->object() == service && !client->isLoggedIn());
        QSignalSpy states(service, SIGNAL(loginStateChanged(zel::network::LoginState)));
        QSignalSpy loggedOut(service, SIGNAL(loggedOut()));
        context->store->setValue("client_id", "someone");
        qobject_cast<network::internal::OAuth2DebugClient*>(service)->logout();
        QVERIFY(QMetaObject::invokeMethod(service, "logout")); // the same code by name
        QCOMPARE(states.value(1).value(0).value<LoginState>(), zel::network::LoggedOut);
        QVERIFY(
            states.count() == 2 && loggedOut.count() == 2 && context->store->allKeys().isEmpty());

        QWeakPointer<QSettings> store = context->store;
        context->store.reset();
        QVERIFY(!store.isNull());
        delete service.data();
        QVERIFY(store.isNull());

        context->store = TestContext().store;
        service = start(context);
        QVERIFY(service && context->registered.size() == 4);
        delete loader.instance();
        QVERIFY(service.isNull());
        QVERIFY(loader.instance()); // a new activator for the next tests
    }

    // A store either Qt major wrote reads the same in both builds, whatever codec the host set:
    // Qt 5 writes non-ASCII text as escapes, Qt 6 as UTF-8.
    void storeOfEitherQtMajor_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addRow("Qt 5: escapes")
            << QByteArray("[General]\npendingActivation=j\\xfcrgen\\x20ac@example.com\n");
        QTest::addRow("Qt 6: UTF-8")
            << QByteArray("[General]\npendingActivation=j\xc3\xbcrgen\xe2\x82\xac@example.com\n");
    }
    void storeOfEitherQtMajor()
    {
        QFETCH(QByteArray, file);
        auto context = QSharedPointer<TestContext>::create();
        const QString path = context->store->fileName();
        context->store.reset();
        QFile ini(path);
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(file) == file.size());
        ini.close();
        context->store.reset(new QSettings(path, QSettings::IniFormat));

        auto* client = qobject_cast<network::OAuth2Client*>(start(context));
        QVERIFY(client);
        QCOMPARE(client->loginState(), zel::network::PendingActivation);
        QCOMPARE(client->pendingActivationEmail(), QString::fromUtf8("jürgen€@example.com"));
        delete client->object();

        // Rewritten by this build, it reads the same in the next session.
        context->store->setValue("apiServer", QString::fromUtf8("https://ä.example"));
        context->store.reset(new QSettings(path, QSettings::IniFormat));
        client = qobject_cast<network::OAuth2Client*>(start(context));
        QCOMPARE(client->pendingActivationEmail(), QString::fromUtf8("jürgen€@example.com"));
        QCOMPARE(client->object()->property("apiServer").toString(),
            QString::fromUtf8("https://ä.example"));
        delete client->object();
    }

    // A redirect is an answer, never followed (Qt 6 would follow one to the same origin by
    // default): the device registration is refused and nothing reaches the redirect target.
    void redirectsAreNotFollowed_data()
    {
        QTest::addColumn<int>("status");
        QTest::addRow("302") << 302;
        QTest::addRow("307") << 307;
        QTest::addRow("308") << 308;
    }
    void redirectsAreNotFollowed()
    {
        QFETCH(int, status);
        zel::test::ScriptedHttpServer server([status](const zel::test::HttpRequest& request) {
            if (request.target != "/oauth/credentials")
                return zel::test::HttpResponse::json(QJsonObject { { "client_id", "x" } }, 201);
            return zel::test::HttpResponse::make(status, "text/plain", "moved")
                .withHeader("Location", "/elsewhere/oauth/credentials");
        });
        QVERIFY(server.isListening());
        auto context = QSharedPointer<TestContext>::create();
        context->store->setValue("oauthServer", server.origin());
        auto* client = qobject_cast<network::OAuth2Client*>(start(context));
        QVERIFY(client);
        QSignalSpy failed(client->object(), SIGNAL(credentialsFailure(QString)));
        client->login("ann@example.com", "secret");
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(client->clientId().isEmpty());
        delete client->object();
    }
};

QTEST_GUILESS_MAIN(tst_Plugin)
#include "tst_plugin.moc"
