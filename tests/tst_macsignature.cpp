// MAC request signing: known answers from the draft's example and from oauthlib as an
// independent implementation, then the normalization rules, the header fields, nonces and names.

#include "MacSignature.h"
#include "mac_oracle_answers.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

#include <limits>

using namespace zel;
using namespace zel::mac;
using Hash = QCryptographicHash;

MacToken makeToken(const QByteArray& id, const QByteArray& key, Hash::Algorithm algorithm)
{
    return { id, QDateTime::currentMSecsSinceEpoch(), 0, QString(), key, algorithm };
}

// The age of a nonce "age:40 lower-case hex digits"; -1 when it has another form.
qint64 ageOf(const QString& nonce)
{
    const auto match = QRegularExpression("^(\\d+):[0-9a-f]{40}$").match(nonce);
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

class tst_macsignature : public QObject {
    Q_OBJECT

private slots:
    // The POST example of draft-ietf-oauth-v2-http-mac-00/01, section 1.2, reproduced exactly.
    void draftExample()
    {
        const MacToken token = makeToken("jd93dh9dh39D", "8yfrufh348h", Hash::Sha1);
        QCOMPARE(macAuthorizationHeader(QUrl("http://example.com/request"), "POST", token,
                     "hello=world%21", "273156:di3hvdf8"),
            "MAC id=\"jd93dh9dh39D\",nonce=\"273156:di3hvdf8\",bodyhash=\"k9kbtCIy0CkI3/FEfpS/"
            "oIDjk6k=\",mac=\"W7bdMZbv9UWOTadASIQHagZyirA=\"");
    }

    // oauthlib's answers, computed on the build host when CMake configures; the requests are in
    // support/mac_oracle_requests.txt.
    void matchesOauthlib_data()
    {
        // Algorithm, method, URI and body, separated by spaces; oauthlib's header.
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("expected");

        for (const MacOracleRow& row : macOracleRows)
            QTest::addRow("%s", row.name) << QString::fromUtf8(row.request) << row.header;
    }

    void matchesOauthlib()
    {
        QFETCH(QString, request);
        QFETCH(QString, expected);

        // A missing interpreter or oauthlib fails the test: the comparison is its point.
        QVERIFY2(!macOracleError, macOracleError);
        const QStringList parts = request.split(' ');
        const Hash::Algorithm hash = parts.value(0).endsWith("256") ? Hash::Sha256 : Hash::Sha1;
        const MacToken token = makeToken(macOracleId, macOracleKey, hash);
        QCOMPARE(macAuthorizationHeader(QUrl(parts.value(2)), parts.value(1), token,
                     parts.value(3).toUtf8(), macOracleNonce),
            expected);
    }

    void normalizedRequestString_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("expected"); // lines 3 to 5: request URI, host, port

        // Ports, queries and what stays encoded: matchesOauthlib.
        QTest::addRow("host lower-cased, path decoded") << QUrl(
            "https://API.Example.IO/Caf%C3%A9/a%20b") << "/Caf\u00e9/a b\napi.example.io\n443";
        QTest::addRow("placeholders") << QUrl("https://h/%251?x=%253") << "/%1?x=%253\nh\n443";
    }

    void normalizedRequestString()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, expected);

        // The whole string, so that a value leaking into a neighbouring line, or a missing empty
        // last line, is caught too. The verb is upper-cased; the nonce's placeholders stay.
        QCOMPARE(QString::fromUtf8(zel::mac::normalizedRequestString(url, "get", "%2:%7", "H=")),
            "%2:%7\nGET\n" + expected + "\nH=\n\n");
    }

    void headerId()
    {
        // The id ends at the first zero byte and its "%2" is no placeholder (the other fields are
        // the known answers'; that every nonce is new, nonces()).
        const MacToken token = makeToken(QByteArray("%2t\xc3\xb6k\0def", 10), "key", Hash::Sha1);
        const QString header = macAuthorizationHeader(QUrl("https://h.io/x"), "POST", token, "p");
        QVERIFY2(header.startsWith(QString::fromUtf8("MAC id=\"%2t\xc3\xb6k\",nonce=\"0:")),
            qPrintable(header));
    }

    void nonces()
    {
        // Whole seconds since the issue time; 0 when the clock reads earlier. Extreme stored issue
        // times (a corrupt value) must neither overflow nor go negative.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(ageOf(createNonce(now)), 0);
        QVERIFY(ageOf(createNonce(now - 90000)) >= 90 && ageOf(createNonce(now - 90000)) <= 91);
        QCOMPARE(ageOf(createNonce(std::numeric_limits<qint64>::max())), 0);
        QVERIFY(ageOf(createNonce(std::numeric_limits<qint64>::min()))
            > std::numeric_limits<qint64>::max() / 1000);
        QSet<QString> randomParts;
        for (int i = 0; i < 500; ++i)
            randomParts.insert(createNonce(now).section(':', 1));
        QCOMPARE(randomParts.size(), 500);
    }
};

QTEST_GUILESS_MAIN(tst_macsignature)
#include "tst_macsignature.moc"
