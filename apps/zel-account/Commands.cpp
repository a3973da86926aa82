#include "Commands.h"

#include "AuthenticatedReply.h"
#include "JsonNetworkReply.h"
#include "Messages.h"
#include "OAuth2Client.h"
#include "RegistrationRequest.h"

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

using messages::note;

// Messages go to stderr; stdout carries only the result.
void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

const int stillWaitingAfterMs = 2000;
const int probeTimeoutMs = 10000;

// What a reply that emitted error(QString, int) says its failure was.
zel::network::ErrorKind errorKindOf(const QObject* reply)
{
    return reply ? reply->property("errorKind").value<zel::network::ErrorKind>()
                 : zel::network::ErrorKind::NoError;
}

} // namespace

CommandRunner::CommandRunner(network::OAuth2Client* client, QObject* service, Invocation invocation)
    : client(client)
    , service(service)
    , invocation(std::move(invocation))
{
    progressTimer.setSingleShot(true);
    timeoutTimer.setSingleShot(true);
    timeoutTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5% early
    connect(&progressTimer, &QTimer::timeout, this, &CommandRunner::onStillWaiting);
    connect(&timeoutTimer, &QTimer::timeout, this, &CommandRunner::onTimeout);
}

QString CommandRunner::stateName(zel::network::LoginState state)
{
    switch (state) {
    case zel::network::LoggedOut:
        return QStringLiteral("LoggedOut");
    case zel::network::LoggedIn:
        return QStringLiteral("LoggedIn");
    case zel::network::PendingActivation:
        return QStringLiteral("PendingActivation");
    }
    return QStringLiteral("Unknown%1").arg(int(state));
}

const std::vector<Command>& CommandRunner::commands()
{
    using A = CommandArguments;
    using R = CommandRunner;
    static const std::vector<Command> table {
        { "status", A::None, &R::runStatus,
            "login state, isLoggedIn, clientId, pendingActivationEmail,\nkeyStore (where the "
            "data-protection key lives)" },
        { "login", A::Email, &R::runLogin, "log in; the password is prompted for without echo" },
        { "activate", A::None, &R::runActivate,
            "check whether the registered account has been activated" },
        { "register", A::Registration, &R::runRegister,
            "register a new account; the password is prompted for" },
        { "get", A::Path, &R::runApiCall,
            "authenticated GET of the API server; PATH starts with \"/\"" },
        { "post", A::PathAndBody, &R::runApiCall,
            "authenticated POST; the JSON body from the argument or stdin" },
        { "put", A::PathAndBody, &R::runApiCall, "authenticated PUT; the same" },
        { "pubnub", A::None, &R::runPubNub, "the PubNub configuration of the device" },
        { "manage-url", A::None, &R::runManageUrl,
            "a one-time URL of the account's management page" },
        { "user-details", A::None, &R::runUserDetails,
            "what the system account tells about the user" },
        { "logout", A::None, &R::runLogout,
            "forget the account: empties the settings (the server\norigins stay)" },
    };
    return table;
}

const Command* CommandRunner::command(const QString& name)
{
    for (const Command& candidate : commands()) {
        if (name == QLatin1String(candidate.name))
            return &candidate;
    }
    return nullptr;
}

void CommandRunner::start()
{
    if (const Command* entry = command(invocation.command))
        (this->*entry->handler)();
    else
        fail(QStringLiteral("unknown command %1").arg(invocation.command));
}

void CommandRunner::connectService(const char* signal, const char* slot)
{
    if (!connect(service, signal, this, slot))
        note(QStringLiteral("the plug-in's service lacks the signal %1").arg(signal + 1));
}

void CommandRunner::startWaiting()
{
    if (done)
        return;
    elapsed.start();
    progressTimer.start(stillWaitingAfterMs);
    timeoutTimer.start(invocation.timeoutMs);
}

// --- Commands ------------------------------------------------------------------------------------

void CommandRunner::runStatus()
{
    // Not in every plug-in build: the plug-in answers it by name, if at all.
    QString where;
    if (pluginRoot)
        QMetaObject::invokeMethod(pluginRoot, "dataProtectionKeyStore", Qt::DirectConnection,
            Q_RETURN_ARG(QString, where));
    const zel::network::LoginState state = client->loginState();
    succeed(QJsonDocument(QJsonObject {
        { QStringLiteral("loginState"), stateName(state) },
        { QStringLiteral("loginStateValue"), int(state) },
        { QStringLiteral("isLoggedIn"), client->isLoggedIn() },
        { QStringLiteral("clientId"), client->clientId() },
        { QStringLiteral("pendingActivationEmail"), client->pendingActivationEmail() },
        { QStringLiteral("keyStore"), where },
    }));
}

void CommandRunner::runLogin()
{
    ignoreActivationRefusal = client->loginState() == zel::network::PendingActivation;
    connectService(SIGNAL(loginStateChanged(zel::network::LoginState)),
        SLOT(onLoginStateChanged(zel::network::LoginState)));
    connectService(SIGNAL(loginFailed(zel::network::ErrorKind, QString)),
        SLOT(onLoginFailed(zel::network::ErrorKind, QString)));
    connectService(SIGNAL(credentialsFailed(zel::network::ErrorKind, QString)),
        SLOT(onLoginFailed(zel::network::ErrorKind, QString)));
    // Every token failure, a refused activation check (the store emptied) included; the first
    // one ends the check, the next is the login's own.
    connectService(SIGNAL(accessTokenFailed(zel::network::ErrorKind, QString)),
        SLOT(onAccessTokenFailed(zel::network::ErrorKind, QString)));
    client->login(invocation.email, invocation.password);
    invocation.password.fill(QChar(0));
    invocation.password.clear();
    startWaiting();
}

void CommandRunner::runActivate()
{
    const zel::network::LoginState state = client->loginState();
    if (state != zel::network::PendingActivation) {
        fail(QStringLiteral("no registered account is waiting for activation (login state %1)")
                 .arg(stateName(state)));
        return;
    }
    connectService(SIGNAL(loginStateChanged(zel::network::LoginState)),
        SLOT(onLoginStateChanged(zel::network::LoginState)));
    connectService(SIGNAL(accessTokenFailed(zel::network::ErrorKind, QString)),
        SLOT(onAccessTokenFailed(zel::network::ErrorKind, QString)));
    // A refusal that arrives as a finished answer ends only in an empty settings map.
    connectService(
        SIGNAL(settingsChanged(QVariantMap)), SLOT(onActivationSettingsChanged(QVariantMap)));
    client->login(QString(), QString());
    startWaiting();
}

void CommandRunner::runRegister()
{
    network::RegistrationRequest* request = client->createRegistrationRequest();
    if (!request) {
        fail(QStringLiteral("the plug-in created no registration request"));
        return;
    }
    connect(
        request->object(), SIGNAL(finished(QString)), this, SLOT(onRegistrationFinished(QString)));
    connect(request->object(), SIGNAL(failed(QVariantMap)), this,
        SLOT(onRegistrationFailed(QVariantMap)));
    request->setEmail(invocation.email);
    request->setPassword(invocation.password);
    invocation.password.fill(QChar(0));
    invocation.password.clear();
    request->setFirstName(invocation.firstName);
    request->setLastName(invocation.lastName);
    request->setCountry(invocation.country);
    request->setNewsletterSubscribed(invocation.newsletter);
    request->send();
    startWaiting();
}

void CommandRunner::runApiCall()
{
    // Some implementations report a token failure before the call returns, that is before
    // anyone can have connected to the reply; the service's own signal still arrives here.
    connectService(SIGNAL(accessTokenFailed(zel::network::ErrorKind, QString)),
        SLOT(onAccessTokenFailed(zel::network::ErrorKind, QString)));
    zel::network::AuthenticatedReply* reply = nullptr;
    if (invocation.command == QLatin1String("get"))
        reply = client->get(invocation.path);
    else if (invocation.command == QLatin1String("post"))
        reply = client->post(invocation.path, invocation.body);
    else
        reply = client->put(invocation.path, invocation.body);
    if (done)
        return;
    if (!reply) {
        fail(QStringLiteral("the plug-in created no request"));
        return;
    }
    QObject* object = static_cast<QObject*>(reply);
    pendingReply = object;
    connect(object, SIGNAL(finished(QJsonDocument)), this, SLOT(onReplyFinished(QJsonDocument)));
    connect(object, SIGNAL(error(QString, int)), this, SLOT(onReplyError(QString, int)));
    startWaiting();
}

void CommandRunner::runPubNub()
{
    zel::network::JsonNetworkReply* reply = client->fetchPubNubConfig();
    if (!reply) {
        fail(QStringLiteral("no client credentials (a device must have registered first)"));
        return;
    }
    QObject* object = reply->object();
    pendingReply = object;
    connect(object, SIGNAL(finished(int, QJsonDocument)), this,
        SLOT(onJsonReplyFinished(int, QJsonDocument)));
    connect(object, SIGNAL(error(QString, int)), this, SLOT(onReplyError(QString, int)));
    startWaiting();
}

void CommandRunner::runManageUrl()
{
    connectService(SIGNAL(manageAccountOnlineUrlReady(QUrl)), SLOT(onManageUrlReady(QUrl)));
    connectService(SIGNAL(manageAccountOnlineUrlError(zel::network::ErrorKind, QString)),
        SLOT(onManageUrlFailed(zel::network::ErrorKind, QString)));
    connectService(SIGNAL(accessTokenFailed(zel::network::ErrorKind, QString)),
        SLOT(onAccessTokenFailed(zel::network::ErrorKind, QString)));
    client->requestManageAccountOnlineUrl();
    startWaiting();
}

void CommandRunner::runUserDetails()
{
    succeed(QJsonDocument(QJsonObject::fromVariantHash(client->userDetails())));
}

void CommandRunner::runLogout()
{
    auto* debugClient = qobject_cast<network::internal::OAuth2DebugClient*>(service);
    if (!debugClient) {
        fail(QStringLiteral("the plug-in offers no logout"));
        return;
    }
    debugClient->logout();
    succeed(QJsonDocument(
        QJsonObject { { QStringLiteral("loginState"), stateName(client->loginState()) } }));
}

// --- Outcomes ------------------------------------------------------------------------------------

void CommandRunner::onLoginStateChanged(zel::network::LoginState state)
{
    if (done || state != zel::network::LoggedIn)
        return;
    succeed(QJsonDocument(QJsonObject { { QStringLiteral("loginState"), stateName(state) } }));
}

void CommandRunner::onLoginFailed(zel::network::ErrorKind kind, const QString& message)
{
    failNamingServer(QStringLiteral("login failed"), OAuthServer, kind, message);
}

void CommandRunner::onAccessTokenFailed(zel::network::ErrorKind kind, const QString& message)
{
    if (done)
        return;
    if (ignoreActivationRefusal) {
        onActivationCheckEnded(message);
        return;
    }
    failNamingServer(QStringLiteral("no access token"), OAuthServer, kind, message);
}

void CommandRunner::onActivationCheckEnded(const QString& message)
{
    if (done || !ignoreActivationRefusal)
        return;
    ignoreActivationRefusal = false;
    note(QStringLiteral("the account is not activated yet (%1); waiting for the login")
             .arg(message));
}

void CommandRunner::onActivationSettingsChanged(const QVariantMap& values)
{
    if (!done && values.isEmpty())
        fail(QStringLiteral(
            "the server refused the activation check; the stored account was removed"));
}

void CommandRunner::onReplyFinished(const QJsonDocument& json)
{
    if (pendingReply)
        pendingReply->deleteLater();
    if (!done)
        succeed(json);
}

void CommandRunner::onReplyError(const QString& message, int code)
{
    const zel::network::ErrorKind kind = errorKindOf(sender());
    // Released whatever its kind; that an authenticated reply also releases itself after an
    // error does no harm.
    if (pendingReply)
        pendingReply->deleteLater();
    if (done)
        return;
    // A token failure (the service's own signal has told it first, as a rule). A request of the
    // API server refused with 401 and no JSON has the same code, as the refusal it is.
    if (code == zel::network::AuthenticatedReply::NoAccessToken
        && kind != zel::network::ErrorKind::RefusedByServer) {
        onAccessTokenFailed(kind, message);
        return;
    }
    failRequest(QStringLiteral("request failed"),
        invocation.command == QLatin1String("pubnub") ? OAuthServer : ApiServer, kind, message,
        code);
}

void CommandRunner::failRequest(const QString& context, Server server, zel::network::ErrorKind kind,
    const QString& message, int code)
{
    const QString who = describe(server);
    switch (kind) {
    case zel::network::ErrorKind::NetworkFailure:
        failAfterProbe(context, server, message, code);
        return;
    case zel::network::ErrorKind::RefusedByServer:
        // The code is the HTTP status of an error explained in JSON (the message), else the
        // network error Qt made of the status.
        fail(QStringLiteral("%1: the %2 answered %3: %4")
                 .arg(context, who,
                     code >= 400 ? messages::httpStatusWords(code)
                                 : messages::networkErrorWords(code),
                     message));
        return;
    case zel::network::ErrorKind::UnexpectedAnswer:
        fail(QStringLiteral("%1: the %2 gave an answer that cannot be used: %3")
                 .arg(context, who, message));
        return;
    default:
        // Timed out, shut down, not created ...: the message says it in full.
        fail(QStringLiteral("%1: %2").arg(context, message));
        return;
    }
}

void CommandRunner::failNamingServer(
    const QString& context, Server server, zel::network::ErrorKind kind, const QString& message)
{
    if (done)
        return;
    if (kind == zel::network::ErrorKind::NetworkFailure)
        failAfterProbe(context, server, message);
    else
        fail(QStringLiteral("%1 (%2): %3").arg(context, describe(server), message));
}

QString CommandRunner::describe(Server server) const
{
    return server == OAuthServer ? QStringLiteral("OAuth server %1").arg(invocation.oauthServer)
                                 : QStringLiteral("API server %1").arg(invocation.apiServer);
}

void CommandRunner::failAfterProbe(
    const QString& context, Server server, const QString& message, int code)
{
    if (done || prober)
        return;
    progressTimer.stop();
    timeoutTimer.stop();
    prober = new QNetworkAccessManager(this);
    QNetworkRequest request(
        QUrl((server == OAuthServer ? invocation.oauthServer : invocation.apiServer)
            + QLatin1Char('/')));
    // Any answer at all shows the server can be reached; where it would send us is no matter.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(std::min(probeTimeoutMs, std::max(invocation.timeoutMs, 1000)));
    QNetworkReply* reply = prober->head(request);
    connect(reply, &QNetworkReply::sslErrors, this,
        [this](const QList<QSslError>& errors) { probeSslErrors = errors; });
    connect(reply, &QNetworkReply::finished, this, [this, reply, context, server, message, code] {
        reply->deleteLater();
        onProbeFinished(context, server, message, code, reply->error());
    });
}

void CommandRunner::onProbeFinished(
    const QString& context, Server server, const QString& message, int code, int probeError)
{
    if (done)
        return;
    const QString who = describe(server);
    if (messages::isTransportError(probeError)) {
        const QString words = probeError == QNetworkReply::SslHandshakeFailedError
            ? messages::sslErrorWords(probeSslErrors)
            : messages::networkErrorWords(probeError);
        fail(QStringLiteral("%1: cannot reach the %2: %3").arg(context, who, words));
        return;
    }
    // The server answers now: what the failed request got is all there is to say.
    QString detail;
    if (code > 0)
        detail = messages::networkErrorWords(code);
    else if (message.trimmed().isEmpty())
        detail = QStringLiteral("no usable answer");
    else
        detail = message;
    fail(QStringLiteral("%1: the %2 answers, but not as expected: %3").arg(context, who, detail));
}

void CommandRunner::onJsonReplyFinished(int statusCode, const QJsonDocument& json)
{
    Q_UNUSED(statusCode);
    onReplyFinished(json);
}

void CommandRunner::onManageUrlReady(const QUrl& url)
{
    if (!done)
        succeedText(QString::fromUtf8(url.toEncoded()));
}

void CommandRunner::onManageUrlFailed(zel::network::ErrorKind kind, const QString& message)
{
    failNamingServer(QStringLiteral("no manage-account URL"), ApiServer, kind, message);
}

void CommandRunner::onRegistrationFinished(const QString& email)
{
    if (done)
        return;
    succeed(QJsonDocument(QJsonObject {
        { QStringLiteral("loginState"), stateName(client->loginState()) },
        { QStringLiteral("pendingActivationEmail"), email },
    }));
}

void CommandRunner::onRegistrationFailed(const QVariantMap& errors)
{
    if (done)
        return;
    // The field errors are data for the caller: stdout, like any other result.
    writeOut(messages::terminalSafeJson(
        QJsonDocument(QJsonObject::fromVariantMap(errors)).toJson(QJsonDocument::Indented)));
    // Errors of these keys are the plug-in's own: the request reached no usable answer.
    for (const char* key : { "_network", "_credentials" }) {
        if (errors.contains(QLatin1String(key))) {
            failAfterProbe(QStringLiteral("registration failed"), OAuthServer,
                errors.value(QLatin1String(key)).toString());
            return;
        }
    }
    fail(QStringLiteral("registration failed: the %1 refused it").arg(describe(OAuthServer)));
}

void CommandRunner::onStillWaiting()
{
    if (!done)
        note(QStringLiteral("waiting for the server…"));
}

void CommandRunner::onTimeout()
{
    if (!done) {
        const bool api = invocation.command == QLatin1String("get")
            || invocation.command == QLatin1String("post")
            || invocation.command == QLatin1String("put");
        fail(QStringLiteral("no outcome after %1 s (--timeout); giving up: the %2 did not answer "
                            "in time")
                 .arg(double(elapsed.elapsed()) / 1000.0, 0, 'f', 1)
                 .arg(api ? describe(ApiServer) + QStringLiteral(" (or the ")
                             + describe(OAuthServer) + QLatin1Char(')')
                          : describe(OAuthServer)));
    }
}

void CommandRunner::succeed(const QJsonDocument& output)
{
    writeOut(output.isNull() ? QByteArrayLiteral("null\n")
                             : messages::terminalSafeJson(output.toJson(QJsonDocument::Indented)));
    end(ExitSuccess);
}

void CommandRunner::succeedText(const QString& output)
{
    writeOut((output + '\n').toUtf8());
    end(ExitSuccess);
}

void CommandRunner::fail(const QString& message)
{
    note(message);
    end(ExitFailure);
}

void CommandRunner::end(int exitCode)
{
    if (done)
        return;
    done = true;
    code = exitCode;
    progressTimer.stop();
    timeoutTimer.stop();
    emit finished(exitCode);
}
