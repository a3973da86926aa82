#include "platform/IdentityRules.h"

#include <QProcess>
#include <QtTest>

using namespace zel::platform;
using Text = std::optional<std::string>;
Q_DECLARE_METATYPE(Text)

QString show(const Text& text) { return text ? QString::fromStdString(*text) : "-"; }

// A lookup that knows only the machine id the test gives it.
struct FakeLookup : SystemLookup {
    Text machine;
    std::vector<std::string> accounts;
    Text machineId() const override { return machine; }
    Text userName() const override { return {}; }
    Text displayName() const override { return {}; }
    Text userPrincipalName() const override { return {}; }
    std::vector<std::string> accountNames() const override { return accounts; }
    Text countryName() const override { return {}; }
};

class tst_identityrules : public QObject {
    Q_OBJECT

private slots:
    void deviceIdentifierKnownAnswers_data()
    {
        QTest::addColumn<Text>("machineId");
        QTest::addColumn<QByteArray>("digest"); // from sha1sum
        QTest::addRow("unreadable")
            << Text() << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709");
        // The machine id is hashed exactly as read: a zero byte stays (and so does its case, see
        // tst_loginflow).
        QTest::addRow("zero byte") << Text(std::string("ab\0cd", 5))
                                   << QByteArray("cf76bf81edbf067731a98c6b7d2eb28824d38027");
    }

    void deviceIdentifierKnownAnswers()
    {
        QFETCH(Text, machineId);
        QFETCH(QByteArray, digest);
        FakeLookup lookup;
        lookup.machine = machineId;
        QCOMPARE(QByteArray::fromStdString(deviceIdentifier(lookup)), digest);
    }

    void accountOrderMatchesQSettings_data()
    {
        QTest::addColumn<QByteArrayList>("accounts"); // as the registry lists them
        QTest::addRow("upper case first")
            << QByteArrayList { "alice@x", "Bob@x", "carol@x", "bob@x" };
        // U+1F600 is a surrogate pair (D83D DE00), below U+FF21 in UTF-16 but not in UTF-8.
        QTest::addRow("past U+FFFF")
            << QByteArrayList { "\xEF\xBC\xA1@x", "\xF0\x9F\x98\x80@x", "\xC3\xA9@x" };
        // An invalid byte counts as U+FFFD.
        QTest::addRow("invalid UTF-8") << QByteArrayList { "\xFF", "\xEF\xBF\xBC", "" };
    }

    void accountOrderMatchesQSettings()
    {
        QFETCH(QByteArrayList, accounts);
        // On Windows QSettings lists child groups in QString order: the expectation is Qt's.
        QStringList expected;
        FakeLookup lookup;
        for (const QByteArray& account : accounts) {
            expected << QString::fromUtf8(account);
            lookup.accounts.push_back(account.toStdString());
        }
        std::sort(expected.begin(), expected.end());
        QStringList sorted;
        for (const std::string& email : userDetails(lookup).emailList)
            sorted << QString::fromStdString(email);
        QCOMPARE(sorted, expected);
    }

#ifdef ZEL_TEST_POSIX // machine-id(5), the login name and the POSIX locale
    // Against the system's own tools: dbus-uuidgen reads the machine id as D-Bus does, id(1)
    // names this process's user, whom a login names in USER (set here, as su(1) may not).
    void posixLookupMatchesThisMachine()
    {
        const auto tool = [](const QString& program, const QStringList& arguments) {
            QProcess process;
            process.start(program, arguments);
            const bool ok = process.waitForFinished(30000) && process.exitCode() == 0;
            return ok ? QString(process.readAllStandardOutput().trimmed()) : QString("-");
        };
        const QString user = tool("id", { "-un" });
        qputenv("USER", user.toUtf8());
        const std::unique_ptr<SystemLookup> lookup = createSystemLookup();
        QCOMPARE(show(lookup->machineId()), tool("dbus-uuidgen", { "--get" }));
        QCOMPARE(show(lookup->userName()), user);
    }

    // Last, as it changes this process's LC_ALL for the children.
    void posixCountryFollowsLocale()
    {
        // The system locale is read once per process, so each locale gets a process of its own.
        for (const QString row : { "de_DE.UTF-8=Deutschland", "fr_CH.UTF-8=Suisse", "C=-" }) {
            qputenv("LC_ALL", row.section('=', 0, 0).toUtf8());
            QProcess child;
            child.start(QCoreApplication::applicationFilePath(), { "--country" });
            QVERIFY(child.waitForFinished(30000));
            QCOMPARE(QString(child.readAllStandardOutput()), row.section('=', 1));
        }
    }
#endif
};

int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--country") == 0) // child mode
        return fputs(show(createSystemLookup()->countryName()).toUtf8(), stdout) < 0;
    QCoreApplication app(argc, argv);
    tst_identityrules test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_identityrules.moc"
