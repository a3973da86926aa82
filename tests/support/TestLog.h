#pragma once

// The log of a test run. Every message is kept for the secret scans. A warning of the plug-in's
// categories fails the test unless the test announced it with expectWarning(), which hands it to
// QTest::ignoreMessage as well. QTest::failOnWarning would do this, but only from Qt 6.3 on, and
// QTest's handler does not tell whether it ignored a message, so the expectations are kept here.

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <algorithm>

namespace zel::test {

struct TestLog {
    QStringList lines;
    QtMessageHandler next = nullptr;
    QList<QRegularExpression> expected;
    QByteArray expectedIn; // the test function and row that announced them

    static TestLog& instance()
    {
        static TestLog log;
        return log;
    }
    // The running test's expectations only: QTest also forgets its own after each row.
    QList<QRegularExpression>& current()
    {
        const QByteArray test
            = QByteArray(QTest::currentTestFunction()) + '/' + QTest::currentDataTag();
        if (expectedIn != test)
            expected.clear(), expectedIn = test;
        return expected;
    }

    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        TestLog& log = instance();
        log.lines.append(message);
        if (type == QtDebugMsg || type == QtInfoMsg)
            return;
        if (type == QtWarningMsg && QByteArray(context.category).startsWith("zel.")
            && QTest::currentTestFunction()) {
            auto& expected = log.current();
            const auto match = std::find_if(expected.begin(), expected.end(),
                [&](const QRegularExpression& e) { return e.match(message).hasMatch(); });
            if (match == expected.end())
                QTest::qFail(
                    qPrintable("Unexpected warning: " + message), context.file, context.line);
            else
                expected.erase(match);
        }
        log.next(type, context, message);
    }
};

// Installs the handler; call it from initTestCase(), after QTest has installed its own.
inline void watchLog(bool debug = false)
{
    if (debug)
        QLoggingCategory::setFilterRules(QStringLiteral("zel.network.*.debug=true"));
    TestLog::instance().next = qInstallMessageHandler(TestLog::handle);
}

inline const QStringList& logLines() { return TestLog::instance().lines; }

// A warning of the plug-in that the running test provokes on purpose: a pattern or the text.
inline void expectWarning(const QRegularExpression& pattern)
{
    QTest::ignoreMessage(QtWarningMsg, pattern);
    TestLog::instance().current().append(pattern);
}
inline void expectWarning(const char* text)
{
    expectWarning(QRegularExpression(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(QString::fromUtf8(text)))));
}

} // namespace zel::test
