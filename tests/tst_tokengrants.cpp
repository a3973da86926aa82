// Token grants against a scripted token endpoint over loopback HTTP, and authenticated replies
// that wait for a token, sign, send and report.

#include "AuthenticatedReply.h"
#include "ScriptedHttpServer.h"
#include "TokenCoreTestAccess.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(zel::test::HttpResponse)

using zel::network::AuthenticatedReply;
using zel::test::HttpRequest;
using zel::test::HttpResponse;
using zel::test::ScriptedHttpServer;

namespace {

const QString kClientId = QStringLiteral("client-id-1");
const QString kClientSecret = QStringLiteral("client-secret-1");

QJsonObject tokenAnswer(const QString& access = "access-1", const QString& refresh = "refresh-1",
    const QString& algorithm = "hmac-sha-256", QJsonValue expiresIn = 3600)
{
    return { { "access_token", access }, { "refresh_token", refresh }, { "expires_in", expiresIn },
        { "secret", "mac-secret-1" }, { "algorithm", algorithm }, { "token_type", "mac" } };
}

class Client : public AbstractOAuth2Client {
public:
    explicit Client(const QString& origin)
    {
        setOauthServer(origin);
        setRedirectUri(QStringLiteral("zel://authorize"));
        setProperty("clientId", kClientId);
        setProperty("clientSecret", kClientSecret);
    }
    MacToken& record() { return TokenCoreTestAccess::token(*this); }
    void ensure() { TokenCoreTestAccess::ensureAccessToken(*this); }
    void refresh() { TokenCoreTestAccess::fetchRefresh(*this); }
    QString pending() const { return TokenCoreTestAccess::pendingGrantType(*this); }
    void holdValidToken()
    {
        record().accessToken = "held-access";
        record().macKey = "held-key";
        record().algorithm = QCryptographicHash::Sha256;
        record().issueTime = QDateTime::currentMSecsSinceEpoch();
        record().expiryTime = QDateTime::currentMSecsSinceEpoch() + 60000;
    }
};

// The token endpoint behind Basic client authentication, answering from a script; every other
// path is the API, answered by another script.
struct Servers {
    std::function<HttpResponse(const HttpRequest&)> token
        = [](const HttpRequest&) { return HttpResponse::json(tokenAnswer()); };
    std::function<HttpResponse(const HttpRequest&)> api
        = [](const HttpRequest&) { return HttpResponse::json(QJsonObject { { "ok", true } }); };
    ScriptedHttpServer server { [this](const HttpRequest& request) {
        if (request.path == "/oauth/token") {
            const auto credentials = request.basicCredentials();
            if (!credentials || credentials->first != kClientId || credentials->second != kClientSecret)
                return HttpResponse::basicChallenge();
            return token(request);
        }
        return api(request);
    } };

    QList<HttpRequest> tokenRequests() const
    {
        QList<HttpRequest> out;
        const auto all = server.requests();
        for (const auto& r : all) {
            if (r.path == "/oauth/token" && r.basicCredentials())
                out.append(r);
        }
        return out;
    }
    QList<HttpRequest> apiRequests() const
    {
        QList<HttpRequest> out;
        const auto all = server.requests();
        for (const auto& r : all) {
            if (r.path != "/oauth/token")
                out.append(r);
        }
        return out;
    }
};

QNetworkRequest apiRequest(const ScriptedHttpServer& server, const QString& path = "/api/item")
{
    QNetworkRequest request(server.url(path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    return request;
}

// Collects every message of every category, with debug output of the plug-in turned on.
struct LogCapture {
    static inline QStringList lines;
    static void handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        lines.append(message);
    }
    QtMessageHandler previous;
    LogCapture()
    {
        lines.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("zel.network.*.debug=true"));
        previous = qInstallMessageHandler(handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QString());
    }
};

} // namespace

class tst_TokenGrants : public QObject {
    Q_OBJECT

private slots:
    void validTokenAnswersAtOnce();
    void tokenExpiringNowIsExpired();
    void noCredentials();
    void grantChoice_data();
    void grantChoice();
    void authorizationCodeRequestOnTheWire();
    void successfulAnswer_data();
    void successfulAnswer();
    void failureTable_data();
    void failureTable();
    void manyWaitersShareOneGrant();
    void authorizationCodeQueuedBehindRefresh();
    void refreshAndClientGrantsStayDeduplicated();
    void noSecretInTheLog();

    void signedRequestOnTheWire_data();
    void signedRequestOnTheWire();
    void laterAnnouncementDoesNotResend();
    void answersReachTheCaller_data();
    void answersReachTheCaller();
    void unauthorizedIsRetriedOnce_data();
    void unauthorizedIsRetriedOnce();
    void tokenErrorAfterFinishedIsIgnored();
    void tokenErrorWhileRunning();
    void tokenErrorReachesCallerAfterCreation();
    void destroyedWhileRunning();
};

void tst_TokenGrants::validTokenAnswersAtOnce()
{
    Servers s;
    Client client(s.server.origin());
    client.holdValidToken();
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    client.ensure();
    QCOMPARE(has.count(), 1); // synchronously
    QTest::qWait(20);
    QCOMPARE(s.server.requestCount(), 0);
}

void tst_TokenGrants::tokenExpiringNowIsExpired()
{
    Servers s;
    Client client(s.server.origin());
    client.holdValidToken();
    client.record().refreshToken = "refresh-0";
    client.record().expiryTime = QDateTime::currentMSecsSinceEpoch();
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    client.ensure();
    QCOMPARE(has.count(), 0);
    QVERIFY(has.wait());
    QCOMPARE(s.tokenRequests().size(), 1);
    QCOMPARE(s.tokenRequests().at(0).formValue("grant_type"), QStringLiteral("refresh_token"));
}

void tst_TokenGrants::noCredentials()
{
    Servers s;
    Client client(s.server.origin());
    client.setProperty("clientSecret", QString());
    QSignalSpy errors(&client, &AbstractOAuth2Client::accessTokenError);
    client.ensure();
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("No client credentials set"));
    QVERIFY(client.pending().isEmpty());
}

void tst_TokenGrants::grantChoice_data()
{
    QTest::addColumn<bool>("refreshToken");
    QTest::addColumn<QString>("grant");
    QTest::addColumn<QStringList>("fields");
    QTest::addRow("refresh token held") << true << "refresh_token"
                                        << QStringList({ "grant_type", "refresh_token" });
    QTest::addRow("client credentials only") << false << "client_credentials"
                                             << QStringList({ "grant_type" });
}

void tst_TokenGrants::grantChoice()
{
    QFETCH(bool, refreshToken);
    QFETCH(QString, grant);
    QFETCH(QStringList, fields);
    Servers s;
    Client client(s.server.origin());
    if (refreshToken)
        client.record().refreshToken = "refresh+/=&0";
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    client.ensure();
    QCOMPARE(client.pending(), grant);
    QVERIFY(has.wait());
    const HttpRequest request = s.tokenRequests().at(0);
    QStringList names;
    for (const auto& item : request.formItems())
        names.append(item.first);
    QCOMPARE(names, fields);
    QCOMPARE(request.formValue("grant_type"), grant);
    if (refreshToken) // reserved characters reach the server unchanged
        QCOMPARE(request.formValue("refresh_token"), QStringLiteral("refresh+/=&0"));
}

void tst_TokenGrants::authorizationCodeRequestOnTheWire()
{
    Servers s;
    Client client(s.server.origin());
    QSignalSpy loggedIn(&client, &AbstractOAuth2Client::loggedIn);
    client.fetchAccessTokenUsingAuthorizationCode("code 1+2");
    QVERIFY(loggedIn.wait());
    const auto all = s.server.requests();
    QCOMPARE(all.size(), 2); // the challenge, then the request with the client's credentials
    QVERIFY(!all.at(0).hasHeader("Authorization"));
    const HttpRequest request = all.at(1);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/oauth/token"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    QCOMPARE(request.body,
        QByteArray("grant_type=authorization_code&code=code%201%2B2&redirect_uri=zel%3A%2F%2Fauthorize"));
}

void tst_TokenGrants::successfulAnswer_data()
{
    QTest::addColumn<QString>("grant"); // "code", "refresh", "client"
    QTest::addColumn<QJsonObject>("answer");
    QTest::addColumn<qint64>("lifetimeMs");
    QTest::addColumn<int>("algorithm");
    QTest::addColumn<bool>("zeroWarning");

    const int sha1 = QCryptographicHash::Sha1, sha256 = QCryptographicHash::Sha256;
    QTest::addRow("code") << "code" << tokenAnswer() << qint64(3600000) << sha256 << false;
    QTest::addRow("refresh") << "refresh" << tokenAnswer() << qint64(3600000) << sha256 << false;
    QTest::addRow("client credentials") << "client" << tokenAnswer() << qint64(3600000) << sha256 << false;
    QTest::addRow("30 days") << "refresh" << tokenAnswer("a", "r", "hmac-sha-1", 2592000)
                             << qint64(2592000000) << sha1 << false;
    QTest::addRow("capitals") << "refresh" << tokenAnswer("a", "r", "HMAC-SHA-1") << qint64(3600000)
                              << sha1 << false;
    QTest::addRow("fraction truncated") << "refresh" << tokenAnswer("a", "r", "hmac-sha-1", 10.9)
                                        << qint64(10000) << sha1 << false;
    QTest::addRow("expires_in as text") << "refresh" << tokenAnswer("a", "r", "hmac-sha-1", "3600")
                                        << qint64(0) << sha1 << true;
    QJsonObject missing = tokenAnswer();
    missing.remove("expires_in");
    QTest::addRow("expires_in missing") << "refresh" << missing << qint64(0) << sha256 << true;
    QTest::addRow("expires_in huge") << "refresh" << tokenAnswer("a", "r", "hmac-sha-1", 1e300)
                                     << qint64(2147483647) * 1000 << sha1 << false;
    QTest::addRow("expires_in negative huge") << "refresh" << tokenAnswer("a", "r", "hmac-sha-1", -1e300)
                                              << qint64(-2147483648LL) * 1000 << sha1 << false;
    QJsonObject noRefresh = tokenAnswer();
    noRefresh.remove("refresh_token");
    QTest::addRow("no refresh token") << "refresh" << noRefresh << qint64(3600000) << sha256 << false;
}

void tst_TokenGrants::successfulAnswer()
{
    QFETCH(QString, grant);
    QFETCH(QJsonObject, answer);
    QFETCH(qint64, lifetimeMs);
    QFETCH(int, algorithm);
    QFETCH(bool, zeroWarning);

    Servers s;
    s.token = [answer](const HttpRequest&) { return HttpResponse::json(answer); };
    Client client(s.server.origin());
    client.record().refreshToken = "refresh-0";
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    QSignalSpy loggedIn(&client, &AbstractOAuth2Client::loggedIn);
    QSignalSpy settings(&client, &AbstractOAuth2Client::settingsChanged);
    QSignalSpy errors(&client, &AbstractOAuth2Client::accessTokenError);
    if (zeroWarning)
        QTest::ignoreMessage(QtWarningMsg, "Token expires in 0 seconds. That cannot be right!");
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    if (grant == "code")
        client.fetchAccessTokenUsingAuthorizationCode("c");
    else if (grant == "client")
        client.fetchAccessTokenUsingClientCredentials();
    else
        client.refresh();
    QVERIFY(has.wait());
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QCOMPARE(errors.count(), 0);
    QCOMPARE(loggedIn.count(), grant == "refresh" ? 0 : 1);
    QVERIFY(client.pending().isEmpty());
    const MacToken& token = client.record();
    QCOMPARE(token.accessToken, answer.value("access_token").toString().toUtf8());
    QCOMPARE(token.refreshToken, answer.value("refresh_token").toString());
    QCOMPARE(token.macKey, QByteArray("mac-secret-1"));
    QCOMPARE(int(token.algorithm), algorithm);
    QVERIFY(token.expiryTime >= before + lifetimeMs && token.expiryTime <= after + lifetimeMs);
    QVERIFY(token.issueTime >= before && token.issueTime <= after);

    QCOMPARE(settings.count(), 1);
    const QVariantMap map = settings.at(0).at(0).toMap();
    QCOMPARE(map.keys(), QStringList({ "algorithm", "issue_time", "key", "refresh_token" }));
    QCOMPARE(map.value("algorithm").toString(), answer.value("algorithm").toString());
    QCOMPARE(map.value("key").toString(), QStringLiteral("mac-secret-1"));
    QCOMPARE(map.value("issue_time").toLongLong(), token.issueTime);
    QCOMPARE(map.value("issue_time").userType(), int(QMetaType::LongLong));
    const QString storedRefresh = map.value("refresh_token").toString();
    if (token.refreshToken.size() > 4) // a short token could occur in base64 by chance
        QVERIFY(!storedRefresh.contains(token.refreshToken));
    QCOMPARE(AbstractOAuth2Client::unprotectValue(storedRefresh).toByteArray(), token.refreshToken.toUtf8());
}

void tst_TokenGrants::failureTable_data()
{
    QTest::addColumn<QString>("grant");
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<QString>("error"); // null: no accessTokenError
    QTest::addColumn<bool>("wiped"); // tokens emptied and the empty map emitted
    QTest::addColumn<bool>("disconnected");
    QTest::addColumn<QString>("warning");

    const QString unexpected = QStringLiteral("Unexpected access token response");
    const QString refused = QStringLiteral("Refresh token is not valid anymore");
    QTest::addRow("array")
        << "refresh" << HttpResponse::jsonText("[1,2]") << unexpected << false << false
        << "other than a JSON object";
    QTest::addRow("array with status 500")
        << "refresh" << HttpResponse::jsonText("[1,2]", 500) << "[1,2]" << false << false << "code 500";
    QTest::addRow("201 refresh") << "refresh" << HttpResponse::json(tokenAnswer(), 201) << refused
                                 << true << false << "status 201";
    QTest::addRow("202 code") << "code" << HttpResponse::json(tokenAnswer(), 202)
                              << "Authorization code invalid" << true << false << "status 202";
    QTest::addRow("203 client credentials") << "client" << HttpResponse::json(tokenAnswer(), 203)
                                            << QString() << true << false << "status 203";
    QTest::addRow("400 invalid_request keeps the refresh token")
        << "refresh" << HttpResponse::jsonText("{\n  \"error\": \"invalid_request\"\n}", 400)
        << R"({"error":"invalid_request"})" << false << false << "code 400";
    QTest::addRow("400 invalid_grant revokes")
        << "refresh" << HttpResponse::jsonText(R"({"error": "invalid_grant"})", 400)
        << R"({"error":"invalid_grant"})" << true << true << "invalid_grant";
    QTest::addRow("401 invalid_grant revokes")
        << "refresh" << HttpResponse::jsonText(R"({"error":"invalid_grant"})", 401)
        << R"({"error":"invalid_grant"})" << true << true << "invalid_grant";
    QTest::addRow("400 invalid_grant for a code is a passing failure")
        << "code" << HttpResponse::jsonText(R"({"error":"invalid_grant"})", 400)
        << R"({"error":"invalid_grant"})" << false << false << "code 400";
    QTest::addRow("503 invalid_grant keeps the tokens")
        << "refresh" << HttpResponse::jsonText(R"({"error":"invalid_grant"})", 503)
        << R"({"error":"invalid_grant"})" << false << false << "code 503";
    QTest::addRow("500 text") << "refresh" << HttpResponse::text("boom", 500)
                              << "Response is not a JSON response but text/plain" << false << false
                              << "code 401";
    QTest::addRow("200 html") << "refresh" << HttpResponse::html("<p>hi</p>")
                              << QJsonParseError { 0, QJsonParseError::MissingObject }.errorString()
                              << false << false << "code 11";
    QTest::addRow("empty JSON body") << "refresh" << HttpResponse::jsonText("")
                                     << QJsonParseError { 0, QJsonParseError::IllegalValue }.errorString()
                                     << false << false << "code";
    QTest::addRow("reset mid-body")
        << "refresh" << HttpResponse::resetMidBody(HttpResponse::json(tokenAnswer()), 10)
        << "OK" << false << false << "code"; // the reason phrase: the body could not be parsed
    QTest::addRow("unknown algorithm") << "refresh" << HttpResponse::json(tokenAnswer("a", "r", "hmac-md5"))
                                       << "Invalid MAC algorithm specified" << false << false
                                       << "unsupported MAC algorithm";
}

void tst_TokenGrants::failureTable()
{
    QFETCH(QString, grant);
    QFETCH(HttpResponse, answer);
    QFETCH(QString, error);
    QFETCH(bool, wiped);
    QFETCH(bool, disconnected);
    QFETCH(QString, warning);

    Servers s;
    s.token = [answer](const HttpRequest&) { return answer; };
    Client client(s.server.origin());
    client.record() = MacToken { "old-access", 5, 0, "refresh-0", "old-key", QCryptographicHash::Sha256 };
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    QSignalSpy loggedIn(&client, &AbstractOAuth2Client::loggedIn);
    QSignalSpy settings(&client, &AbstractOAuth2Client::settingsChanged);
    QSignalSpy errors(&client, &AbstractOAuth2Client::accessTokenError);
    QSignalSpy gone(&client, &AbstractOAuth2Client::disconnected);
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));

    if (grant == "code")
        client.fetchAccessTokenUsingAuthorizationCode("c");
    else if (grant == "client")
        client.fetchAccessTokenUsingClientCredentials();
    else
        client.refresh();
    QTRY_VERIFY(client.pending().isEmpty());
    QTest::qWait(20); // nothing more arrives

    QCOMPARE(has.count(), 0);
    QCOMPARE(loggedIn.count(), 0);
    QCOMPARE(errors.count(), error.isNull() ? 0 : 1);
    if (!error.isNull())
        QCOMPARE(errors.at(0).at(0).toString(), error);
    QCOMPARE(gone.count(), disconnected ? 1 : 0);
    if (wiped) {
        QCOMPARE(settings.count(), 1);
        QVERIFY(settings.at(0).at(0).toMap().isEmpty());
        QVERIFY(client.record().refreshToken.isEmpty());
        QVERIFY(client.record().accessToken.isEmpty());
        QVERIFY(client.record().macKey.isEmpty());
    } else {
        QCOMPARE(settings.count(), 0);
        QCOMPARE(client.record().refreshToken, grant == "refresh" || answer.body.contains("md5")
                ? QString(answer.body.contains("md5") ? "r" : "refresh-0")
                : QString("refresh-0"));
        QCOMPARE(client.record().algorithm, QCryptographicHash::Sha256);
    }
    QCOMPARE(client.record().issueTime, qint64(5));
}

void tst_TokenGrants::manyWaitersShareOneGrant()
{
    Servers s;
    Client client(s.server.origin());
    client.record().refreshToken = "refresh-0";
    QList<QPointer<AuthenticatedReply>> replies;
    QList<QSignalSpy*> finished;
    for (int i = 0; i < 5; ++i) {
        auto* reply = client.authenticatedGet(apiRequest(s.server, QString("/api/item/%1").arg(i)));
        replies.append(reply);
        finished.append(new QSignalSpy(reply, &AuthenticatedReply::finished));
    }
    QTRY_COMPARE(s.apiRequests().size(), 5);
    QTest::qWait(50);
    QCOMPARE(s.tokenRequests().size(), 1);
    QCOMPARE(s.apiRequests().size(), 5);
    for (int i = 0; i < 5; ++i) {
        QTRY_COMPARE(finished[i]->count(), 1);
        QCOMPARE(finished[i]->at(0).at(0).value<QJsonDocument>().object().value("ok").toBool(), true);
        delete finished[i];
        delete replies[i];
    }
}

void tst_TokenGrants::authorizationCodeQueuedBehindRefresh()
{
    Servers s;
    Client client(s.server.origin());
    client.record().refreshToken = "refresh-0";
    QSignalSpy loggedIn(&client, &AbstractOAuth2Client::loggedIn);
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    client.ensure(); // a refresh grant is in flight ...
    client.fetchAccessTokenUsingAuthorizationCode("first-code"); // ... so both codes wait
    client.fetchAccessTokenUsingAuthorizationCode("newest-code");
    QTRY_COMPARE(loggedIn.count(), 1);
    QCOMPARE(has.count(), 2);
    const auto grants = s.tokenRequests();
    QCOMPARE(grants.size(), 2);
    QCOMPARE(grants.at(0).formValue("grant_type"), QStringLiteral("refresh_token"));
    QCOMPARE(grants.at(1).formValue("grant_type"), QStringLiteral("authorization_code"));
    QCOMPARE(grants.at(1).formValue("code"), QStringLiteral("newest-code"));
    QTest::qWait(50);
    QCOMPARE(s.tokenRequests().size(), 2);
}

void tst_TokenGrants::refreshAndClientGrantsStayDeduplicated()
{
    Servers s;
    Client client(s.server.origin());
    client.record().refreshToken = "refresh-0";
    QSignalSpy has(&client, &AbstractOAuth2Client::hasAccessToken);
    client.ensure();
    client.fetchAccessTokenUsingClientCredentials();
    client.ensure();
    QVERIFY(has.wait());
    QTest::qWait(50);
    QCOMPARE(s.tokenRequests().size(), 1);
    QCOMPARE(has.count(), 1);
}

void tst_TokenGrants::noSecretInTheLog()
{
    Servers s;
    s.api = [](const HttpRequest&) { return HttpResponse::jsonText(R"({"error":"nope"})", 401); };
    Client client(s.server.origin());
    LogCapture capture;
    QSignalSpy loggedIn(&client, &AbstractOAuth2Client::loggedIn);
    client.fetchAccessTokenUsingAuthorizationCode("the-authorization-code");
    QVERIFY(loggedIn.wait());
    auto* reply = client.authenticatedPost(apiRequest(s.server), "{}");
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QVERIFY(errors.wait());
    QVERIFY(!capture.lines.isEmpty());
    const QString all = capture.lines.join('\n');
    for (const QString& secret : { kClientSecret, QStringLiteral("the-authorization-code"),
             QStringLiteral("access-1"), QStringLiteral("refresh-1"), QStringLiteral("mac-secret-1") })
        QVERIFY2(!all.contains(secret), qPrintable(secret));
    QVERIFY(!all.contains("MAC id"));
}

void tst_TokenGrants::signedRequestOnTheWire_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("body");
    QTest::addRow("get") << int(QNetworkAccessManager::GetOperation) << QByteArray("GET") << QByteArray();
    QTest::addRow("post") << int(QNetworkAccessManager::PostOperation) << QByteArray("POST")
                          << QByteArray(R"({"a":1})");
    QTest::addRow("put") << int(QNetworkAccessManager::PutOperation) << QByteArray("PUT")
                         << QByteArray(R"({"b":[2]})");
    QTest::addRow("delete") << int(QNetworkAccessManager::DeleteOperation) << QByteArray("DELETE")
                            << QByteArray();
}

void tst_TokenGrants::signedRequestOnTheWire()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, body);
    Servers s;
    Client client(s.server.origin());
    client.holdValidToken();
    auto* reply = client.authenticatedRequest(
        QNetworkAccessManager::Operation(operation), apiRequest(s.server, "/api/x?q=1"), body);
    QSignalSpy finished(reply, &AuthenticatedReply::finished);
    QVERIFY(finished.wait());
    const HttpRequest request = s.apiRequests().at(0);
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, QByteArray("/api/x?q=1"));
    QCOMPARE(request.body, body);
    const QByteArray authorization = request.header("Authorization");
    QRegularExpression shape(
        R"re(^MAC id="held-access",nonce="(\d+):[0-9a-f]{40}",bodyhash="([^"]+)",mac="([^"]+)"$)re");
    const auto match = shape.match(QString::fromLatin1(authorization));
    QVERIFY2(match.hasMatch(), authorization.constData());
    QCOMPARE(match.captured(2).toLatin1(),
        QCryptographicHash::hash(body, QCryptographicHash::Sha256).toBase64());
    QCOMPARE(QByteArray::fromBase64(match.captured(3).toLatin1()).size(), 32);
    delete reply;
}

void tst_TokenGrants::laterAnnouncementDoesNotResend()
{
    Servers s;
    Client client(s.server.origin());
    client.holdValidToken();
    auto* reply = client.authenticatedGet(apiRequest(s.server));
    QSignalSpy finished(reply, &AuthenticatedReply::finished);
    QVERIFY(finished.wait());
    emit client.hasAccessToken();
    client.ensure();
    QTest::qWait(50);
    QCOMPARE(s.apiRequests().size(), 1);
    QCOMPARE(finished.count(), 1);
    delete reply;
}

void tst_TokenGrants::answersReachTheCaller_data()
{
    QTest::addColumn<HttpResponse>("answer");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<int>("code");
    QTest::addRow("201 JSON") << HttpResponse::json(QJsonObject { { "id", 7 } }, 201) << true << 0;
    QTest::addRow("404 JSON") << HttpResponse::jsonText(R"({"error":"missing"})", 404) << false << 404;
    QTest::addRow("500 text") << HttpResponse::text("x", 500) << false << int(QNetworkReply::InternalServerError);
    QTest::addRow("200 html") << HttpResponse::html("<p/>") << false << int(QJsonParseError::MissingObject);
    QTest::addRow("refused") << HttpResponse::refuse() << false << int(QNetworkReply::RemoteHostClosedError);
}

void tst_TokenGrants::answersReachTheCaller()
{
    QFETCH(HttpResponse, answer);
    QFETCH(bool, finished);
    QFETCH(int, code);
    Servers s;
    s.api = [answer](const HttpRequest&) { return answer; };
    Client client(s.server.origin());
    client.holdValidToken();
    QPointer<AuthenticatedReply> reply = client.authenticatedPost(apiRequest(s.server), "{}");
    QSignalSpy done(reply, &AuthenticatedReply::finished);
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QTRY_COMPARE(done.count() + errors.count(), 1);
    QCOMPARE(done.count(), finished ? 1 : 0);
    if (!finished) {
        QCOMPARE(errors.at(0).at(1).toInt(), code);
        QTRY_VERIFY(reply.isNull()); // deletes itself after passing on an error
    } else {
        QTest::qWait(20);
        QVERIFY(!reply.isNull()); // belongs to the caller after finished
        delete reply;
    }
}

void tst_TokenGrants::unauthorizedIsRetriedOnce_data()
{
    QTest::addColumn<int>("refusals");
    QTest::addColumn<bool>("jsonBody");
    QTest::addRow("stale token, JSON body") << 1 << true;
    QTest::addRow("stale token, no JSON") << 1 << false;
    QTest::addRow("refused twice") << 2 << true;
}

void tst_TokenGrants::unauthorizedIsRetriedOnce()
{
    QFETCH(int, refusals);
    QFETCH(bool, jsonBody);
    Servers s;
    int refused = 0;
    s.api = [&](const HttpRequest&) {
        if (refused < refusals) {
            ++refused;
            return jsonBody ? HttpResponse::jsonText(R"({"error":"invalid_token"})", 401)
                            : HttpResponse::text("no", 401);
        }
        return HttpResponse::json(QJsonObject { { "ok", true } });
    };
    Client client(s.server.origin());
    client.holdValidToken();
    client.record().refreshToken = "refresh-0";
    QPointer<AuthenticatedReply> reply = client.authenticatedGet(apiRequest(s.server));
    QSignalSpy done(reply, &AuthenticatedReply::finished);
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QTRY_COMPARE(done.count() + errors.count(), 1);
    QTest::qWait(50);
    QCOMPARE(s.apiRequests().size(), 2);
    QCOMPARE(s.tokenRequests().size(), 1); // the stale token was dropped and refreshed once
    QCOMPARE(s.apiRequests().at(1).header("Authorization").contains("id=\"access-1\""), true);
    if (refusals == 1) {
        QCOMPARE(done.count(), 1);
        delete reply;
    } else {
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(1).toInt(), 401);
    }
}

void tst_TokenGrants::tokenErrorAfterFinishedIsIgnored()
{
    Servers s;
    Client client(s.server.origin());
    client.holdValidToken();
    auto* reply = client.authenticatedGet(apiRequest(s.server));
    QSignalSpy done(reply, &AuthenticatedReply::finished);
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QVERIFY(done.wait());
    emit client.accessTokenError("another request's failure");
    QCOMPARE(errors.count(), 0);
    delete reply;
}

void tst_TokenGrants::tokenErrorWhileRunning()
{
    Servers s;
    s.api = [](const HttpRequest&) { return HttpResponse::noAnswer(); };
    Client client(s.server.origin());
    client.holdValidToken();
    QPointer<AuthenticatedReply> reply = client.authenticatedGet(apiRequest(s.server));
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QVERIFY(s.server.waitForRequests(1));
    emit client.accessTokenError("token gone");
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(0).at(1).toInt(), int(QNetworkReply::OperationCanceledError));
    QCOMPARE(errors.at(1).at(0).toString(), QStringLiteral("token gone"));
    QCOMPARE(errors.at(1).at(1).toInt(), 204);
    QTRY_VERIFY(reply.isNull());
}

void tst_TokenGrants::tokenErrorReachesCallerAfterCreation()
{
    Servers s;
    Client client(s.server.origin());
    client.setProperty("clientId", QString());
    QPointer<AuthenticatedReply> reply = client.authenticatedGet(apiRequest(s.server));
    QSignalSpy errors(reply, &AuthenticatedReply::error);
    QCOMPARE(errors.count(), 0); // not lost inside the creating call ...
    QVERIFY(errors.wait()); // ... but delivered right after it
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("No client credentials set"));
    QCOMPARE(errors.at(0).at(1).toInt(), 204);
    QVERIFY(!reply.isNull());
    delete reply;
    QCOMPARE(s.server.requestCount(), 0);
}

void tst_TokenGrants::destroyedWhileRunning()
{
    Servers s;
    s.api = [](const HttpRequest&) { return HttpResponse::noAnswer(); };
    Client client(s.server.origin());
    client.holdValidToken();
    auto* reply = client.authenticatedGet(apiRequest(s.server));
    QVERIFY(s.server.waitForRequests(1));
    delete reply; // aborts and releases the request; LeakSanitizer checks the release
    QTest::qWait(20);
    emit client.accessTokenError("late"); // reaches nothing
}

QTEST_GUILESS_MAIN(tst_TokenGrants)
#include "tst_tokengrants.moc"
