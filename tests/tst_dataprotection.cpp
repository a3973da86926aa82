#include "platform/DataProtection.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

using namespace zel::platform;

namespace {

Bytes bytesOf(const QByteArray& data) { return Bytes(data.begin(), data.end()); }

QByteArray toQByteArray(const Bytes& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end())
        != haystack.end();
}

QString keyDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/zel");
}

QString keyFile() { return keyDirectory() + QStringLiteral("/data-protection.key"); }

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString& path)
{
    struct stat st { };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

bool setMode(const QString& path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

const Bytes secret = bytesOf("refresh-token-0123456789-abcdefghij");

// Blob layout: magic (2), version (1), key id (8), nonce (12), ciphertext, tag (16).
constexpr int headerSize = 11;
constexpr int nonceSize = 12;
constexpr int tagSize = 16;

} // namespace

class TestDataProtection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void roundTrip_data();
    void roundTrip();
    void keyIsPrivateAndCreatedOnce();
    void emptyInputOpensWithoutKey();
    void tampered_data();
    void tampered();
    void truncated_data();
    void truncated();
    void replacedKey();
    void missingKeyIsNotCreatedOnOpen();
    void unsafeKeyPermissions_data();
    void unsafeKeyPermissions();
    void keyOwnedByAnotherUser();
    void unusableKeyFile_data();
    void unusableKeyFile();
    void unusableKeyLocation();
    void otherUserOrMachine_data();
    void otherUserOrMachine();
    void concurrentKeyCreation();
    void wipeZeroes();

private:
    QTemporaryDir dataHome;
};

void TestDataProtection::initTestCase()
{
    // Never touch the real key of whoever runs this: the key goes into a directory of our own.
    QStandardPaths::setTestModeEnabled(false);
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QVERIFY(keyDirectory().startsWith(dataHome.path()));
}

void TestDataProtection::init()
{
    setBindingForTesting(std::nullopt, std::nullopt);
    QVERIFY(QDir(keyDirectory()).removeRecursively());
}

void TestDataProtection::cleanup()
{
    setBindingForTesting(std::nullopt, std::nullopt);
    // Leave nothing unremovable behind for the next test.
    setMode(keyDirectory(), 0700);
    setMode(keyFile(), 0600);
}

void TestDataProtection::roundTrip_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addRow("empty") << QByteArray();
    QTest::addRow("one byte") << QByteArray("x");
    QTest::addRow("text") << QByteArray("client-secret-4f1c2a9e");
    QByteArray binary;
    for (int i = 0; i < 256; ++i)
        binary.append(char(i));
    binary.append(QByteArray(16, '\0'));
    QTest::addRow("binary with zero bytes") << binary;
    QByteArray large(4 << 20, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = char((i * 131 + (i >> 12)) & 0xff);
    QTest::addRow("4 MiB") << large;
}

void TestDataProtection::roundTrip()
{
    QFETCH(QByteArray, plain);
    const Bytes input = bytesOf(plain);

    const ProtectionResult sealed = protectBytes(input);
    QVERIFY2(sealed.ok, sealed.error.c_str());
    QVERIFY(sealed.data.size() > input.size());
    if (input.size() >= 4)
        QVERIFY(!contains(sealed.data, input));

    const ProtectionResult opened = unprotectBytes(sealed.data);
    QVERIFY2(opened.ok, opened.error.c_str());
    QCOMPARE(toQByteArray(opened.data), plain);

    // A fresh nonce each time: the same input never gives the same blob.
    const ProtectionResult again = protectBytes(input);
    QVERIFY(again.ok);
    QVERIFY(again.data != sealed.data);
    QCOMPARE(toQByteArray(unprotectBytes(again.data).data), plain);
}

void TestDataProtection::keyIsPrivateAndCreatedOnce()
{
    const ProtectionResult first = protectBytes(secret);
    QVERIFY(first.ok);
    QCOMPARE(modeOf(keyDirectory()), mode_t(0700));
    QCOMPARE(modeOf(keyFile()), mode_t(0600));
    const QByteArray keyBytes = readFile(keyFile());
    QCOMPARE(keyBytes.size(), 32);
    // No temporary file is left next to the key.
    QCOMPARE(QDir(keyDirectory()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("data-protection.key") });

    const ProtectionResult second = protectBytes(secret);
    QVERIFY(second.ok);
    QCOMPARE(readFile(keyFile()), keyBytes);
    QVERIFY(unprotectBytes(first.data).ok);
}

void TestDataProtection::emptyInputOpensWithoutKey()
{
    const ProtectionResult opened = unprotectBytes({});
    QVERIFY(opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY(!QFile::exists(keyDirectory()));
}

void TestDataProtection::tampered_data()
{
    QTest::addColumn<int>("offset"); // negative: from the end
    QTest::addColumn<QString>("error");
    QTest::addRow("magic") << 0 << "unknown format";
    QTest::addRow("version") << 2 << "format version";
    QTest::addRow("key id") << 5 << "another key";
    QTest::addRow("nonce first byte") << headerSize << "does not authenticate";
    QTest::addRow("nonce last byte") << headerSize + nonceSize - 1 << "does not authenticate";
    QTest::addRow("ciphertext first byte") << headerSize + nonceSize << "does not authenticate";
    QTest::addRow("ciphertext middle") << headerSize + nonceSize + 17 << "does not authenticate";
    QTest::addRow("ciphertext last byte") << -tagSize - 1 << "does not authenticate";
    QTest::addRow("tag first byte") << -tagSize << "does not authenticate";
    QTest::addRow("tag last byte") << -1 << "does not authenticate";
}

void TestDataProtection::tampered()
{
    QFETCH(int, offset);
    QFETCH(QString, error);
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);
    const std::size_t at = offset >= 0 ? std::size_t(offset) : sealed.data.size() + offset;
    QVERIFY(at < sealed.data.size());

    for (const unsigned char bit : { 0x01, 0x10, 0x80 }) {
        Bytes blob = sealed.data;
        blob[at] ^= bit;
        const ProtectionResult opened = unprotectBytes(blob);
        QVERIFY(!opened.ok);
        QVERIFY(opened.data.empty());
        QVERIFY2(QString::fromStdString(opened.error).contains(error), opened.error.c_str());
        QVERIFY(opened.error.find("refresh-token") == std::string::npos);
    }
    // The untouched blob still opens: the failures above came from the flipped bits.
    QVERIFY(unprotectBytes(sealed.data).ok);
}

void TestDataProtection::truncated_data()
{
    QTest::addColumn<int>("length"); // negative: bytes cut off the end
    QTest::addRow("1 byte") << 1;
    QTest::addRow("magic only") << 2;
    QTest::addRow("up to version") << 3;
    QTest::addRow("header only") << headerSize;
    QTest::addRow("header and nonce") << headerSize + nonceSize;
    QTest::addRow("one byte short of empty payload") << headerSize + nonceSize + tagSize - 1;
    QTest::addRow("no tag") << -tagSize;
    QTest::addRow("last byte cut") << -1;
}

void TestDataProtection::truncated()
{
    QFETCH(int, length);
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);
    const std::size_t keep = length >= 0 ? std::size_t(length) : sealed.data.size() + length;
    const Bytes blob(sealed.data.begin(), sealed.data.begin() + keep);
    const ProtectionResult opened = unprotectBytes(blob);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY(!opened.error.empty());

    // Bytes appended to a blob are no better than bytes taken away.
    Bytes longer = sealed.data;
    longer.push_back(0);
    QVERIFY(!unprotectBytes(longer).ok);
}

void TestDataProtection::replacedKey()
{
    const ProtectionResult old = protectBytes(secret);
    QVERIFY(old.ok);
    QVERIFY(QFile::remove(keyFile()));

    const ProtectionResult fresh = protectBytes(secret);
    QVERIFY(fresh.ok);
    const ProtectionResult opened = unprotectBytes(old.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY2(opened.error.find("another key") != std::string::npos, opened.error.c_str());
    QCOMPARE(unprotectBytes(fresh.data).data, secret);
}

void TestDataProtection::missingKeyIsNotCreatedOnOpen()
{
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);

    QVERIFY(QFile::remove(keyFile()));
    ProtectionResult opened = unprotectBytes(sealed.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY2(opened.error.find("key") != std::string::npos, opened.error.c_str());
    QVERIFY(!QFile::exists(keyFile()));

    QVERIFY(QDir(keyDirectory()).removeRecursively());
    opened = unprotectBytes(sealed.data);
    QVERIFY(!opened.ok);
    QVERIFY(!QFile::exists(keyDirectory()));
}

void TestDataProtection::unsafeKeyPermissions_data()
{
    QTest::addColumn<bool>("directory");
    QTest::addColumn<int>("mode");
    QTest::addRow("key readable by all") << false << 0644;
    QTest::addRow("key readable by group") << false << 0640;
    QTest::addRow("key writable by others") << false << 0602;
    QTest::addRow("directory open to all") << true << 0755;
    QTest::addRow("directory open to group") << true << 0750;
    QTest::addRow("directory searchable by others") << true << 0701;
}

void TestDataProtection::unsafeKeyPermissions()
{
    QFETCH(bool, directory);
    QFETCH(int, mode);
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);
    const QString path = directory ? keyDirectory() : keyFile();
    QVERIFY(setMode(path, mode_t(mode)));

    const ProtectionResult opened = unprotectBytes(sealed.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY2(opened.error.find("group or others") != std::string::npos, opened.error.c_str());
    const ProtectionResult resealed = protectBytes(secret);
    QVERIFY(!resealed.ok);
    QVERIFY(resealed.data.empty());
    QCOMPARE(modeOf(path), mode_t(mode)); // not silently repaired

    // The key was refused, not replaced: with safe permissions the old blob opens again.
    QVERIFY(setMode(path, directory ? 0700 : 0600));
    QCOMPARE(unprotectBytes(sealed.data).data, secret);
}

void TestDataProtection::keyOwnedByAnotherUser()
{
    if (geteuid() != 0)
        QSKIP("giving a file to another user needs root");
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);
    const uid_t other = 65534; // nobody

    for (const QString& path : { keyFile(), keyDirectory() }) {
        QVERIFY(::chown(QFile::encodeName(path).constData(), other, gid_t(-1)) == 0);
        const ProtectionResult opened = unprotectBytes(sealed.data);
        QVERIFY(!opened.ok);
        QVERIFY(opened.data.empty());
        QVERIFY2(opened.error.find("not owned") != std::string::npos, opened.error.c_str());
        QVERIFY(!protectBytes(secret).ok);
        QVERIFY(::chown(QFile::encodeName(path).constData(), geteuid(), gid_t(-1)) == 0);
        QCOMPARE(unprotectBytes(sealed.data).data, secret);
    }
}

void TestDataProtection::unusableKeyFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("too short") << "short";
    QTest::addRow("too long") << "long";
    QTest::addRow("symbolic link") << "symlink";
    QTest::addRow("directory") << "directory";
}

void TestDataProtection::unusableKeyFile()
{
    QFETCH(QString, kind);
    const ProtectionResult sealed = protectBytes(secret);
    QVERIFY(sealed.ok);
    QFile key(keyFile());
    if (kind == QLatin1String("short")) {
        QVERIFY(key.resize(16));
    } else if (kind == QLatin1String("long")) {
        QVERIFY(key.open(QIODevice::Append));
        QVERIFY(key.write("x") == 1);
        key.close();
    } else if (kind == QLatin1String("symlink")) {
        // Even a link to a private copy of the right key is refused.
        const QString copy = keyDirectory() + QStringLiteral("/copy.key");
        QVERIFY(QFile::rename(keyFile(), copy));
        QVERIFY(QFile::link(copy, keyFile()));
    } else {
        QVERIFY(QFile::remove(keyFile()));
        QVERIFY(QDir().mkdir(keyFile()));
        QVERIFY(setMode(keyFile(), 0700));
    }
    const QByteArray before = readFile(keyFile());

    const ProtectionResult opened = unprotectBytes(sealed.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY(!opened.error.empty());
    const ProtectionResult resealed = protectBytes(secret);
    QVERIFY(!resealed.ok);
    QVERIFY(resealed.data.empty());

    // A bad key is reported, never overwritten.
    QCOMPARE(readFile(keyFile()), before);
}

void TestDataProtection::unusableKeyLocation()
{
    // A regular file where the directory should be: nothing can be created, not even as root.
    QVERIFY(QDir().mkpath(QFileInfo(keyDirectory()).path()));
    QFile blocker(keyDirectory());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ProtectionResult sealed = protectBytes(secret);
    QVERIFY(!sealed.ok);
    QVERIFY(sealed.data.empty());
    QVERIFY(!sealed.error.empty());
    QVERIFY(QFile::remove(keyDirectory()));

    const QByteArray savedHome = qgetenv("XDG_DATA_HOME");
    const auto restore = qScopeGuard([&] { qputenv("XDG_DATA_HOME", savedHome); });
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker.fileName() + QStringLiteral("-file/data")));
    QFile parentBlocker(blocker.fileName() + QStringLiteral("-file"));
    QVERIFY(parentBlocker.open(QIODevice::WriteOnly));
    parentBlocker.close();
    sealed = protectBytes(secret);
    QVERIFY(!sealed.ok);
    QVERIFY(sealed.data.empty());
    QVERIFY(parentBlocker.remove());
}

void TestDataProtection::otherUserOrMachine_data()
{
    QTest::addColumn<QVariant>("machineId");
    QTest::addColumn<QVariant>("uid");
    QTest::addRow("other machine") << QVariant("0123456789abcdef0123456789abcdef") << QVariant();
    QTest::addRow("other user") << QVariant() << QVariant(uint(getuid()) + 1);
    QTest::addRow("other user and machine") << QVariant("another machine") << QVariant(4242u);
    QTest::addRow("machine without id") << QVariant(QString("")) << QVariant();
}

void TestDataProtection::otherUserOrMachine()
{
    QFETCH(QVariant, machineId);
    QFETCH(QVariant, uid);
    const auto setOther = [&] {
        setBindingForTesting(machineId.isValid()
                ? std::optional<std::string>(machineId.toString().toStdString())
                : std::nullopt,
            uid.isValid() ? std::optional<unsigned>(uid.toUInt()) : std::nullopt);
    };

    const ProtectionResult here = protectBytes(secret);
    QVERIFY(here.ok);
    setOther();
    const ProtectionResult there = protectBytes(secret);
    QVERIFY(there.ok);
    // The other side opens its own blob (the binding is consistent) but not ours …
    QCOMPARE(unprotectBytes(there.data).data, secret);
    ProtectionResult opened = unprotectBytes(here.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QVERIFY2(
        opened.error.find("another user or machine") != std::string::npos, opened.error.c_str());

    // … and we do not open theirs.
    setBindingForTesting(std::nullopt, std::nullopt);
    opened = unprotectBytes(there.data);
    QVERIFY(!opened.ok);
    QVERIFY(opened.data.empty());
    QCOMPARE(unprotectBytes(here.data).data, secret);
}

void TestDataProtection::concurrentKeyCreation()
{
    // Processes that start at the same moment without a key must all end up with the same key.
    constexpr int processes = 6;
    constexpr int rounds = 4;
    for (int round = 0; round < rounds; ++round) {
        QVERIFY(QDir(keyDirectory()).removeRecursively());
        const qint64 startAt = QDateTime::currentMSecsSinceEpoch() + 700;
        std::vector<std::unique_ptr<QProcess>> children;
        for (int i = 0; i < processes; ++i) {
            auto child = std::make_unique<QProcess>();
            child->start(QCoreApplication::applicationFilePath(),
                { QStringLiteral("--protect-at"), QString::number(startAt),
                    QStringLiteral("secret %1/%2").arg(round).arg(i) });
            children.push_back(std::move(child));
        }
        for (const auto& child : children)
            QVERIFY(child->waitForFinished(60000));
        for (int i = 0; i < processes; ++i) {
            QProcess& child = *children[std::size_t(i)];
            QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
            const QByteArray blob = QByteArray::fromBase64(child.readAllStandardOutput().trimmed());
            const ProtectionResult opened = unprotectBytes(bytesOf(blob));
            QVERIFY2(opened.ok, opened.error.c_str());
            QCOMPARE(toQByteArray(opened.data),
                QStringLiteral("secret %1/%2").arg(round).arg(i).toUtf8());
        }
        QCOMPARE(
            QDir(keyDirectory()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList { QStringLiteral("data-protection.key") });
    }
}

void TestDataProtection::wipeZeroes()
{
    Bytes buffer = secret;
    wipe(buffer);
    QCOMPARE(buffer.size(), secret.size());
    QVERIFY(std::all_of(buffer.begin(), buffer.end(), [](unsigned char c) { return c == 0; }));
    Bytes empty;
    wipe(empty);
    QVERIFY(empty.empty());
}

// Child mode for the key-creation race: wait for the common start time, then protect.
static int protectAt(qint64 startAt, const QByteArray& text)
{
    while (QDateTime::currentMSecsSinceEpoch() < startAt)
        QThread::usleep(200);
    const ProtectionResult sealed = protectBytes(bytesOf(text));
    if (!sealed.ok) {
        fprintf(stderr, "%s\n", sealed.error.c_str());
        return 1;
    }
    fputs(toQByteArray(sealed.data).toBase64().constData(), stdout);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--protect-at") == 0)
        return protectAt(QByteArray(argv[2]).toLongLong(), QByteArray(argv[3]));
    QCoreApplication app(argc, argv);
    TestDataProtection test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dataprotection.moc"
