#pragma once

// One command of zel-account run against the plug-in's account service: it starts the
// operation, waits for the signal that ends it (or for the time limit), prints the outcome and
// reports the exit status.

#include "ErrorKind.h"
#include "LoginState.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>

#include <vector>

class CommandRunner;
class QNetworkAccessManager;

namespace network {
class OAuth2Client;
}

enum ExitCode {
    ExitSuccess = 0,
    ExitFailure = 1,
    ExitUsage = 2,
};

// What a command takes besides the options that every command accepts.
enum class CommandArguments {
    None,
    Email, // login EMAIL; the password is read
    Path, // get PATH
    PathAndBody, // post, put PATH [JSON]
    Registration, // the register options; the password is read
};

// One command of zel-account. The usage text, the check of the command line and the dispatch
// all read the one table of them, CommandRunner::commands().
struct Command {
    const char* name;
    CommandArguments arguments;
    void (CommandRunner::*handler)();
    const char* help; // the usage text indents its lines after the first
};

// What the command line asked for, checked and complete.
struct Invocation {
    QString command;
    QString path; // get, post, put
    QByteArray body; // post, put
    QString email; // login, register
    QString password; // login, register
    QString firstName, lastName, country; // register
    bool newsletter = false; // register
    int timeoutMs = 60000;
    // The servers' origins, to name them in messages.
    QString oauthServer, apiServer;
};

class CommandRunner : public QObject {
    Q_OBJECT

public:
    CommandRunner(network::OAuth2Client* client, QObject* service, Invocation invocation);

    // Every command, in the order of the usage text.
    static const std::vector<Command>& commands();
    // The command of that name, or null.
    static const Command* command(const QString& name);

    // The plug-in's root object, which status asks where the data-protection key lives.
    void setPluginRoot(QObject* root) { pluginRoot = root; }

    // Starts the command. Some commands end before this returns: see isDone().
    void start();
    bool isDone() const { return done; }
    // A reply that ended with a token error (or none yet) is still the caller's: release it
    // while the plug-in that made it is loaded.
    void releaseReply() { delete pendingReply.data(); }
    int exitCode() const { return code; }

    // Login-state names as the plug-in's enumeration spells them.
    static QString stateName(zel::network::LoginState state);

signals:
    void finished(int exitCode);

private slots:
    void onLoginStateChanged(zel::network::LoginState state);
    void onLoginFailed(zel::network::ErrorKind kind, const QString& message);
    void onAccessTokenFailed(zel::network::ErrorKind kind, const QString& message);
    // The start-up activation check that a login in PendingActivation waits out failed or was
    // refused: from now on token errors are the login's.
    void onActivationCheckEnded(const QString& message);
    void onActivationSettingsChanged(const QVariantMap& values);
    void onReplyFinished(const QJsonDocument& json);
    void onReplyError(const QString& message, int code);
    void onJsonReplyFinished(int statusCode, const QJsonDocument& json);
    void onManageUrlReady(const QUrl& url);
    void onManageUrlFailed(zel::network::ErrorKind kind, const QString& message);
    void onRegistrationFinished(const QString& email);
    void onRegistrationFailed(const QVariantMap& errors);
    void onStillWaiting();
    void onTimeout();

private:
    void runStatus();
    QObject* pluginRoot = nullptr;
    void runLogin();
    void runActivate();
    void runRegister();
    void runApiCall();
    void runPubNub();
    void runManageUrl();
    void runUserDetails();
    void runLogout();

    enum Server { OAuthServer, ApiServer };
    QString describe(Server server) const;
    // Ends with a failure in which the server was not reached: the plug-in's message is Qt's
    // word for it, so a request of our own to the server finds out what stands in the way, and
    // the message says so. A known network error code of the failed request is given as code.
    void failAfterProbe(
        const QString& context, Server server, const QString& message, int code = -1);
    void onProbeFinished(
        const QString& context, Server server, const QString& message, int code, int probeError);
    // Ends with a failure of the service's: "context (server): message", or a network failure
    // probed first.
    void failNamingServer(const QString& context, Server server, zel::network::ErrorKind kind,
        const QString& message);
    // Ends with the failure of a request to server, told by its kind: a network failure is
    // probed first.
    void failRequest(const QString& context, Server server, zel::network::ErrorKind kind,
        const QString& message, int code);

    void connectService(const char* signal, const char* slot);
    // Starts the progress note and the time limit of a command that waits for the network.
    void startWaiting();
    void succeed(const QJsonDocument& output);
    void succeedText(const QString& output);
    void fail(const QString& message);
    void end(int exitCode);

    network::OAuth2Client* client;
    QObject* service;
    Invocation invocation;
    QTimer progressTimer;
    QTimer timeoutTimer;
    QElapsedTimer elapsed;
    QPointer<QObject> pendingReply; // the reply of get, post, put or pubnub
    QNetworkAccessManager* prober = nullptr;
    QList<QSslError> probeSslErrors;
    // The service starts an activation check of its own when it is created in the state
    // PendingActivation; its failure or refusal is not the outcome of a login started
    // afterwards. Set until that check ends.
    bool ignoreActivationRefusal = false;
    bool done = false;
    int code = ExitSuccess;
};
