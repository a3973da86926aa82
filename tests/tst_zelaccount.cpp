// The command-line host as its users see it: the built zel-account run as a process. The whole
// account life against the dev server is the end-to-end suite's; this covers what it cannot
// provoke: refused command lines, broken settings, servers that fail or send hostile text. The
// installed layout is the installed-host check's (tests/host).

#include "ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace zel::test;

Q_DECLARE_METATYPE(zel::test::HttpResponse)

struct Result {
    int exitCode;
    QByteArray out, err;
};

class tst_zelaccount : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    const QString settings = dir.filePath("zel-account.ini");
    ScriptedHttpServer silent { [](const HttpRequest&) { return HttpResponse::noAnswer(); } };

    // Runs zel-account with the test's settings file, both servers being the silent one (its
    // requests are accepted while this process's event loop runs).
    Result run(
        const QStringList& arguments, const QByteArray& input = {}, const QString& origin = {})
    {
        QProcess process;
        const QString server = origin.isEmpty() ? silent.origin() : origin;
        process.start(qEnvironmentVariable("ZEL_BINARY_DIR") + "/bin/zel-account",
            QStringList { "--settings", settings, "--oauth-server", server, "--api-server", server }
                + arguments);
        process.write(input);
        process.closeWriteChannel();
        const bool ended
            = QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 30000);
        Result result { ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode()
                                                                              : -1,
            process.readAllStandardOutput(), process.readAllStandardError() };
#ifdef Q_OS_WIN
        // A Windows console program ends its lines with CR LF.
        result.out.replace("\r\n", "\n");
        result.err.replace("\r\n", "\n");
#endif
        return result;
    }

private slots:
    void outcomes_data()
    {
        // The arguments (after " < " what stdin gives), the exit status, what the output says.
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QByteArray>("settingsText"); // null: no settings file yet
        // The OAuth server's answer to a form post (the device registers, the form is fetched).
        QTest::addColumn<HttpResponse>("posted");
        const auto row = [](const char* name, const char* command, int exitCode, const char* says,
                             const QByteArray& settingsText = QByteArray(),
                             const HttpResponse& posted = HttpResponse::noAnswer()) {
            QTest::newRow(name) << QString(command) << exitCode << QString(says) << settingsText
                                << posted;
        };
        // The plug-in's log only with --verbose (shown there: the end-to-end suite).
        row("status, empty settings", "status", 0, "LoggedOut");
        row("settings not INI", "status", 1, "cannot be read", "[a\n");
        // Failed requests are told in words that name the server.
        const char* login = "login a@b --password-stdin < pw\n";
        row("connection refused",
            "--oauth-server http://127.0.0.1:1 login a@b --password-stdin < pw\n", 1,
            "cannot reach the OAuth server http://127.0.0.1:1: connection refused");
        row("host not found", "--oauth-server http://zel.invalid login a@b --password-stdin < pw\n",
            1, "OAuth server http://zel.invalid: host not found");
        row("login refused with a status", login, 1,
            "login failed (OAuth server http://127.0.0.1:", {}, HttpResponse::html("", 503));
        // The start-up activation check is refused (every grant is here); the login's own
        // failure that follows ends the command, it is not taken for the check's.
        row("activation check refused, then the login's grant", login, 1,
            "Authorization code invalid", "[General]\npendingActivation=a@b\n",
            HttpResponse::redirect("zel://authorize?code=c"));
        // What the server says is shown escaped; field errors are JSON on stdout, with \u escapes.
        const auto flash = [](const QByteArray& error) {
            return HttpResponse::html("<form></form>")
                .withHeader("Set-Cookie", "flash-error=" + error + "; Path=/");
        };
        row("flash error with an escape and a line", login, 1,
            "): \\x1b[31mRED\\nzel-account: fake line", {},
            flash("%1B%5B31mRED%0Azel-account:+fake+line"));
        row("flash error with C1, DEL and bidi controls", login, 1,
            "a\\x9b2Jb\\x7fc\\u202ed\\u2066e", {}, flash("a%C2%9B2Jb%7Fc%E2%80%AEd%E2%81%A6e"));
        row("registration field errors",
            "register --email a@b --first-name A --last-name B --country C --password-stdin < pw\n",
            1, "\"email\": \"\\u001b[2Jtaken\\u202e\\u0085\"", {},
            HttpResponse::jsonText(
                "{\"email\":[{\"error\":\"\\u001b[2Jtaken\\u202e\\u0085\"}]}", 400));
        // Usage errors: one row per check of the command line.
        row("no command", "", 2, "no command");
        row("unknown command", "frobnicate", 2, "unknown command");
        row("missing argument", "login", 2, "missing argument");
        row("extra argument", "status now", 2, "unexpected argument");
        row("register option elsewhere", "status --newsletter", 2, "applies only");
        row("timeout not a number", "--timeout soon status", 2, "--timeout needs");
        row("origin with a path", "--api-server https://h/x status", 2, "origin");
        row("path without slash", "get evil.example/me", 2, "must start with '/'");
        row("body not JSON", "post /me {nope", 2, "not JSON");
        row("no names", "register --email a@b", 2, "register needs --first-name");
        row("piped password", "login a@b < horse\n", 2, "--password-stdin");
        row("no password on stdin", "login a@b --password-stdin", 2, "no password");
    }

    void outcomes()
    {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, says);
        QFETCH(QByteArray, settingsText);
        QFETCH(HttpResponse, posted);
        ScriptedHttpServer server([&](const HttpRequest& request) {
            if (request.path == "/oauth/credentials")
                return HttpResponse::json(
                    QJsonObject { { "client_id", "id" }, { "client_secret", "secret" } });
            if (request.path == "/oauth/token")
                return HttpResponse::json(QJsonObject { { "error", "pending" } }, 203);
            return request.method == "GET" ? HttpResponse::html("<form></form>") : posted;
        });
        QFile::remove(settings);
        if (!settingsText.isNull()) {
            QFile file(settings);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(settingsText) >= 0);
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        }
        const Result result = run(command.section(" < ", 0, 0).split(' ', Qt::SkipEmptyParts),
            command.section(" < ", 1).toUtf8(), server.origin());
        QCOMPARE(result.exitCode, exitCode);
        const QByteArray all = result.out + result.err;
        QVERIFY2(all.contains(says.toUtf8()), all.constData());
        // Stdout holds results only: a success's, or the field errors of a refused registration.
        QCOMPARE(!result.out.isEmpty(),
            exitCode == 0 || (exitCode == 1 && command.startsWith("register")));
        if (exitCode == 0)
            QCOMPARE(result.err, QByteArray());
        QVERIFY(!result.err.contains("horse"));
        // Nothing a terminal would act on, and no line of zel-account's that it did not write.
        QVERIFY2(!QString::fromUtf8(all).contains(
                     QRegularExpression("[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f\\x{202a}-\\x{202e}"
                                        "\\x{2066}-\\x{2069}]")),
            all.constData());
        for (const QByteArray& line : result.err.split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith("zel-account: ")
                    || line == "Try 'zel-account --help'.",
                line.constData());
        QVERIFY(!result.err.contains("\nzel-account: fake"));
        // A usage error ends before the plug-in starts, and so before the settings are opened.
        // Else the file, made or rewritten since, is readable by the user alone: it holds a MAC
        // key.
        QCOMPARE(QFile::exists(settings), exitCode != 2);
#ifdef ZEL_TEST_POSIX
        if (exitCode != 2)
            QCOMPARE(int(QFile::permissions(settings) & (QFile::ReadGroup | QFile::ReadOther)), 0);
#endif
    }

    void timeoutWhenTheServerNeverAnswers()
    {
        QElapsedTimer clock;
        clock.start();
        const Result result = run({ "--timeout", "1", "login", "a@b", "--password-stdin" }, "pw\n");
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(result.exitCode == 1 && result.out.isEmpty(), result.out.constData());
        QVERIFY2(elapsed >= 1000 && elapsed < 15000, QByteArray::number(elapsed));
        QVERIFY2(silent.requestCount() > 0, "the command waited on a request the server held");
    }
};

QTEST_GUILESS_MAIN(tst_zelaccount)
#include "tst_zelaccount.moc"
