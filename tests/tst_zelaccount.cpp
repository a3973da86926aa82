// The command-line host as its users see it: the built zel-account run as a process against a
// scripted server that plays both the OAuth/web server and the API server. The whole account
// life against the dev server is the end-to-end suite's; this covers what it cannot provoke.

#include "ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace zel::test;

namespace {

const QString clientId = "client-1", clientSecret = "client-secret-Zq8";
const QByteArray password = "correct horse";
// Every value that must never reach zel-account's output; all but the MAC keys (which the store
// keeps as they are) must not reach the settings file in clear either.
const QList<QByteArray> secrets = { password, clientSecret.toUtf8(), "code-Pw52", "refresh-Rt11",
    "refresh-Rt22", "access-At11", "access-At22", "mackey-Mk11", "mackey-Mk22" };

struct Result {
    int exitCode;
    QByteArray out, err;
};

// Device registration; the login form, whose right password gives a code and whose wrong one a
// flash error; the token endpoint (its Basic challenge is the end-to-end suite's), where any code
// gives tokens "11" and their refresh token tokens "22"; a resource that wants the MAC token "22";
// and else a page.
HttpResponse accountServer(const HttpRequest& r)
{
    const QString n = r.formValue("refresh_token") == "refresh-Rt11" ? "22" : "11";
    if (r.path == "/oauth/credentials")
        return HttpResponse::json(
            QJsonObject { { "client_id", clientId }, { "client_secret", clientSecret } });
    if (r.path == "/login" && r.method == "POST")
        return r.formValue("password") == password
            ? HttpResponse::redirect("zel://authorize?code=code-Pw52&state=x")
            : HttpResponse::html("").withHeader("Set-Cookie", "flash-error=Wrong+password%21");
    if (r.path == "/oauth/token")
        return HttpResponse::json(QJsonObject { { "access_token", "access-At" + n },
            { "refresh_token", "refresh-Rt" + n }, { "expires_in", 3600 },
            { "secret", "mackey-Mk" + n }, { "algorithm", "hmac-sha-256" },
            { "token_type", "mac" } });
    if (r.header("Authorization").startsWith("MAC id=\"access-At22\""))
        return HttpResponse::json(QJsonObject { { "name", "Anna" } });
    return HttpResponse::html("<form></form>");
}

} // namespace

class tst_ZelAccount : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    const QString settings = dir.filePath("zel-account.ini");
    ScriptedHttpServer server { accountServer };
    ScriptedHttpServer silent { [](const HttpRequest&) { return HttpResponse::noAnswer(); } };

    // Runs zel-account with the test's settings file and server (options given later override
    // them) while this process's event loop keeps the scripted server answering.
    Result run(const QStringList& arguments, const QByteArray& input = {})
    {
        QProcess process;
        const QString origin = server.origin();
        process.start(qEnvironmentVariable("ZEL_BINARY_DIR") + "/bin/zel-account",
            QStringList { "--settings", settings, "--oauth-server", origin, "--api-server", origin }
                + arguments);
        process.write(input);
        process.closeWriteChannel();
        const bool ended
            = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
        return { ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError() };
    }

private slots:
    void outcomes_data()
    {
        // The arguments (after " < " what stdin gives), the exit status, what the output says.
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");
        QTest::addRow("status, empty settings") << "status" << 0 << "LoggedOut";
        QTest::addRow("wrong password") << "login a@b --password-stdin < horse\n"
                                        << 1 << "Wrong pass";
        // Usage errors: one row per check of the command line.
        QTest::addRow("no command") << "" << 2 << "no command";
        QTest::addRow("unknown command") << "frobnicate" << 2 << "unknown command";
        QTest::addRow("missing argument") << "login" << 2 << "missing argument";
        QTest::addRow("extra argument") << "status now" << 2 << "unexpected argument";
        QTest::addRow("unknown option") << "--frobnicate status" << 2 << "Unknown option";
        QTest::addRow("register option elsewhere") << "status --newsletter" << 2 << "applies only";
        QTest::addRow("timeout not a number") << "--timeout soon status" << 2 << "--timeout needs";
        QTest::addRow("origin with a path") << "--api-server https://h/x status" << 2 << "origin";
        QTest::addRow("path without slash") << "get evil.example/me" << 2 << "must start with '/'";
        QTest::addRow("body not JSON") << "post /me {nope" << 2 << "not JSON";
        QTest::addRow("no names") << "register --email a@b" << 2 << "register needs --first-name";
        QTest::addRow("piped password") << "login a@b < horse\n" << 2 << "--password-stdin";
        QTest::addRow("no password on stdin") << "login a@b --password-stdin" << 2 << "no password";
    }

    void outcomes()
    {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        QFile::remove(settings);
        const Result result = run(command.section(" < ", 0, 0).split(' ', Qt::SkipEmptyParts),
            command.section(" < ", 1).toUtf8());
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2((result.out + result.err).contains(says.toUtf8()), result.err.constData());
        QCOMPARE(result.out.isEmpty(), exitCode != 0);
        QVERIFY(!result.err.contains("horse"));
        // A usage error ends before the plug-in starts, and so before the settings are opened.
        QCOMPARE(QFile::exists(settings), exitCode != 2);
    }

    void loginThenCallInANewProcess()
    {
        const Result login
            = run({ "--verbose", "login", "a@b", "--password-stdin" }, password + "\n");
        QVERIFY2(login.exitCode == 0, login.err.constData());
        QVERIFY(login.out.contains(R"("loginState": "LoggedIn")"));
        // A new process holds no access token: the call refreshes it and then signs the request.
        const Result call = run({ "--verbose", "get", "/me" });
        QVERIFY2(call.exitCode == 0, call.err.constData());
        QCOMPARE(QJsonDocument::fromJson(call.out).object(), QJsonObject({ { "name", "Anna" } }));
        QVERIFY2(call.err.count('\n') > 3, "--verbose shows the debug log");

        QFile file(settings);
        QVERIFY(file.open(QIODevice::ReadOnly)
            && !(file.permissions() & (QFile::ReadGroup | QFile::ReadOther)));
        const QByteArray stored = file.readAll();
        QVERIFY(stored.contains("refresh_token"));
        for (const QByteArray& secret : secrets) {
            QVERIFY2(!(login.out + login.err + call.out + call.err).contains(secret), secret);
            QVERIFY2(secret.startsWith("mackey") || !stored.contains(secret), secret);
        }
    }

    void timeoutWhenTheServerNeverAnswers()
    {
        QElapsedTimer clock;
        clock.start();
        const Result result = run({ "--timeout", "1", "--oauth-server", silent.origin(), "login",
                                      "a@b", "--password-stdin" },
            password + "\n");
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(result.exitCode == 1 && result.out.isEmpty(), result.out.constData());
        QVERIFY2(elapsed >= 1000 && elapsed < 15000, QByteArray::number(elapsed));
        QVERIFY2(silent.requestCount() > 0, "the command waited on a request the server held");
    }
};

QTEST_GUILESS_MAIN(tst_ZelAccount)
#include "tst_zelaccount.moc"
