// The command-line host as its users see it: the built zel-account run as a process. The whole
// account life against the dev server is the end-to-end suite's; this covers what it cannot
// provoke: refused command lines and a server that never answers.

#include "ScriptedHttpServer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace zel::test;

struct Result {
    int exitCode;
    QByteArray out, err;
};

class tst_ZelAccount : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    const QString settings = dir.filePath("zel-account.ini");
    ScriptedHttpServer silent { [](const HttpRequest&) { return HttpResponse::noAnswer(); } };

    // Runs zel-account with the test's settings file, both servers being the silent one (its
    // requests are accepted while this process's event loop runs).
    Result run(const QStringList& arguments, const QByteArray& input = {})
    {
        QProcess process;
        const QString origin = silent.origin();
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
        // Else the file, rewritten since, is still readable by the user alone: it holds a MAC key.
        QCOMPARE(QFile::exists(settings), exitCode != 2);
        QCOMPARE(int(QFile::permissions(settings) & (QFile::ReadGroup | QFile::ReadOther)), 0);
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

QTEST_GUILESS_MAIN(tst_ZelAccount)
#include "tst_zelaccount.moc"
