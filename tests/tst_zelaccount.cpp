// The command-line host as its users see it: the built zel-account run as a process. The whole
// account life against the dev server is the end-to-end suite's; this covers what it cannot
// provoke: refused command lines, broken settings, servers that fail or send hostile text, and
// the installed layout.

#include "ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace zel::test;

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
    Result run(const QStringList& arguments, const QByteArray& input = {},
        const QString& origin = {},
        const QString& program = qEnvironmentVariable("ZEL_BINARY_DIR") + "/bin/zel-account")
    {
        QProcess process;
        const QString server = origin.isEmpty() ? silent.origin() : origin;
        process.start(program,
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
        row("unknown option", "--frobnicate status", 2, "Unknown option");
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
        // Every answer of the OAuth server but the device registration (which succeeds); what
        // zel-account must show of it, escaped.
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("flashError"); // the login page's error cookie
        QTest::addColumn<QString>("says");
        const auto row = [](const char* name, const char* command, int status,
                             const char* contentType, const char* body, const char* flashError,
                             const char* says) {
            QTest::newRow(name) << QString(command) << status << QByteArray(contentType)
                                << QByteArray(body) << QByteArray(flashError) << QString(says);
        };
        const char* login = "login a@b --password-stdin";
        row("flash error with an escape and a line", login, 200, "text/html", "<form></form>",
            "%1B%5B31mRED%0Azel-account:+fake+line", "): \\x1b[31mRED\\nzel-account: fake line");
        row("flash error with C1, DEL and bidi controls", login, 200, "text/html", "",
            "a%C2%9B2Jb%7Fc%E2%80%AEd%E2%81%A6e", "a\\x9b2Jb\\x7fc\\u202ed\\u2066e");
        row("login refused with a status", login, 503, "text/html", "", "",
            "login failed (OAuth server http://127.0.0.1:");
        // Field errors are JSON on stdout: the same strings, with \u escapes.
        row("registration field errors",
            "register --email a@b --first-name A --last-name B --country C --password-stdin", 400,
            "application/json", "{\"email\":[{\"error\":\"\\u001b[2Jtaken\\u202e\\u0085\"}]}", "",
            "\"email\": \"\\u001b[2Jtaken\\u202e\\u0085\"");
    }

    void serverText()
    {
        QFETCH(QString, command);
        QFETCH(int, status);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, flashError);
        QFETCH(QString, says);
        ScriptedHttpServer server([&](const HttpRequest& request) {
            if (request.path == "/oauth/credentials")
                return HttpResponse::json(
                    QJsonObject { { "client_id", "id" }, { "client_secret", "secret" } });
            // The forms are fetched; the posts get the row's answer.
            if (request.method == "GET")
                return HttpResponse::html("<form></form>");
            HttpResponse response = HttpResponse::make(status, contentType, body);
            if (!flashError.isEmpty())
                response.withHeader("Set-Cookie", "flash-error=" + flashError + "; Path=/");
            return response;
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

    void findsTheInstalledPlugin()
    {
        // A copy of zel-account alone looks for the plug-in in the places it names; in the
        // installed layout (the second place) it finds it.
        QTemporaryDir prefix;
        const QString program = prefix.filePath("bin/zel-account");
        QVERIFY(QDir().mkpath(prefix.filePath("bin")));
        QVERIFY(QFile::copy(qEnvironmentVariable("ZEL_BINARY_DIR") + "/bin/zel-account", program));
        const Result version = run({ "--version" }, {}, {}, program);
        QVERIFY2(version.exitCode == 0
                && QRegularExpression("^zel-account \\d+\\.\\d+\\.\\d+\n$")
                       .match(version.out)
                       .hasMatch(),
            version.out.constData());

        qputenv("ZEL_PLUGIN", "");
        const Result missing = run({ "status" }, {}, {}, program);
        QCOMPARE(missing.exitCode, 1);
        const QRegularExpressionMatch places
            = QRegularExpression("looked for ([^,]*), ([^,]*), ").match(missing.err);
        QVERIFY2(places.hasMatch(), missing.err.constData());
        const QString installed = places.captured(2);
        QVERIFY2(installed.startsWith(QDir::cleanPath(prefix.path())), qPrintable(installed));
        QVERIFY(QDir().mkpath(QFileInfo(installed).path()));
        QVERIFY(QFile::copy(qEnvironmentVariable("ZEL_PLUGIN_FILE"), installed));
        const Result found = run({ "status" }, {}, {}, program);
        QVERIFY2(found.exitCode == 0 && found.out.contains("LoggedOut"), found.err.constData());
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
