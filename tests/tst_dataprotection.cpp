#include "TestLog.h"
#include "platform/DataProtectionTesting.h"
#include "platform/KeyStore_posix.h"

#include <QDateTime>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace zel::platform;

// What a refusal case does to the blob, the key or the binding before the blob is opened.
using Change = std::function<void(Bytes&)>;

Bytes bytesOf(const QByteArray& data) { return Bytes(data.begin(), data.end()); }
QByteArray qbytes(const Bytes& b) { return QByteArray::fromStdString({ b.begin(), b.end() }); }
QString keyDirectory, keyFile; // in the test's own data home, set by main()
// The keyring leg (tests/keyring/run.sh) runs this with a keyring of its own, unlocked with this
// password; without it, only the key file is tested.
const QByteArray keyringPassword = qgetenv("ZEL_TEST_KEYRING_PASSWORD");
const Bytes secret = bytesOf("refresh-token-0123456789-abcdefghij");
// Blob layout: magic (2), version (1), key id (8), nonce (12), ciphertext from 23, tag (16).

// A refusal gives no data and a reason that names the cause and quotes none of the data.
bool refused(const ProtectionResult& result, const std::string& reason)
{
    return !result.ok && result.data.empty() && result.error.find(reason) != std::string::npos
        && result.error.find("refresh-token") == std::string::npos;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// One row per key store there is to test, named after it: "file", and "keyring" in the leg.
void addStoreRows(const char* suffix = "")
{
    QTest::addColumn<QString>("store");
    for (const char* store : { "file", "keyring" }) {
        if (store[0] == 'f' || !keyringPassword.isEmpty())
            QTest::addRow("%s%s", store, suffix) << QString(store);
    }
}

void useStore(const QString& store)
{
    if (store == "file")
        qputenv("ZEL_KEY_STORE", "file");
    else
        qunsetenv("ZEL_KEY_STORE");
}

// The key as the store holds it, or empty.
QByteArray storedKey(const QString& store)
{
    if (store == "file")
        return QFile::exists(keyFile) ? contents(keyFile) : QByteArray();
    Key key;
    std::string error;
    const bool found = createSecretServiceKeyStore()->read(key, error) == KeyState::Found;
    return found ? QByteArray(reinterpret_cast<const char*>(key.bytes.data()), keySize) : "";
}

// Locks the keyring's default collection through the Secret Service API, or unlocks it.
void setKeyringLocked(bool locked)
{
    QProcess helper;
    helper.start(qEnvironmentVariable("ZEL_PYTHON", "/usr/bin/python3"),
        { qEnvironmentVariable("ZEL_SOURCE_DIR") + "/tests/keyring/keyring.py",
            locked ? "lock" : "unlock" });
    helper.write(keyringPassword);
    helper.closeWriteChannel();
    QVERIFY(helper.waitForFinished(20000));
    QVERIFY2(helper.exitCode() == 0, helper.readAllStandardError().constData());
}

Q_DECLARE_METATYPE(Change)

class tst_dataprotection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { zel::test::watchLog(); }
    void cleanupTestCase() { init(); } // the suites after this one get the keyring empty
    void init()
    {
        setBindingForTesting(std::nullopt, std::nullopt);
        QVERIFY(QDir(keyDirectory).removeRecursively());
        std::string error;
        if (!keyringPassword.isEmpty())
            QVERIFY2(createSecretServiceKeyStore()->remove(error), error.c_str());
    }

    void keyLife_data() { addStoreRows(); }
    void keyLife()
    {
        QFETCH(QString, store);
        useStore(store);
        // The shortest payload and a long one.
        for (const QByteArray& plain :
            { QByteArray(), QByteArray("0123456789\xff").repeated(1 << 18) }) {
            const ProtectionResult sealed = protectBytes(bytesOf(plain));
            const ProtectionResult again = protectBytes(bytesOf(plain));
            // The plain bytes do not show, and a fresh nonce makes every blob differ.
            QVERIFY2(sealed.ok && again.ok && again.data != sealed.data, sealed.error.c_str());
            QVERIFY(plain.isEmpty() || !qbytes(sealed.data).contains(plain.left(16)));
            // The key made by the first call also serves the second.
            for (const ProtectionResult* blob : { &sealed, &again })
                QCOMPARE(qbytes(unprotectBytes(blob->data).data), plain);
        }

        // The key is in the chosen store alone, and the status line names it.
        const QByteArray key = storedKey(store);
        QCOMPARE(key.size(), 32);
        QCOMPARE(QFile::exists(keyFile), store == "file");
        const QString where = QString::fromStdString(keyStoreDescription());
        QCOMPARE(where, store == "file" ? "file " + keyFile : store);
        QVERIFY(!where.toLatin1().contains(key.toHex()));

        // Opening never creates a key: a missing key or directory is reported and stays missing.
        const ProtectionResult old = protectBytes(secret);
        std::string error;
        QVERIFY(old.ok
            && (store == "file" ? QFile::remove(keyFile)
                                : createSecretServiceKeyStore()->remove(error)));
        QVERIFY(refused(unprotectBytes(old.data), "key") && storedKey(store).isEmpty());
        QVERIFY(QDir(keyDirectory).removeRecursively() && unprotectBytes({}).ok);
        QVERIFY(refused(unprotectBytes(old.data), "key") && !QFile::exists(keyDirectory));
        QCOMPARE(keyStoreDescription(), "none yet");
        // Sealing makes a new key, which does not open the old blob.
        const ProtectionResult fresh = protectBytes(secret), opened = unprotectBytes(old.data);
        QVERIFY2(refused(opened, "another key"), opened.error.c_str());
        QCOMPARE(unprotectBytes(fresh.data).data, secret);
    }

    void refusal_data()
    {
        QTest::addColumn<QString>("store");
        QTest::addColumn<Change>("change");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("repair"); // the command a refused key's message proposes
        // The blob's and the binding's rows for every store; those of the key file, which have
        // a repair to propose, for the file.
        const auto row = [](const char* name, const Change& change, const QString& error,
                             const QString& repair = QString()) {
            for (const char* store : { "file", "keyring" }) {
                if (store[0] == 'f' || (repair.isEmpty() && !keyringPassword.isEmpty()))
                    QTest::addRow("%s, %s", store, name)
                        << QString(store) << change << error << repair;
            }
        };
        const auto flip = [](std::size_t i) { return Change([=](Bytes& b) { b.at(i) ^= 1; }); };
        const auto chmod = [](const QString& path, mode_t mode) {
            return Change([=](Bytes&) { QVERIFY(!::chmod(QFile::encodeName(path), mode)); });
        };
        const auto chown = [](const QString& path) {
            return Change([=](Bytes&) { QVERIFY(!::chown(QFile::encodeName(path), 65534, -1)); });
        };
        const auto binding = [](std::optional<std::string> machine, std::optional<unsigned> uid) {
            return Change([=](Bytes&) { setBindingForTesting(machine, uid); });
        };
        const QString chmodKey = "chmod 600 '" + keyFile + "'";
        row("magic", flip(0), "unknown format");
        // Nonce, ciphertext and tag go through the one authentication; a blob of another key is
        // keyLife's.
        row("nonce", flip(22), "does not authenticate");
        row("short of an empty payload", Change([](Bytes& b) { b.resize(11 + 12 + 16 - 1); }),
            "truncated");
        row("other machine", binding("m2", std::nullopt), "another user or machine");
        row("other user", binding(std::nullopt, getuid() + 1), "another user or machine");
        row("key open to the group", chmod(keyFile, 0640), "group or others (mode 0640)", chmodKey);
        row("directory open to others", chmod(keyDirectory, 0701), "group or others",
            "chmod 700 '" + keyDirectory + "'");
        if (geteuid() == 0) { // only root can give a file to another user
            row("directory of another user", chown(keyDirectory), "not owned",
                "chown 0 '" + keyDirectory + "'");
            row("key of another user", chown(keyFile), "not owned",
                "chown 0 '" + keyFile + "' && " + chmodKey);
        }
    }

    void refusal()
    {
        QFETCH(QString, store);
        QFETCH(Change, change);
        QFETCH(QString, error);
        QFETCH(QString, repair);
        useStore(store);
        const ProtectionResult sealed = protectBytes(secret);
        const QByteArray key = storedKey(store);
        Bytes blob = sealed.data;
        change(blob);
        const ProtectionResult opened = unprotectBytes(blob);
        QVERIFY2(refused(opened, error.toStdString()), opened.error.c_str());
        // A refused key seals nothing either, and says how to repair it; the key is not replaced.
        const ProtectionResult again = protectBytes(secret);
        QCOMPARE(again.ok, repair.isEmpty());
        QVERIFY2(refused(again, repair.toStdString()) || again.ok, again.error.c_str());
        QCOMPARE(storedKey(store), key);
    }

    void corruptKey_data()
    {
        QTest::addColumn<int>("size");
        QTest::addRow("empty") << 0;
        QTest::addRow("too long") << 33;
    }

    void corruptKey()
    {
        QFETCH(int, size);
        const ProtectionResult old = protectBytes(secret);
        QFile file(keyFile);
        QVERIFY(old.ok && file.resize(size));
        const QByteArray corrupt = contents(keyFile);

        // Opening reports it and changes nothing.
        QVERIFY(refused(unprotectBytes(old.data), "is corrupt"));
        QCOMPARE(contents(keyFile), corrupt);
        // Sealing sets it aside under a new name, tells why, and still fails: the caller must
        // not store a value in place of one that the old key may have sealed.
        zel::test::expectWarning(QRegularExpression("corrupt.*set aside as"));
        const ProtectionResult failed = protectBytes(secret);
        QVERIFY2(refused(failed, "set aside as " + keyFile.toStdString() + ".corrupt-"),
            failed.error.c_str());
        const QStringList aside = QDir(keyDirectory).entryList({ "data-protection.key.corrupt-*" });
        QCOMPARE(aside.size(), 1);
        QCOMPARE(contents(keyDirectory + '/' + aside[0]), corrupt);
        // The next value gets a new key (which does not open the old blob: keyLife).
        QCOMPARE(unprotectBytes(protectBytes(secret).data).data, secret);
    }

    void concurrentKeyCreation_data() { addStoreRows(); }
    void concurrentKeyCreation()
    {
        QFETCH(QString, store);
        useStore(store);
        // Processes that start at the same moment without a key must all end up with one key.
        const QString startAt = QString::number(QDateTime::currentMSecsSinceEpoch() + 1500);
        QProcess children[12];
        for (QProcess& child : children)
            child.start(QCoreApplication::applicationFilePath(), { "--protect-at", startAt });
        int sealed = 0;
        for (QProcess& child : children) {
            QVERIFY(child.waitForFinished(60000));
            const QByteArray output = child.readAllStandardOutput();
            // On a loaded machine a keyring may miss the 5 s bound: that child fails, and says
            // so, but no child gets a key of its own.
            if (child.exitCode() != 0) {
                QVERIFY2(output.contains("within 5 s") || output.contains("in time"), output);
                continue;
            }
            ++sealed;
            QCOMPARE(unprotectBytes(bytesOf(QByteArray::fromBase64(output))).data, secret);
        }
        QVERIFY(sealed > 0);
        // No temporary file is left next to the key; the keyring's creators take turns.
        QCOMPARE(QDir(keyDirectory).entryList(QDir::Files | QDir::Hidden),
            store == "file" ? QStringList { "data-protection.key" }
                            : QStringList { ".data-protection.lock" });
    }

    // A key found in the store not chosen moves into the chosen one, unless that one is locked.
    void moveBetweenStores_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("locked");
        if (keyringPassword.isEmpty())
            QSKIP("needs a keyring: the keyring leg runs it");
        QTest::addRow("into the keyring") << "file"
                                          << "keyring" << false;
        QTest::addRow("back to the file") << "keyring"
                                          << "file" << false;
        QTest::addRow("not into a locked keyring") << "file"
                                                   << "keyring" << true;
    }

    void moveBetweenStores()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, locked);
        useStore(from);
        const ProtectionResult sealed = protectBytes(secret);
        const QByteArray key = storedKey(from);
        QVERIFY(sealed.ok && !key.isEmpty());
        if (locked) {
            setKeyringLocked(true);
            zel::test::expectWarning(
                QRegularExpression("the key stays in the file .*moving it to the keyring failed: "
                                   "the keyring is locked"));
        }
        useStore(to);
        // Values sealed before the move open after it, with no new key anywhere.
        QCOMPARE(unprotectBytes(sealed.data).data, secret);
        if (locked)
            setKeyringLocked(false);
        QCOMPARE(storedKey(locked ? from : to), key);
        QCOMPARE(storedKey(from), locked ? key : QByteArray());
        QCOMPARE(unprotectBytes(protectBytes(secret).data).data, secret);
    }

    // A keyring that holds a key it cannot give (locked, or corrupt) gets no second key and
    // loses nothing: the call fails and says why, and once it is unlocked the values open again.
    void keyringWithholdingKey_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<bool>("keyThere");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("where");
        if (keyringPassword.isEmpty())
            QSKIP("needs a keyring: the keyring leg runs it");
        const QString locked = "the keyring is locked",
                      corrupt = "the key in the keyring is corrupt";
        QTest::addRow("locked, holding the key") << true << true << locked << "keyring (locked)";
        QTest::addRow("locked, before there is a key") << true << false << locked << "none yet";
        QTest::addRow("holding a corrupt key")
            << false << false << corrupt << "keyring (" + corrupt;
    }

    void keyringWithholdingKey()
    {
        QFETCH(bool, locked);
        QFETCH(bool, keyThere);
        QFETCH(QString, error);
        QFETCH(QString, where);
        useStore("keyring");
        const ProtectionResult sealed = keyThere ? protectBytes(secret) : ProtectionResult();
        const QByteArray key = storedKey("keyring");
        QProcess secretTool;
        if (locked) {
            setKeyringLocked(true);
        } else {
            secretTool.start("secret-tool",
                { "store", "--label=corrupt", "application", "zel.network.oauth", "key-id", "0",
                    "xdg:schema", "zel.network.oauth.DataProtectionKey" });
            secretTool.write("not a key");
            secretTool.closeWriteChannel();
            QVERIFY(secretTool.waitForFinished(20000) && secretTool.exitCode() == 0);
        }
        const ProtectionResult opened = unprotectBytes(sealed.data);
        const ProtectionResult again = protectBytes(secret);
        QVERIFY(QString::fromStdString(keyStoreDescription()).startsWith(where));
        if (locked)
            setKeyringLocked(false);
        QVERIFY2(!keyThere || refused(opened, error.toStdString()), opened.error.c_str());
        QVERIFY2(refused(again, error.toStdString()), again.error.c_str());
        QVERIFY(!QFile::exists(keyFile));
        QCOMPARE(storedKey("keyring"), key);
        QCOMPARE(unprotectBytes(sealed.data).data, keyThere ? secret : Bytes());
    }
};

int main(int argc, char** argv)
{
    // Child of the key-creation race: waits for the common start time, then protects.
    if (argc == 3 && qstrcmp(argv[1], "--protect-at") == 0) {
        while (QDateTime::currentMSecsSinceEpoch() < QByteArray(argv[2]).toLongLong())
            QThread::usleep(200);
        const ProtectionResult sealed = protectBytes(secret);
        puts(sealed.ok ? qbytes(sealed.data).toBase64().constData() : sealed.error.c_str());
        return sealed.ok ? 0 : 1;
    }
    // Never touch the real key of whoever runs this: the key goes into a directory of our own.
    QTemporaryDir dataHome;
    if (!dataHome.isValid())
        return 1;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    // Nor the user's keyring, whose key the file rows would move into the test's own folder.
    if (keyringPassword.isEmpty())
        qputenv("DBUS_SESSION_BUS_ADDRESS", "");
    keyDirectory = dataHome.filePath("zel");
    keyFile = keyDirectory + "/data-protection.key";
    QCoreApplication app(argc, argv);
    tst_dataprotection test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dataprotection.moc"
