// The plug-in as a host sees it: loaded by QPluginLoader from the built module, with nothing of
// its code linked into this test.

#include "OAuth2Client.h"
#include "PluginActivator.h"
#include "ScriptedHttpServer.h"
#include "TestLog.h"

#include <QFile>
#include <QJsonObject>
#include <QPluginLoader>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

using zel::core::PluginActivator;

QTemporaryDir dir;

// The host's context: records what the plug-in registers and hands out one settings store.
struct TestContext : zel::core::PluginContext {
    QSharedPointer<QSettings> store { new QSettings(
        dir.filePath(QUuid::createUuid().toString()), QSettings::IniFormat) };
    QList<QPair<QByteArray, QObject*>> registered;

    void registerService(const char* iid, QObject* s) override { registered.append({ iid, s }); }
    QSharedPointer<QSettings> settings(int) override { return store; }
};

class tst_plugin : public QObject {
    Q_OBJECT

    const QString path = qEnvironmentVariable("ZEL_PLUGIN_FILE");
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
        zel::test::watchLog();
        loader.setFileName(path);
        QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    }

    // Casts by the interface names and IIDs that hosts ask for, of the activator and of the
    // service (moc builds the answers from how the interfaces are spelled in the class heads).
    void casts_data()
    {
        QTest::addColumn<bool>("service");
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<bool>("debugInterface"); // the service's second interface
        QTest::addRow("activator name")
            << false << QByteArray("zel::core::PluginActivator") << false;
        QTest::addRow("activator IID") << false << QByteArray("zel.core.PluginActivator") << false;
        QTest::addRow("client name") << true << QByteArray("network::OAuth2Client") << false;
        QTest::addRow("client IID") << true << QByteArray("zel.network.OAuth2Client") << false;
        QTest::addRow("debug name")
            << true << QByteArray("network::internal::OAuth2DebugClient") << true;
        QTest::addRow("debug IID") << true << QByteArray("zel.network.OAuth2DebugClient") << true;
    }
    void casts()
    {
        QFETCH(bool, service);
        QFETCH(QByteArray, name);
        QFETCH(bool, debugInterface);
        QObject* object
            = service ? start(QSharedPointer<TestContext>::create()) : loader.instance();
        void* expected = !service ? static_cast<void*>(qobject_cast<PluginActivator*>(object))
            : debugInterface
            ? static_cast<void*>(qobject_cast<network::internal::OAuth2DebugClient*>(object))
            : static_cast<void*>(qobject_cast<network::OAuth2Client*>(object));
        QVERIFY(expected);
        QCOMPARE(object->qt_metacast(name.constData()), expected);
    }

    // start registers one service under both IDs, owned by the activator, which keeps no copy
    // of the store; stop releases nothing, and the debug interface reaches it. Each start makes
    // a new service, and deleting the activator deletes them.
    void serviceLife()
    {
        auto context = QSharedPointer<TestContext>::create();
        QPointer<QObject> service = start(context);
        QCOMPARE(context->registered,
            (QList<QPair<QByteArray, QObject*>>({ { "zel.network.OAuth2Client", service },
                { "zel.network.OAuth2DebugClient", service } })));
        QCOMPARE(service->parent(), loader.instance());
        qobject_cast<PluginActivator*>(loader.instance())->stop();
        QCoreApplication::processEvents();

        QCOMPARE(qobject_cast<network::OAuth2Client*>(service)->object(), service.data());
        context->store->setValue(
            "client_id", "someone"); // all that logging out does: tst_tokenstore
        qobject_cast<network::internal::OAuth2DebugClient*>(service)->logout();
        QVERIFY(context->store->allKeys().isEmpty());

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
    void redirectIsNotFollowed()
    {
        // 307 keeps the method and the body: the one a client would most readily follow.
        zel::test::ScriptedHttpServer server([](const zel::test::HttpRequest& request) {
            if (request.target != "/oauth/credentials")
                return zel::test::HttpResponse::json(QJsonObject { { "client_id", "x" } }, 201);
            return zel::test::HttpResponse::make(307, "text/plain", "moved")
                .withHeader("Location", "/elsewhere/oauth/credentials");
        });
        QVERIFY(server.isListening());
        auto context = QSharedPointer<TestContext>::create();
        context->store->setValue("oauthServer", server.origin());
        auto* client = qobject_cast<network::OAuth2Client*>(start(context));
        QVERIFY(client);
        QSignalSpy failed(client->object(), SIGNAL(credentialsFailure(QString)));
        zel::test::expectWarning(QRegularExpression("^Device registration failed"));
        client->login("ann@example.com", "secret");
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(server.requests().size(), 1);
        QVERIFY(client->clientId().isEmpty());
        delete client->object();
    }
};

QTEST_GUILESS_MAIN(tst_plugin)
#include "tst_plugin.moc"
