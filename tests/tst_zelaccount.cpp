// The command-line host as its users see it: the built zel-account run as a process against a
// scripted server that plays both the OAuth/web server and the API server.

#include "ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using zel::test::HttpRequest;
using zel::test::HttpResponse;
using zel::test::ScriptedHttpServer;

namespace {

const QString email = QStringLiteral("anna@example.org");
const QString password = QStringLiteral("correct horse");
const QString clientId = QStringLiteral("client-1");
const QString clientSecret = QStringLiteral("client-secret-Zq81");
const QByteArray antiForgeryToken = "aft-Kd93";
const QByteArray authorizationCode = "code-Pw52";

// Every value that must never reach a log line or the settings file in clear.
const QList<QByteArray> secrets = { password.toUtf8(), clientSecret.toUtf8(), authorizationCode,
    "refresh-Rt11", "refresh-Rt22", "access-At11", "access-At22", "mackey-Mk11", "mackey-Mk22" };

struct Result {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 elapsedMs = 0;
};

// The account server: device registration, the login form with its anti-forgery cookie, the
// token endpoint behind a Basic challenge, and one API resource that wants a MAC token.
HttpResponse accountServer(const HttpRequest& request)
{
    const QString path = request.decodedPath();
    if (path == QLatin1String("/oauth/credentials") && request.method == "POST")
        return HttpResponse::json(
            QJsonObject { { "client_id", clientId }, { "client_secret", clientSecret } });
    if (path == QLatin1String("/login") && request.method == "GET") {
        if (request.queryItem("client_id") != clientId)
            return HttpResponse::text("unknown client", 400);
        return HttpResponse::html(
            "<form method=post><input type=hidden name=\"__anti-forgery-token\" "
            "value=\""
            + antiForgeryToken + "\"></form>")
            .withHeader("Set-Cookie", "__anti-forgery-token=" + antiForgeryToken + "; Path=/");
    }
    if (path == QLatin1String("/login") && request.method == "POST") {
        if (!request.header("Cookie").contains("__anti-forgery-token=" + antiForgeryToken)
            || request.formValue("__anti-forgery-token") != QString::fromLatin1(antiForgeryToken))
            return HttpResponse::text("forged", 403);
        if (request.formValue("identifier") != email || request.formValue("password") != password)
            return HttpResponse::html("<form></form>")
                .withHeader("Set-Cookie", "flash-error=Wrong+password%21; Path=/");
        return HttpResponse::redirect("zel://authorize?code=" + authorizationCode + "&state=x");
    }
    if (path == QLatin1String("/oauth/token")) {
        return ScriptedHttpServer::requireBasicAuth(
            clientId, clientSecret, [](const HttpRequest& r) {
                const QString grant = r.formValue("grant_type");
                QByteArray n;
                if (grant == QLatin1String("authorization_code")
                    && r.formValue("code") == authorizationCode)
                    n = "11";
                else if (grant == QLatin1String("refresh_token")
                    && r.formValue("refresh_token") == "refresh-Rt11")
                    n = "22";
                else
                    return HttpResponse::json(QJsonObject { { "error", "invalid_grant" } }, 400);
                return HttpResponse::json(
                    QJsonObject { { "access_token", QString("access-At" + n) },
                        { "refresh_token", QString("refresh-Rt" + n) }, { "expires_in", 3600 },
                        { "secret", QString("mackey-Mk" + n) }, { "algorithm", "hmac-sha-256" },
                        { "token_type", "mac" } });
            })(request);
    }
    if (path == QLatin1String("/me") && request.method == "GET") {
        if (!request.header("Authorization").startsWith("MAC id=\"access-At22\""))
            return HttpResponse::json(QJsonObject { { "error", "unauthorized" } }, 401);
        return HttpResponse::json(QJsonObject { { "name", "Anna" } });
    }
    if (path == QLatin1String("/register") && request.method == "GET")
        return HttpResponse::html("<form></form>")
            .withHeader("Set-Cookie", "__anti-forgery-token=" + antiForgeryToken + "; Path=/");
    if (path == QLatin1String("/register") && request.method == "POST")
        return HttpResponse::jsonText(R"({"email":[{"error":"taken"}]})", 422);
    return HttpResponse::text("not here", 404);
}

} // namespace

class tst_ZelAccount : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void usageErrors_data();
    void usageErrors();
    void statusOfEmptySettings();
    void loginCallAndLogout();
    void wrongPassword();
    void registrationErrorsOnStdout();
    void timeoutWhenTheServerNeverAnswers();

private:
    // Runs zel-account while this process's event loop keeps the scripted server answering.
    Result run(
        QStringList arguments, const QByteArray& input = QByteArray(), bool withServer = true);
    QJsonObject runJson(const QStringList& arguments, const QByteArray& input = QByteArray());

    QString program;
    QTemporaryDir dir;
    QString settingsFile;
    ScriptedHttpServer server { accountServer };
};

void tst_ZelAccount::initTestCase()
{
    program = qEnvironmentVariable("ZEL_BINARY_DIR") + QStringLiteral("/bin/zel-account");
    QVERIFY2(QFile::exists(program), qPrintable(program));
    QVERIFY(dir.isValid());
    QVERIFY(server.isListening());
    settingsFile = dir.filePath("zel-account.ini");
}

Result tst_ZelAccount::run(QStringList arguments, const QByteArray& input, bool withServer)
{
    if (withServer) {
        arguments = QStringList { "--settings", settingsFile, "--oauth-server", server.origin(),
            "--api-server", server.origin() }
            + arguments;
    }
    QProcess process;
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    Result result;
    if (!process.waitForStarted(10000))
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.elapsedMs = clock.elapsed();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QJsonObject tst_ZelAccount::runJson(const QStringList& arguments, const QByteArray& input)
{
    const Result result = run(arguments, input);
    if (result.exitCode != 0)
        qWarning() << "exit" << result.exitCode << result.err;
    return QJsonDocument::fromJson(result.out).object();
}

void tst_ZelAccount::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addRow("no command") << QStringList() << QByteArray();
    QTest::addRow("unknown command") << QStringList { "frobnicate" } << QByteArray();
    QTest::addRow("login without e-mail") << QStringList { "login" } << QByteArray();
    QTest::addRow("get without path") << QStringList { "get" } << QByteArray();
    QTest::addRow("extra argument") << QStringList { "status", "now" } << QByteArray();
    QTest::addRow("bad flag") << QStringList { "--frobnicate", "status" } << QByteArray();
    QTest::addRow("flag of another command")
        << QStringList { "status", "--newsletter" } << QByteArray();
    QTest::addRow("timeout not a number")
        << QStringList { "--timeout", "soon", "status" } << QByteArray();
    QTest::addRow("server origin with a path")
        << QStringList { "--api-server", "https://h/x", "status" } << QByteArray();
    QTest::addRow("path without slash") << QStringList { "get", "evil.example/me" } << QByteArray();
    QTest::addRow("body not JSON") << QStringList { "post", "/me", "{nope" } << QByteArray();
    QTest::addRow("body on stdin not JSON") << QStringList { "put", "/me" } << QByteArray("nope");
    QTest::addRow("register without names")
        << QStringList { "register", "--email", email, "--password-stdin" } << QByteArray("pw\n");
    QTest::addRow("login, password from a pipe without --password-stdin")
        << QStringList { "login", email } << password.toUtf8();
    QTest::addRow("login, --password-stdin on empty input")
        << QStringList { "login", email, "--password-stdin" } << QByteArray();
}

void tst_ZelAccount::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    const QString untouched = dir.filePath("untouched.ini");
    const Result result = run(QStringList { "--settings", untouched } + arguments, input, false);
    QCOMPARE(result.exitCode, 2);
    QVERIFY(result.out.isEmpty());
    QVERIFY(!result.err.isEmpty());
    QVERIFY2(!QFile::exists(untouched), "a usage error must not start the plug-in");
    QVERIFY(!result.err.contains(password.toUtf8()));
}

void tst_ZelAccount::statusOfEmptySettings()
{
    const QString empty = dir.filePath("empty.ini");
    const Result result = run({ "--settings", empty, "status" }, QByteArray(), false);
    QCOMPARE(result.exitCode, 0);
    const QJsonObject status = QJsonDocument::fromJson(result.out).object();
    QCOMPARE(status.value("loginState").toString(), QStringLiteral("LoggedOut"));
    QCOMPARE(status.value("loginStateValue").toInt(-1), 0);
    QCOMPARE(status.value("isLoggedIn").toBool(true), false);
    QCOMPARE(status.value("clientId").toString("x"), QString());
    QCOMPARE(status.value("pendingActivationEmail").toString("x"), QString());
}

void tst_ZelAccount::loginCallAndLogout()
{
    QFile::remove(settingsFile);
    server.clearRequests();
    const Result login
        = run({ "--verbose", "login", email, "--password-stdin" }, password.toUtf8() + "\n");
    QVERIFY2(login.exitCode == 0, login.err.constData());
    QCOMPARE(QJsonDocument::fromJson(login.out).object().value("loginState").toString(),
        QStringLiteral("LoggedIn"));

    QJsonObject status = runJson({ "status" });
    QCOMPARE(status.value("isLoggedIn").toBool(), true);
    QCOMPARE(status.value("loginState").toString(), QStringLiteral("LoggedIn"));
    QCOMPARE(status.value("clientId").toString(), clientId);

    // A new process holds no access token: the call refreshes it and then signs the request.
    server.clearRequests();
    const Result call = run({ "--verbose", "get", "/me" });
    QVERIFY2(call.exitCode == 0, call.err.constData());
    QCOMPARE(QJsonDocument::fromJson(call.out).object(), QJsonObject({ { "name", "Anna" } }));
    QCOMPARE(server.lastRequest().decodedPath(), QStringLiteral("/me"));

    const Result quiet = run({ "status" });
    QVERIFY2(call.err.count('\n') > quiet.err.count('\n') + 3, "--verbose shows the debug log");
    QFile file(settingsFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray stored = file.readAll();
    file.close();
    QVERIFY(stored.contains("refresh_token"));
    for (const QByteArray& secret : secrets) {
        QVERIFY2(!login.err.contains(secret) && !call.err.contains(secret), secret.constData());
        QVERIFY2(!login.out.contains(secret) && !call.out.contains(secret), secret.constData());
        // The MAC key is stored as the token store defines it; every other secret is sealed.
        if (!secret.startsWith("mackey"))
            QVERIFY2(!stored.contains(secret), secret.constData());
    }
    QVERIFY(!(file.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther)));

    const Result logout = run({ "logout" });
    QCOMPARE(logout.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(logout.out).object().value("loginState").toString(),
        QStringLiteral("LoggedOut"));
    // The account is gone; where the servers are is the host's configuration and stays.
    QSettings after(settingsFile, QSettings::IniFormat);
    QCOMPARE(after.allKeys(), QStringList({ "apiServer", "oauthServer" }));
    QCOMPARE(after.value("oauthServer").toString(), server.origin());
    status = QJsonDocument::fromJson(run({ "--settings", settingsFile, "status" }, {}, false).out)
                 .object();
    QCOMPARE(status.value("isLoggedIn").toBool(true), false);
    QCOMPARE(status.value("clientId").toString("x"), QString());

    // So a new login without the server options goes to the same server.
    server.clearRequests();
    const Result again = run({ "--settings", settingsFile, "login", email, "--password-stdin" },
        password.toUtf8() + "\n", false);
    QVERIFY2(again.exitCode == 0, again.err.constData());
    QVERIFY(server.requestCount() >= 4);
}

void tst_ZelAccount::wrongPassword()
{
    QFile::remove(settingsFile);
    const Result result = run({ "login", email, "--password-stdin" }, "wrong horse\n");
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.out.isEmpty());
    QVERIFY2(result.err.contains("Wrong password!"), result.err.constData());
    QCOMPARE(runJson({ "status" }).value("isLoggedIn").toBool(true), false);
}

void tst_ZelAccount::registrationErrorsOnStdout()
{
    QFile::remove(settingsFile);
    const Result result = run({ "register", "--email", email, "--first-name", "Anna", "--last-name",
                                  "Berg", "--country", "Sweden", "--password-stdin" },
        password.toUtf8() + "\n");
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(QJsonDocument::fromJson(result.out).object(), QJsonObject({ { "email", "taken" } }));
    QCOMPARE(server.lastRequest().formValue("first-name"), QStringLiteral("Anna"));
}

void tst_ZelAccount::timeoutWhenTheServerNeverAnswers()
{
    QFile::remove(settingsFile);
    server.clearRequests();
    server.setHandler([](const HttpRequest&) { return HttpResponse::noAnswer(); });
    const Result result
        = run({ "--timeout", "1", "login", email, "--password-stdin" }, password.toUtf8() + "\n");
    server.setHandler(accountServer);
    server.closeConnections();
    QCOMPARE(result.exitCode, 1);
    QVERIFY(result.out.isEmpty());
    QVERIFY2(
        result.elapsedMs >= 1000 && result.elapsedMs < 15000, QByteArray::number(result.elapsedMs));
    QVERIFY2(server.requestCount() > 0, "the command waited on a request the server held");
}

QTEST_GUILESS_MAIN(tst_ZelAccount)
#include "tst_zelaccount.moc"
