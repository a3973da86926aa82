#include "platform/IdentityRules.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

using namespace zel::platform;

namespace {

// A lookup that answers what the test tells it and counts the account-list queries.
class FakeLookup : public SystemLookup {
public:
    std::optional<std::string> machine;
    std::optional<std::string> user;
    std::optional<std::string> display;
    std::optional<std::string> principal;
    std::vector<std::string> accounts;
    std::optional<std::string> country;
    mutable int accountQueries = 0;

    std::optional<std::string> machineId() const override { return machine; }
    std::optional<std::string> userName() const override { return user; }
    std::optional<std::string> displayName() const override { return display; }
    std::optional<std::string> userPrincipalName() const override { return principal; }
    std::vector<std::string> accountNames() const override
    {
        ++accountQueries;
        return accounts;
    }
    std::optional<std::string> countryName() const override { return country; }
};

// Optional texts travel through the data tables as QVariant: invalid means absent.
std::optional<std::string> fromVariant(const QVariant& value)
{
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

QVariant toVariant(const std::optional<std::string>& value)
{
    return value ? QVariant(QString::fromStdString(*value)) : QVariant();
}

QVariant absent() { return QVariant(); }

QByteArray machineIdFile()
{
    for (const char* path : { "/etc/machine-id", "/var/lib/dbus/machine-id" }) {
        QFile file(QString::fromLatin1(path));
        if (file.open(QIODevice::ReadOnly)) {
            QByteArray text = file.readAll();
            while (text.endsWith('\n'))
                text.chop(1);
            if (!text.isEmpty())
                return text;
        }
    }
    return QByteArray();
}

} // namespace

class TestIdentityRules : public QObject {
    Q_OBJECT

private slots:
    void sha1MatchesQt_data();
    void sha1MatchesQt();
    void sha1KnownAnswers();
    void deviceIdentifier_data();
    void deviceIdentifier();
    void userDetails_data();
    void userDetails();
    void principalNameSkipsAccountList();
    void posixLookupMatchesThisMachine();
    void posixLookupFollowsEnvironment();
    void posixCountryFollowsLocale_data();
    void posixCountryFollowsLocale();
};

void TestIdentityRules::sha1MatchesQt_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addRow("empty") << QByteArray();
    QTest::addRow("abc") << QByteArray("abc");
    // Lengths around the 56-byte padding limit and the 64-byte block.
    for (int length : { 55, 56, 57, 63, 64, 65, 119, 120, 128 })
        QTest::addRow("%d bytes", length) << QByteArray(length, 'x');
    QByteArray binary;
    for (int i = 0; i < 512; ++i)
        binary.append(char(i * 7 % 256));
    QTest::addRow("binary with zero bytes") << binary;
    QByteArray large(1 << 20, '\0');
    for (int i = 0; i < large.size(); ++i)
        large[i] = char((i * 31 + (i >> 8)) & 0xff);
    QTest::addRow("1 MiB") << large;
}

void TestIdentityRules::sha1MatchesQt()
{
    QFETCH(QByteArray, input);
    const std::string hex = sha1Hex(std::string_view(input.constData(), size_t(input.size())));
    QCOMPARE(QByteArray::fromStdString(hex),
        QCryptographicHash::hash(input, QCryptographicHash::Sha1).toHex());
}

void TestIdentityRules::sha1KnownAnswers()
{
    // FIPS 180-4 example messages and their published digests.
    QCOMPARE(sha1Hex(""), std::string("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    QCOMPARE(sha1Hex("abc"), std::string("a9993e364706816aba3e25717850c26c9cd0d89d"));
    QCOMPARE(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
        std::string("84983e441c3bd26ebaae4aa1f95129e5e54670f1"));
    QCOMPARE(sha1Hex(std::string(1000000, 'a')),
        std::string("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
}

void TestIdentityRules::deviceIdentifier_data()
{
    QTest::addColumn<QVariant>("machineId");
    QTest::addColumn<QString>("expected");
    QTest::addRow("unreadable") << absent()
                                << QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    QTest::addRow("empty") << QVariant(QString())
                           << QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    QTest::addRow("lower case") << QVariant(QStringLiteral("3d1219c7c4c5404aaa1f6d2a48adfda4"))
                                << QString::fromLatin1(QCryptographicHash::hash(
                                       "3d1219c7c4c5404aaa1f6d2a48adfda4", QCryptographicHash::Sha1)
                                                           .toHex());
    // The id is hashed exactly as read: case differences give different identifiers.
    QTest::addRow("upper case") << QVariant(QStringLiteral("3D1219C7C4C5404AAA1F6D2A48ADFDA4"))
                                << QString::fromLatin1(QCryptographicHash::hash(
                                       "3D1219C7C4C5404AAA1F6D2A48ADFDA4", QCryptographicHash::Sha1)
                                                           .toHex());
}

void TestIdentityRules::deviceIdentifier()
{
    QFETCH(QVariant, machineId);
    QFETCH(QString, expected);
    FakeLookup lookup;
    lookup.machine = fromVariant(machineId);
    QCOMPARE(QString::fromStdString(zel::platform::deviceIdentifier(lookup)), expected);
}

void TestIdentityRules::userDetails_data()
{
    QTest::addColumn<QVariant>("displayName");
    QTest::addColumn<QVariant>("principalName");
    QTest::addColumn<QStringList>("accounts");
    QTest::addColumn<QVariant>("country");
    QTest::addColumn<QVariant>("firstName");
    QTest::addColumn<QVariant>("lastName");
    QTest::addColumn<QVariant>("email");
    QTest::addColumn<QStringList>("emailList");

    const QVariant upn(QStringLiteral("anna@example.org"));
    const QVariant sweden(QStringLiteral("Sverige"));
    const QStringList none;
    const QStringList three { QStringLiteral("a@example.org"), QStringLiteral("b@example.org"),
        QStringLiteral("c@example.org") };

    QTest::addRow("three words") << QVariant("Anna Maria Berg") << upn << none << sweden
                                 << QVariant("Anna") << QVariant("Maria Berg") << upn << none;
    QTest::addRow("single word") << QVariant("Cher") << upn << none << sweden << QVariant("Cher")
                                 << QVariant(QString("")) << upn << none;
    QTest::addRow("two spaces") << QVariant("Anna  Berg") << upn << none << sweden
                                << QVariant("Anna") << QVariant(" Berg") << upn << none;
    QTest::addRow("leading space") << QVariant(" Anna Berg") << upn << none << sweden
                                   << QVariant(QString("")) << QVariant("Anna Berg") << upn << none;
    QTest::addRow("trailing space") << QVariant("Anna Berg ") << upn << none << sweden
                                    << QVariant("Anna") << QVariant("Berg ") << upn << none;
    QTest::addRow("only a space") << QVariant(" ") << upn << none << sweden << QVariant(QString(""))
                                  << QVariant(QString("")) << upn << none;
    QTest::addRow("empty name") << QVariant(QString("")) << upn << none << sweden
                                << QVariant(QString("")) << QVariant(QString("")) << upn << none;
    QTest::addRow("non-ASCII") << QVariant(QString::fromUtf8("Zoë Ångström")) << upn << none
                               << sweden << QVariant(QString::fromUtf8("Zoë"))
                               << QVariant(QString::fromUtf8("Ångström")) << upn << none;
    QTest::addRow("name lookup fails")
        << absent() << upn << none << sweden << absent() << absent() << upn << none;
    QTest::addRow("principal name wins over accounts")
        << QVariant("Anna Berg") << upn << three << sweden << QVariant("Anna") << QVariant("Berg")
        << upn << none;
    QTest::addRow("accounts when no principal name")
        << QVariant("Anna Berg") << absent() << three << sweden << QVariant("Anna")
        << QVariant("Berg") << absent() << three;
    QTest::addRow("no e-mail at all") << QVariant("Anna Berg") << absent() << none << sweden
                                      << QVariant("Anna") << QVariant("Berg") << absent() << none;
    QTest::addRow("no country") << QVariant("Anna Berg") << upn << none << absent()
                                << QVariant("Anna") << QVariant("Berg") << upn << none;
    QTest::addRow("nothing known")
        << absent() << absent() << none << absent() << absent() << absent() << absent() << none;
}

void TestIdentityRules::userDetails()
{
    QFETCH(QVariant, displayName);
    QFETCH(QVariant, principalName);
    QFETCH(QStringList, accounts);
    QFETCH(QVariant, country);
    QFETCH(QVariant, firstName);
    QFETCH(QVariant, lastName);
    QFETCH(QVariant, email);
    QFETCH(QStringList, emailList);

    FakeLookup lookup;
    lookup.display = fromVariant(displayName);
    lookup.principal = fromVariant(principalName);
    for (const QString& account : qAsConst(accounts))
        lookup.accounts.push_back(account.toStdString());
    lookup.country = fromVariant(country);

    const UserDetails details = zel::platform::userDetails(lookup);
    QCOMPARE(toVariant(details.firstName), firstName);
    QCOMPARE(toVariant(details.lastName), lastName);
    QCOMPARE(toVariant(details.email), email);
    QStringList list;
    for (const std::string& entry : details.emailList)
        list << QString::fromStdString(entry);
    QCOMPARE(list, emailList);
    QCOMPARE(toVariant(details.country), country);
}

void TestIdentityRules::principalNameSkipsAccountList()
{
    FakeLookup lookup;
    lookup.principal = "anna@example.org";
    lookup.accounts = { "other@example.org" };
    zel::platform::userDetails(lookup);
    QCOMPARE(lookup.accountQueries, 0);
    lookup.principal.reset();
    zel::platform::userDetails(lookup);
    QCOMPARE(lookup.accountQueries, 1);
}

void TestIdentityRules::posixLookupMatchesThisMachine()
{
    const std::unique_ptr<SystemLookup> lookup = createSystemLookup();

    const QByteArray machineId = machineIdFile();
    QCOMPARE(toVariant(lookup->machineId()),
        machineId.isEmpty() ? QVariant() : QVariant(QString::fromLatin1(machineId)));
    QVERIFY(!machineId.endsWith('\n'));
    QCOMPARE(QByteArray::fromStdString(zel::platform::deviceIdentifier(*lookup)),
        QCryptographicHash::hash(machineId, QCryptographicHash::Sha1).toHex());

    const char* user = getenv("USER");
    QCOMPARE(toVariant(lookup->userName()), user ? QVariant(QString::fromUtf8(user)) : QVariant());

    QVariant gecosName;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_gecos) {
        const QString name = QString::fromUtf8(entry->pw_gecos).section(QLatin1Char(','), 0, 0);
        if (!name.isEmpty())
            gecosName = name;
    }
    QCOMPARE(toVariant(lookup->displayName()), gecosName);

    const char* email = getenv("EMAIL");
    QCOMPARE(toVariant(lookup->userPrincipalName()),
        email && *email ? QVariant(QString::fromUtf8(email)) : QVariant());
    QVERIFY(lookup->accountNames().empty());
}

void TestIdentityRules::posixLookupFollowsEnvironment()
{
    const QByteArray savedUser = qgetenv("USER");
    const bool hadUser = qEnvironmentVariableIsSet("USER");
    const QByteArray savedEmail = qgetenv("EMAIL");
    const bool hadEmail = qEnvironmentVariableIsSet("EMAIL");
    const auto restore = qScopeGuard([&] {
        hadUser ? qputenv("USER", savedUser) : qunsetenv("USER");
        hadEmail ? qputenv("EMAIL", savedEmail) : qunsetenv("EMAIL");
    });
    const std::unique_ptr<SystemLookup> lookup = createSystemLookup();

    qputenv("USER", "Ånna");
    qputenv("EMAIL", "anna@example.org");
    QCOMPARE(toVariant(lookup->userName()), QVariant(QString::fromUtf8("Ånna")));
    QCOMPARE(toVariant(lookup->userPrincipalName()), QVariant("anna@example.org"));

    qunsetenv("USER");
    qunsetenv("EMAIL");
    QCOMPARE(toVariant(lookup->userName()), QVariant());
    QCOMPARE(toVariant(lookup->userPrincipalName()), QVariant());

    // An empty EMAIL names no address.
    qputenv("EMAIL", "");
    QCOMPARE(toVariant(lookup->userPrincipalName()), QVariant());
}

void TestIdentityRules::posixCountryFollowsLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    QTest::addRow("German") << "de_DE.UTF-8" << QString::fromUtf8("Deutschland");
    QTest::addRow("Swiss French") << "fr_CH.UTF-8" << QString::fromUtf8("Suisse");
    QTest::addRow("Serbian") << "sr_RS" << QString::fromUtf8("Србија");
    QTest::addRow("C") << "C" << QString();
    QTest::addRow("C.UTF-8") << "C.UTF-8" << QString();
    QTest::addRow("POSIX") << "POSIX" << QString();
}

void TestIdentityRules::posixCountryFollowsLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    // The system locale is read once per process, so each locale gets a process of its own.
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), locale);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--print-country") });
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitCode(), 0);
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    QCOMPARE(output, expected.isNull() ? QStringLiteral("(none)") : expected);
}

int main(int argc, char** argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--print-country") == 0) {
        const std::optional<std::string> country = createSystemLookup()->countryName();
        fputs(country ? country->c_str() : "(none)", stdout);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestIdentityRules test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_identityrules.moc"
