// What the account service makes of every kind of bad answer, endpoint by endpoint: each row is
// one scripted answer and its single outcome (the signal and its message, code or error map) and
// what the store holds afterwards. The rest of the server answers as a good one would.

#include "AccountFixture.h"
#include "AuthenticatedReply.h"
#include "JsonNetworkReply.h"
#include "RegistrationRequestImpl.h"
#include "TestLog.h"

#include <QPointer>
#include <QStandardPaths>
#include <QtTest>

#ifdef ZEL_TEST_POSIX
#include <sys/stat.h>
#endif

using namespace zel;
using namespace zel::test;
using namespace zel::network;
using Reply = zel::test::HttpResponse;
using zel::OAuth2ClientImpl;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

namespace {

const QStringList device { "client_id", "client_secret" },
    tokens { "algorithm", "issue_time", "key", "refresh_token" };
// A refused grant forgets the account and the device; of the seeded keys only the origins stay.
const QStringList forgotten = device + tokens + QStringList { "hostOwned" };

const QByteArray loginPage = "<form method=post><input type=\"hidden\" "
                             "name=\"__anti-forgery-token\" value=\"H\"></form>";
const QString unreachable = "http://127.0.0.1:1/elsewhere"; // a redirect to another host

Reply json(const QByteArray& body, int status = 200) { return Reply::jsonText(body, status); }

// The service, catching the authenticated reply of its manage-account request.
struct Service : OAuth2ClientImpl {
    using OAuth2ClientImpl::OAuth2ClientImpl;
    AuthenticatedReply* post(const QString& path, const QByteArray& data) override
    {
        return lastPost = OAuth2ClientImpl::post(path, data);
    }
    QPointer<AuthenticatedReply> lastPost;
};

// A store seeded with a logged-in device, without the keys in `without` and with those in
// `extra`.
QVariantMap seed(const QStringList& without, const QVariantMap& extra)
{
    QVariantMap seeded { { "client_id", testClientId() },
        { "client_secret", AbstractOAuth2Client::protectValue(testClientSecret()) },
        { "refresh_token", AbstractOAuth2Client::protectValue("refresh-0") }, { "key", "key-0" },
        { "algorithm", "hmac-sha-256" }, { "issue_time", qint64(5) }, { "hostOwned", 1 } };
    for (const QString& key : without)
        seeded.remove(key);
    seeded.insert(extra);
    return seeded;
}

// The service on a seeded store, against a server that answers `route` ("METHOD /path") as the
// row says and the rest of the flow under test well.
struct Bench : ServiceFixture<Service> {
    QVariantMap seeded;
    std::vector<std::unique_ptr<QSignalSpy>> spies; // of the signals that count as an outcome

    Bench(const QByteArray& route, const Reply& answer, const QStringList& without = {},
        const QVariantMap& extra = {})
        : Bench(seed(without, extra), route, answer)
    {
    }
    Bench(const QVariantMap& store, const QByteArray& route, const Reply& answer)
        : ServiceFixture(false, store)
        , seeded(store) // protected values differ each time: seeded once
    {
        seeded.insert("oauthServer", server.origin());
        seeded.insert("apiServer", server.origin());
        answers = { { "POST /oauth/token", tokenAnswer() },
            { "POST /oauth/credentials", credentialsAnswer() },
            { "GET /login", Reply::html(loginPage) },
            { "GET /register",
                Reply::html(loginPage).withHeader(
                    "Set-Cookie", "__anti-forgery-token=T; Path=/") } };
        answers[route] = answer;
        api = [](const HttpRequest&) { return Reply::text("unexpected", 404); };
    }
    template <typename Object, typename Signal> void watch(const Object* object, Signal signal)
    {
        spies.push_back(std::make_unique<QSignalSpy>(object, signal));
    }
    template <typename Signal> void watch(Signal signal) { watch(client.get(), signal); }
    // The name and the arguments of every emission; a row expects exactly one.
    QList<std::pair<QString, QVariantList>> emitted() const
    {
        QList<std::pair<QString, QVariantList>> all;
        for (const auto& spy : spies)
            for (const QVariantList& arguments : *spy)
                all.append({ spy->signal().left(spy->signal().indexOf('(')), arguments });
        return all;
    }

    // Waits for the outcome, then checks it (its argument at `index` if detail is valid) and the
    // store: the keys in `gone` absent, every other seeded key not in `rewritten` as seeded.
    void verify(const QString& signal, const QVariant& detail, const QStringList& gone,
        const QStringList& rewritten = {}, int index = 0)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!emitted().isEmpty() || signal.isEmpty(), 10000);
        const int expected = signal.isEmpty() ? 0 : 1; // and nothing more arrives
        QVERIFY(!QTest::qWaitFor([&] { return emitted().size() > expected; }, expected ? 30 : 300));
        const auto [name, arguments] = emitted().value(0);
        QCOMPARE(name, signal);
        if (detail.isValid())
            QCOMPARE(arguments.value(index), detail);
        QSettings stored(settings->fileName(), QSettings::IniFormat);
        for (auto it = seeded.cbegin(); it != seeded.cend(); ++it) {
            if (gone.contains(it.key()))
                QVERIFY2(!stored.contains(it.key()), qPrintable(it.key()));
            else if (!rewritten.contains(it.key()))
                QVERIFY2(stored.value(it.key()) == it.value(), qPrintable(it.key()));
        }
    }
};

} // namespace

class tst_badanswers : public QObject {
    Q_OBJECT

private slots:
    // None of the log may hold a secret of the seeded store or the good answers.
    void initTestCase() { watchLog(); }
    void cleanupTestCase()
    {
        const auto leak = QRegularExpression("s3cret|refresh-[01]|key-0|access-token-1|mac-key-1|"
                                             "abc|pw")
                              .match(logLines().join('\n'));
        QVERIFY2(!leak.hasMatch(), qPrintable(leak.captured()));
    }

    void tokenEndpoint_data();
    void tokenEndpoint();
    void deviceCredentials_data();
    void deviceCredentials();
    void loginPages_data();
    void loginPages();
    void registration_data();
    void registration();
    void pubNub();
    void loginToken_data();
    void loginToken();
    void apiCall_data();
    void apiCall();
    void callOnRefusedGrant();
#ifdef ZEL_TEST_POSIX // a key directory's mode
    void unprotectableValues();
#endif
};

// The three grants. refresh: a logged-in device whose access token ran out; code: a login's
// code arrives; client: the activation check of a registered account at start.
void tst_badanswers::tokenEndpoint_data()
{
    QTest::addColumn<QString>("grant");
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QString>("signal"); // empty: none but the store's change
    QTest::addColumn<QVariant>("message");
    QTest::addColumn<QStringList>("gone"); // from the store
    QTest::addColumn<LoginState>("state"); // afterwards
    QTest::addColumn<ErrorKind>("kind"); // of accessTokenFailed; NoError: none comes

    const QVariant none;
    const QString refusedRefresh = "Refresh token is not valid anymore";
    const QByteArray good = tokenAnswer().body;
    const auto row = [](const char* name, const char* grant, const Reply& answer,
                         const QString& signal, const QVariant& message, const QStringList& gone,
                         LoginState state, ErrorKind kind = ErrorKind::NoError) {
        QTest::addRow("%s: %s", grant, name)
            << QString(grant) << answer << signal << message << gone << state << kind;
    };
    const ErrorKind refused = ErrorKind::LoginRefused, unexpected = ErrorKind::UnexpectedAnswer;
    const QString granted = "hasAccessToken", failed = "accessTokenError";
    // A refresh answer without a refresh token keeps the stored one: tst_tokengrants.
    row("granted", "refresh", tokenAnswer(), granted, none, {}, LoggedIn);
    // Revoked: the session ends, the device and the host's configuration stay.
    row("invalid_grant", "refresh", json(R"({"error":"invalid_grant"})", 400), failed,
        R"({"error":"invalid_grant"})", tokens, LoggedOut, refused);
    // Any other failure keeps the tokens (the messages are tst_jsonnetworkreply's).
    row("invalid_request", "refresh", json(R"({"error":"invalid_request"})", 400), failed,
        R"({"error":"invalid_request"})", {}, LoggedIn, ErrorKind::RefusedByServer);
    // Refused as a finished answer: the account and the device go, the origins stay.
    row("201", "refresh", json(good, 201), failed, refusedRefresh, forgotten, LoggedIn, refused);
    row("302 with JSON to another host", "refresh",
        json(good, 302).withHeader("Location", unreachable.toLatin1()), failed, refusedRefresh,
        forgotten, LoggedIn, refused);
    row("array", "refresh", json("[1]"), failed, "Unexpected access token response", {}, LoggedIn,
        unexpected);
    row("unknown MAC algorithm", "refresh", json(QByteArray(good).replace("sha-256", "md5")),
        failed, "Invalid MAC algorithm specified", {}, LoggedIn, unexpected);
    // The client's credentials refused although sent up front: the grant fails once.
    row("401 to the credentials sent", "refresh",
        json(R"({"error":"invalid_client"})", 401)
            .withHeader("WWW-Authenticate", "Basic realm=\"t\""),
        failed, R"({"error":"invalid_client"})", {}, LoggedIn, ErrorKind::RefusedByServer);
    row("202", "code", json(good, 202), failed, "Authorization code invalid", forgotten, LoggedOut,
        refused);
    // An account that waits for its activation mail stays waiting when the check is refused;
    // invalid_grant revokes only a refresh token.
    row("granted", "client", tokenAnswer(), granted, none, { "pendingActivation" }, LoggedIn);
    row("203", "client", json(good, 203), QString(), none, forgotten, PendingActivation, refused);
    row("invalid_grant", "client", json(R"({"error":"invalid_grant"})", 401), failed,
        R"({"error":"invalid_grant"})", {}, PendingActivation, ErrorKind::RefusedByServer);
}

void tst_badanswers::tokenEndpoint()
{
    QFETCH(QString, grant);
    QFETCH(Reply, answer);
    QFETCH(QString, signal);
    QFETCH(QVariant, message);
    QFETCH(QStringList, gone);
    QFETCH(LoginState, state);
    QFETCH(ErrorKind, kind);
    const QVariantMap pending { { "pendingActivation", "anna@example.com" } };
    Bench bench("POST /oauth/token", answer, grant == "refresh" ? QStringList() : tokens,
        grant == "client" ? pending : QVariantMap());
    bench.watch(&AbstractOAuth2Client::hasAccessToken);
    // Each refusal is logged once, naming the grant.
    const char* grantType = grant == "refresh" ? "refresh_token"
        : grant == "code"                      ? "authorization_code"
                                               : "client_credentials";
    if (signal != "hasAccessToken")
        expectWarning(
            QRegularExpression(QString("^Token request \\w+: \"?%1\"? grant").arg(grantType)));
    bench.watch(&AbstractOAuth2Client::accessTokenError);
    QSignalSpy states(bench.client.get(), &OAuth2ClientImpl::loginStateChanged);
    QSignalSpy disconnected(bench.client.get(), &AbstractOAuth2Client::disconnected);
    QSignalSpy kinds(bench.client.get(), &AbstractOAuth2Client::accessTokenFailed);
    if (grant == "refresh")
        bench.client->ensureAccessToken();
    else if (grant == "code")
        bench.client->fetchAccessTokenUsingAuthorizationCode("abc");
    bench.verify(signal, message, gone, signal == "hasAccessToken" ? tokens : QStringList());
    QCOMPARE(bench.client->loginState(), state);
    QCOMPARE(bench.server.requestCount(), 1); // nothing is asked again
    QCOMPARE(kinds.count(), int(kind != ErrorKind::NoError));
    if (!kinds.isEmpty())
        QCOMPARE(kinds.at(0).at(0).value<ErrorKind>(), kind);
    // A revoked session announces the state, then the disconnection.
    const bool revoked = grant == "refresh" && state == LoggedOut;
    QCOMPARE(disconnected.count(), int(revoked));
    QCOMPARE(states.count(), int(revoked || (grant != "refresh" && signal == "hasAccessToken")));
    if (grant == "refresh" && signal == "hasAccessToken")
        QCOMPARE(bench.record().refreshToken, "refresh-token-1");
}

// The device registration refused, for a store without client credentials (granted:
// tst_loginflow).
void tst_badanswers::deviceCredentials_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QString>("message");
    QTest::addColumn<ErrorKind>("kind");

    QTest::addRow("no secret") << json(R"({"client_id":"c"})", 201) << "Invalid server response"
                               << ErrorKind::UnexpectedAnswer;
    QTest::addRow("500 JSON") << json(R"({"error":"down"})", 500)
                              << "Could not fetch client credentials from server"
                              << ErrorKind::RefusedByServer;
}

void tst_badanswers::deviceCredentials()
{
    QFETCH(Reply, answer);
    QFETCH(QString, message);
    QFETCH(ErrorKind, kind);
    Bench bench("POST /oauth/credentials", answer, device + tokens);
    QSignalSpy kinds(bench.client.get(), &OAuth2ClientImpl::credentialsFailed);
    bench.watch(&OAuth2ClientImpl::credentialsFetched);
    bench.watch(&OAuth2ClientImpl::credentialsFailure);
    expectWarning(QRegularExpression("^Device registration (failed|answered 201 without)"));
    bench.client->fetchClientCredentials();
    bench.verify("credentialsFailure", message, device + tokens);
    QVERIFY(bench.client->clientId().isEmpty());
    QCOMPARE(kinds.value(0).value(0).value<ErrorKind>(), kind);
}

// The login post's answers, as today's flow judges them (the form's fetch, refusals, redirects,
// page sizes and flash errors are tst_loginflow's).
void tst_badanswers::loginPages_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QString>("message"); // null: logged in

    // The code is decoded once from the redirect and encoded once for the token request.
    QTest::addRow("code with escapes")
        << Reply::redirect("zel://authorize?code=ab%2541%2Bc%26d%3De%20f") << QString();
    QTest::addRow("no code") << Reply::redirect("zel://authorize?state=x")
                             << "Authorization code error";
    QTest::addRow("200 page") << Reply::html("again") << "200 - OK\nagain";
}

void tst_badanswers::loginPages()
{
    QFETCH(Reply, answer);
    QFETCH(QString, message);
    Bench bench("POST /login", answer, tokens);
    bench.watch(&AbstractOAuth2Client::loggedIn);
    bench.watch(&OAuth2ClientImpl::loginError);
    bench.client->login("anna@example.com", "pw");
    const bool loggedIn = message.isNull();
    bench.verify(loggedIn ? "loggedIn" : "loginError", loggedIn ? QVariant() : message, {}, tokens);
    const QList<HttpRequest> grants = requestsTo(bench.server, "POST", "/oauth/token");
    QCOMPARE(grants.size(), int(loggedIn));
    if (loggedIn)
        QCOMPARE(grants.last().body,
            "grant_type=authorization_code&code=ab%2541%2Bc%26d%3De%20f&redirect_uri=zel%3A%2F%2F"
            "authorize");
}

// The registration form's fetch and its post, refused (accepted: tst_registrationflow).
void tst_badanswers::registration_data()
{
    QTest::addColumn<QByteArray>("route");
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QVariantMap>("errors");

    const auto row = [](const char* name, const char* route, const Reply& answer, const char* key,
                         const char* reason) {
        QTest::newRow(name) << QByteArray(route) << answer << QVariantMap { { key, reason } };
    };
    // Without a reason phrase (HTTP/2 has none): the status's standard text, or its number.
    row("form 404", "GET /register", Reply::html("", 404).withReason(""), "_network", "Not Found");
    row("form 499", "GET /register", Reply::html("", 499).withReason(""), "_network", "HTTP 499");
    row("post redirect to another host", "POST /register",
        Reply::redirect(unreachable.toLatin1() + "/checkyouremails").withReason(""), "_server",
        "Found");
    row("post error not text", "POST /register", json(R"({"email":[{"error":5}]})", 422), "email",
        "");
}

void tst_badanswers::registration()
{
    QFETCH(QByteArray, route);
    QFETCH(Reply, answer);
    QFETCH(QVariantMap, errors);
    Bench bench(route, answer, tokens);
    QPointer<QObject> request = bench.client->createRegistrationRequest()->object();
    auto* registration = qobject_cast<zel::RegistrationRequestImpl*>(request);
    bench.watch(registration, &zel::RegistrationRequestImpl::finished);
    bench.watch(registration, &zel::RegistrationRequestImpl::failed);
    for (const char* field : { "email", "firstName", "lastName", "country" })
        request->setProperty(field, "x");
    registration->setPassword("x");
    registration->send();
    bench.verify("failed", errors, {});
    QVERIFY(!bench.settings->contains("pendingActivation"));
}

// The PubNub configuration refused: the reply's error code. The client credentials go up front
// (a challenge would turn the code into 401); the good answer is the end-to-end suite's, the
// reply's other outcomes are tst_jsonnetworkreply's.
void tst_badanswers::pubNub()
{
    Bench bench("GET /config/pubnub", json(R"({"e":1})", 500));
    std::unique_ptr<QObject> reply(bench.client->fetchPubNubConfig()->object());
    bench.watch(reply.get(), SIGNAL(finished(int, QJsonDocument)));
    bench.watch(reply.get(), SIGNAL(error(QString, int)));
    bench.verify("error", 500, {}, {}, 1);
    QCOMPARE(bench.server.requests().value(0).header("Accept"), "application/json");
}

// The manage-account URL, or one failure report.
void tst_badanswers::loginToken_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QVariant>("detail"); // the URL after the origin, or the message

    const QString noToken = "The server's answer holds no login token";
    const auto failed = [](const char* name, const Reply& answer, const QVariant& message) {
        QTest::newRow(name) << answer << "manageAccountOnlineUrlFailed" << message;
    };
    QTest::newRow("token") << json(R"({"token":"abc"})") << "manageAccountOnlineUrlReady"
                           << QVariant("/integration?login-token=abc");
    QTest::newRow("token to encode")
        << json(R"({"token":"a+b/c=&d#e f"})") << "manageAccountOnlineUrlReady"
        << QVariant("/integration?login-token=a%2Bb%2Fc%3D%26d%23e%20f");
    failed("array", json(R"(["abc"])"), noToken);
    failed("500 JSON", json(R"({"error":"down"})", 500), R"({"error":"down"})");
    failed("401 twice", json(R"({"error":"token"})", 401), R"({"error":"token"})");
}

void tst_badanswers::loginToken()
{
    QFETCH(Reply, answer);
    QFETCH(QString, signal);
    QFETCH(QVariant, detail);
    Bench bench("POST /login-token", answer);
    bench.watch(&OAuth2ClientImpl::manageAccountOnlineUrlReady);
    bench.watch(&OAuth2ClientImpl::manageAccountOnlineUrlFailed);
    if (signal.endsWith("Failed"))
        expectWarning(QRegularExpression("^Manage-account URL request (failed|answered without)"));
    bench.client->requestManageAccountOnlineUrl();
    const QVariant expected = signal.endsWith("Ready")
        ? QVariant(QUrl(bench.server.origin() + detail.toString()))
        : detail;
    bench.verify(signal, expected, {}, tokens);
    QTRY_VERIFY(bench.client->lastPost.isNull()); // released, whatever the outcome
}

// API calls refused: the reply's error code (the host's data passed on: tst_tokengrants).
void tst_badanswers::apiCall_data()
{
    QTest::addColumn<Reply>("answer");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("calls"); // sent to the API

    QTest::addRow("huge number") << json("[1e999999]") << int(QJsonParseError::IllegalNumber) << 1;
    QTest::addRow("500 JSON") << json(R"({"e":1})", 500) << 500 << 1;
    QTest::addRow("401 twice") << json("{}", 401) << 401 << 2;
    QTest::addRow("redirect to another host")
        << Reply::redirect(unreachable.toLatin1()) << int(QJsonParseError::MissingObject) << 1;
}

void tst_badanswers::apiCall()
{
    QFETCH(Reply, answer);
    QFETCH(int, code);
    QFETCH(int, calls);
    Bench bench("GET /api", answer);
    QPointer<AuthenticatedReply> reply = bench.client->get("/api");
    bench.watch(reply.data(), &AuthenticatedReply::finished);
    bench.watch(reply.data(), &AuthenticatedReply::error);
    bench.verify("error", code, {}, tokens, 1);
    QCOMPARE(requestsTo(bench.server, "GET", "/api").size(), calls);
    QTRY_VERIFY(reply.isNull()); // released after its error
}

// A call waiting for a token ends when its grant is refused, also the client-credentials grant
// whose refusal the host learns of from the emptied store alone.
void tst_badanswers::callOnRefusedGrant()
{
    Bench bench("POST /oauth/token", json(tokenAnswer().body, 203), tokens);
    expectWarning(QRegularExpression("^Token request finished: \"?client_credentials\"? grant"));
    QPointer<AuthenticatedReply> reply = bench.client->get("/api");
    bench.watch(reply.data(), &AuthenticatedReply::finished);
    bench.watch(reply.data(), &AuthenticatedReply::error);
    bench.watch(&AbstractOAuth2Client::accessTokenError);
    bench.verify("error", int(AuthenticatedReply::NoAccessToken), forgotten, {}, 1);
    QVERIFY(requestsTo(bench.server, "GET", "/api").isEmpty());
    QTRY_VERIFY(reply.isNull());
}

#ifdef ZEL_TEST_POSIX
// A value that cannot be protected (here: the key directory open to others) is never written
// over the stored one, and the host hears of it; the session goes on in memory.
void tst_badanswers::unprotectableValues()
{
    const QByteArray keyDirectory = QFile::encodeName(
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/zel");
    Bench bench("POST /oauth/token", tokenAnswer());
    bench.watch(&OAuth2ClientImpl::loginError);
    QSignalSpy granted(bench.client.get(), &AbstractOAuth2Client::hasAccessToken);
    QSignalSpy credentials(bench.client.get(), &OAuth2ClientImpl::credentialsFailure);
    struct Restore {
        QByteArray path;
        ~Restore() { ::chmod(path.constData(), 0700); }
    } restore { keyDirectory };
    QVERIFY(!bench.client->clientSecret().isEmpty()); // unprotected on first use: before that
    QCOMPARE(::chmod(keyDirectory.constData(), 0755), 0);
    const QRegularExpression refused("^Could not (un)?protect a( stored)? value: key directory");
    for (int i = 0; i < 3; ++i) // the refresh token, the client secret, and reading it back
        expectWarning(refused);
    expectWarning("\"Could not protect the refresh token; it was not saved, so the login lasts "
                  "only for this session\"");
    expectWarning("Device registered, but its client secret could not be protected");
    bench.client->fetchAccessTokenUsingAuthorizationCode("abc");
    QVERIFY(granted.wait());
    // Device credentials of a new registration: neither half of the pair is written.
    bench.client->setProperty("clientSecret", QString());
    bench.client->fetchClientCredentials();
    QVERIFY(credentials.wait());
    QCOMPARE(::chmod(keyDirectory.constData(), 0700), 0);
    bench.verify("loginError",
        "Could not protect the refresh token; it was not saved, so the login lasts only for this "
        "session",
        { "refresh_token" }, { "algorithm", "issue_time", "key" }); // no old token, new key
    QCOMPARE(bench.record().refreshToken, "refresh-token-1");
    QCOMPARE(credentials.at(0).at(0).toString(),
        "Could not protect the client secret; the device credentials were not saved");
    QVERIFY(bench.client->clientId().isEmpty() && bench.client->clientSecret().isEmpty());
}
#endif

QTEST_GUILESS_MAIN(tst_badanswers)
#include "tst_badanswers.moc"
