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
        QTest::addColumn<QByteArray>("settingsText"); // null: no settings file yet
        const auto row = [](const char* name, const char* command, int exitCode, const char* says,
                             const QByteArray& settingsText = QByteArray()) {
            QTest::newRow(name) << QString(command) << exitCode << QString(says) << settingsText;
        };
        // The plug-in's log of a device without credentials only with --verbose.
        row("status, empty settings", "status", 0, "LoggedOut");
        row("status, verbose", "--verbose status", 0, "No client credentials stored");
        row("settings not INI", "status", 1, "cannot be read", "[a\n");
        // Failed requests are told in words that name the server.
        row("connection refused",
            "--oauth-server http://127.0.0.1:1 login a@b --password-stdin < pw\n", 1,
            "cannot reach the OAuth server http://127.0.0.1:1: connection refused");
        row("host not found", "--oauth-server http://zel.invalid login a@b --password-stdin < pw\n",
            1, "OAuth server http://zel.invalid: host not found");
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
        QFile::remove(settings);
        if (!settingsText.isNull()) {
            QFile file(settings);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(settingsText) >= 0);
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        }
        const Result result = run(command.section(" < ", 0, 0).split(' ', Qt::SkipEmptyParts),
            command.section(" < ", 1).toUtf8());
        QCOMPARE(result.exitCode, exitCode);
        QVERIFY2((result.out + result.err).contains(says.toUtf8()), result.err.constData());
        QCOMPARE(result.out.isEmpty(), exitCode != 0);
        if (exitCode == 0 && !command.contains("--verbose"))
            QCOMPARE(result.err, QByteArray());
        QVERIFY(!result.err.contains("horse"));
        // A usage error ends before the plug-in starts, and so before the settings are opened.
        // Else the file, rewritten since, is still readable by the user alone: it holds a MAC key.
        QCOMPARE(QFile::exists(settings), exitCode != 2);
        QCOMPARE(int(QFile::permissions(settings) & (QFile::ReadGroup | QFile::ReadOther)), 0);
    }

    void serverText_data()
    {
        // The OAuth server's answer to the form post (the device registration succeeds and the
        // form is fetched); what zel-account must show of it, escaped.
        QTest::addColumn<QString>("command");
        QTest::addColumn<HttpResponse>("answer");
        QTest::addColumn<QString>("says");
        const auto flash = [](const QByteArray& error) {
            return HttpResponse::html("<form></form>")
                .withHeader("Set-Cookie", "flash-error=" + error + "; Path=/");
        };
        const QString login = "login a@b --password-stdin";
        QTest::newRow("flash error with an escape and a line")
            << login << flash("%1B%5B31mRED%0Azel-account:+fake+line")
            << "): \\x1b[31mRED\\nzel-account: fake line";
        QTest::newRow("flash error with C1, DEL and bidi controls")
            << login << flash("a%C2%9B2Jb%7Fc%E2%80%AEd%E2%81%A6e")
            << "a\\x9b2Jb\\x7fc\\u202ed\\u2066e";
        QTest::newRow("login refused with a status")
            << login << HttpResponse::html("", 503)
            << "login failed (OAuth server http://127.0.0.1:";
        // Field errors are JSON on stdout: the same strings, with \u escapes.
        QTest::newRow("registration field errors")
            << "register --email a@b --first-name A --last-name B --country C --password-stdin"
            << HttpResponse::jsonText(
                   "{\"email\":[{\"error\":\"\\u001b[2Jtaken\\u202e\\u0085\"}]}", 400)
            << "\"email\": \"\\u001b[2Jtaken\\u202e\\u0085\"";
    }

    void serverText()
    {
        QFETCH(QString, command);
        QFETCH(HttpResponse, answer);
        QFETCH(QString, says);
        ScriptedHttpServer server([&](const HttpRequest& request) {
            if (request.path == "/oauth/credentials")
                return HttpResponse::json(
                    QJsonObject { { "client_id", "id" }, { "client_secret", "secret" } });
            return request.method == "GET" ? HttpResponse::html("<form></form>") : answer;
        });
        QFile::remove(settings);
        const Result result = run(command.split(' '), "pw\n", server.origin());
        QCOMPARE(result.exitCode, 1);
        const QByteArray all = result.out + result.err;
        QVERIFY2(all.contains(says.toUtf8()), all.constData());
        // Nothing a terminal would act on, and no line of zel-account's that it did not write.
        QVERIFY2(!QString::fromUtf8(all).contains(
                     QRegularExpression("[\\x00-\\x09\\x0b-\\x1f\\x7f-\\x9f\\x{202a}-\\x{202e}"
                                        "\\x{2066}-\\x{2069}]")),
            all.constData());
        for (const QByteArray& line : result.err.split('\n'))
            QVERIFY2(line.isEmpty() || line.startsWith("zel-account: "), line.constData());
        QVERIFY(!result.err.contains("\nzel-account: fake"));
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
