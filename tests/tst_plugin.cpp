// The plug-in as a host sees it: loaded by QPluginLoader from the built module, with nothing of
// its code linked into this test.

#include "OAuth2Client.h"
#include "PluginActivator.h"
#include "TestLog.h"

#include <QFile>
#include <QPluginLoader>
#include <QPointer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <tuple>
#ifdef Q_OS_WIN
#include <windows.h>
#endif

using zel::core::PluginActivator;
using zel::network::ErrorKind;

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

    // The module's activator; null for a module that is no plug-in of this host.
    PluginActivator* activator() { return qobject_cast<PluginActivator*>(loader.instance()); }

    // Starts the activator; the service that it registered last (null: none, or no activator).
    QObject* start(const QSharedPointer<TestContext>& context)
    {
        if (PluginActivator* plugin = activator())
            plugin->start(context);
        return context->registered.isEmpty() ? nullptr : context->registered.last().second;
    }

private slots:
    void initTestCase()
    {
        zel::test::watchLog();
        loader.setFileName(path);
        QVERIFY2(loader.load(), qPrintable(loader.errorString()));
        QVERIFY2(activator(), qPrintable(path + " is no plug-in of this host"));
    }

    // start registers one service under both IDs, and only the service keeps the store; stop
    // releases nothing, and a host reaches the debug interface by a cast (what logging out does
    // is tst_tokenstore's). Each start makes a new service; deleting the activator deletes them.
    void serviceLife()
    {
        auto context = QSharedPointer<TestContext>::create();
        QPointer<QObject> service = start(context);
        QCOMPARE(context->registered,
            (QList<QPair<QByteArray, QObject*>>({ { "zel.network.OAuth2Client", service },
                { "zel.network.OAuth2DebugClient", service } })));
        activator()->stop();
        QCoreApplication::processEvents();
        QVERIFY(qobject_cast<network::internal::OAuth2DebugClient*>(service));

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
    // Qt 5 writes non-ASCII text as escapes, Qt 6 as UTF-8. A native store is an INI file on
    // Linux as well; on Windows it is the registry, where both keep text as REG_SZ (UTF-16).
    void storeOfEitherQtMajor_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QSettings::Format>("format");
        const QByteArray qt5("[General]\npendingActivation=j\\xfcrgen\\x20ac@example.com\n"),
            qt6("[General]\npendingActivation=j\xc3\xbcrgen\xe2\x82\xac@example.com\n");
        for (const auto format : { QSettings::IniFormat, QSettings::NativeFormat }) {
#ifdef Q_OS_WIN
            if (format == QSettings::NativeFormat) {
                QTest::addRow("either Qt, registry: REG_SZ") << QByteArray() << format;
                continue;
            }
#endif
            const char* name = format == QSettings::IniFormat ? "INI" : "native";
            QTest::addRow("Qt 5, %s: escapes", name) << qt5 << format;
            QTest::addRow("Qt 6, %s: UTF-8", name) << qt6 << format;
        }
    }
    void storeOfEitherQtMajor()
    {
        QFETCH(QByteArray, file);
        QFETCH(QSettings::Format, format);
        auto context = QSharedPointer<TestContext>::create();
        QString path = context->store->fileName();
        context->store.reset(); // read only once the file is written
#ifdef Q_OS_WIN
        // Written with the registry's own API, not through QSettings: as another program would.
        const std::wstring key
            = L"Software\\Zel\\tst_plugin\\" + QUuid::createUuid().toString().toStdWString();
        const auto removeKey = qScopeGuard([&] { RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str()); });
        if (format == QSettings::NativeFormat) {
            const std::wstring value = QString::fromUtf8("jürgen€@example.com").toStdWString();
            QCOMPARE(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"pendingActivation", REG_SZ,
                         value.c_str(), DWORD((value.size() + 1) * sizeof(wchar_t))),
                LONG(ERROR_SUCCESS));
            path = "HKEY_CURRENT_USER\\" + QString::fromStdWString(key);
        } else
#endif
        {
            QFile ini(path);
            QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write(file) == file.size());
        }
        context->store.reset(new QSettings(path, format));

        auto* client = qobject_cast<network::OAuth2Client*>(start(context));
        QVERIFY(client);
        QCOMPARE(client->loginState(), zel::network::PendingActivation);
        QCOMPARE(client->pendingActivationEmail(), QString::fromUtf8("jürgen€@example.com"));
        delete client->object();
    }

    // A host tells failures apart by kind without linking the plug-in: the service's signals
    // that carry one connect by signature, and a reply holds its kind in a property.
    void errorKindsReachHosts()
    {
        auto context = QSharedPointer<TestContext>::create();
        auto* client = qobject_cast<network::OAuth2Client*>(start(context));
        QVERIFY(client);
        QObject* service = client->object();
        for (const char* signal : { SIGNAL(loginFailed(zel::network::ErrorKind, QString)),
                 SIGNAL(credentialsFailed(zel::network::ErrorKind, QString)),
                 SIGNAL(manageAccountOnlineUrlError(zel::network::ErrorKind, QString)) })
            QVERIFY2(QSignalSpy(service, signal).isValid(), signal);
        QSignalSpy tokenFailed(
            service, SIGNAL(accessTokenFailed(zel::network::ErrorKind, QString)));
        // No login: the token fails; a path that is refused never asks for one.
        for (const auto& [path, code, kind] : { std::tuple { "/me", 204, ErrorKind::NotLoggedIn },
                 std::tuple { "me", 7, ErrorKind::RequestNotCreated } }) {
            const QPointer<QObject> reply = client->get(path);
            QCOMPARE(reply->property("errorKind").value<ErrorKind>(), ErrorKind::NoError);
            QSignalSpy error(reply, SIGNAL(error(QString, int)));
            QVERIFY(error.wait());
            QCOMPARE(error.at(0).at(1).toInt(), code);
            QVERIFY(reply); // its deletion waits for the event loop
            QCOMPARE(reply->property("errorKind").value<ErrorKind>(), kind);
        }
        QCOMPARE(tokenFailed.size(), 1);
        QCOMPARE(tokenFailed.at(0).at(0).value<ErrorKind>(), ErrorKind::NotLoggedIn);
        delete service;
    }
};

QTEST_GUILESS_MAIN(tst_plugin)
#include "tst_plugin.moc"
