// The account service's smaller operations: the PubNub configuration's guard and the user details
// for registration (the configuration's fetch is tst_badanswers' and the end-to-end suite's).

#include "AccountFixture.h"
#include "JsonNetworkReply.h"

#include <QtTest>

using namespace zel;
using namespace zel::test;
using L = QVariantList;

class tst_accountservices : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { watchLog(); }
    // Without the client secret there is no request to send.
    void pubNubNeedsCredentials()
    {
        auto account = makeAccount(QStringLiteral("http://127.0.0.1:1"), false);
        account->client->setClientId(testClientId());
        expectWarning(QRegularExpression("^Cannot fetch PubNub config"));
        QCOMPARE(account->client->fetchPubNubConfig(), nullptr);
    }

    void userDetails_data()
    {
        QTest::addColumn<QVariantList>("lookup"); // display name, principal name, accounts, country
        QTest::addColumn<QVariantList>("expected"); // first name, last name, e-mail, country

        const QVariant none, upn("anna@example.com"), se("Sverige");
        const QStringList three { "c@example.com", "a@example.com", "b@example.com" };
        const auto row = [](const char* name, L in, L out) { QTest::newRow(name) << in << out; };
        // The principal name wins over the accounts; without it, the accounts are a list.
        row("3 words", { "Anna Maria Berg", upn, three, se }, { "Anna", "Maria Berg", upn, se });
        row("no space", { "Cher", upn, three, se }, { "Cher", "", upn, se });
        // The accounts come sorted, as on Windows QSettings lists child groups.
        row("leading space", { " Anna", none, three, se },
            { "", "Anna", QStringList { "a@example.com", "b@example.com", "c@example.com" }, se });
        row("empty name, no accounts, no country", { "", none, L(), none }, { "", "", none, none });
        row("failed name lookup", { none, upn, L(), se }, { none, none, upn, se });
    }

    void userDetails()
    {
        QFETCH(QVariantList, lookup);
        QFETCH(QVariantList, expected);

        auto account = makeAccount(QStringLiteral("http://127.0.0.1:1"), true);
        account->lookup->display = optionalText(lookup.at(0));
        account->lookup->principal = optionalText(lookup.at(1));
        for (const QString& name : lookup.at(2).toStringList())
            account->lookup->accounts.push_back(name.toStdString());
        account->lookup->country = optionalText(lookup.at(3));

        // Compared with their types: a text is no list, and absent is not empty.
        for (const char* key : { "first-name", "last-name", "email", "country" }) {
            const QVariant got = account->client->userDetails().value(key),
                           want = expected.takeFirst();
            QCOMPARE(qMakePair(got, got.userType()), qMakePair(want, want.userType()));
        }
    }
};

QTEST_GUILESS_MAIN(tst_accountservices)
#include "tst_accountservices.moc"
