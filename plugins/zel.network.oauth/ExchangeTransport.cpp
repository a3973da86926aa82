#include "ExchangeTransport.h"

#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>

namespace zel {

namespace {

    // No cookie reaches or leaves the token core's exchanges: they are authenticated by their
    // headers alone, and the shared manager must not carry state from one request to the next.
    class RefusingCookieJar : public QNetworkCookieJar {
    public:
        using QNetworkCookieJar::QNetworkCookieJar;
        QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
        bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
    };

} // namespace

ExchangeTransport::ExchangeTransport(QObject* owner)
    : owner(owner)
{
}

void ExchangeTransport::setTransferTimeout(int milliseconds)
{
    m_transferTimeout = milliseconds > 0 ? milliseconds : defaultTransferTimeout;
    if (sharedManager)
        sharedManager->setTransferTimeout(m_transferTimeout);
}

QNetworkAccessManager* ExchangeTransport::newExchangeManager()
{
    auto* manager = new QNetworkAccessManager(owner); // goes with the owner, replies and all
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy); // Qt 6 would follow them
    manager->setTransferTimeout(m_transferTimeout > 0 ? m_transferTimeout : defaultTransferTimeout);
    manager->setCookieJar(new RefusingCookieJar(manager));
    // No authenticationRequired handler and no user info in any URL: a challenge fails the
    // request, and no credential is ever cached.
    return manager;
}

QNetworkAccessManager* ExchangeTransport::exchangeManager(bool ownConnection)
{
    if (ownConnection)
        return newExchangeManager();
    if (!sharedManager) {
        sharedManager = newExchangeManager();
        // Once per manager rather than per request: this is every call's path. The owner as
        // context: its destructor cuts the connection before the managers go.
        QObject::connect(sharedManager, &QNetworkAccessManager::finished, owner,
            [this](QNetworkReply* reply) { retireIfStalled(reply); });
    }
    return sharedManager;
}

void ExchangeTransport::retireIfStalled(QNetworkReply* reply)
{
    // Qt keeps a connection whose TLS handshake stalled and queues the next requests on it, where
    // they time out in turn: after a timeout without any answer the next exchanges go through a
    // new manager. The old one goes once its calls have ended (clearing its connections would
    // break those).
    QNetworkAccessManager* const manager = reply->manager();
    if (manager != sharedManager
        || reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()
        || timeoutMessage(reply, Server::OAuth).isEmpty())
        return;
    sharedManager = nullptr;
    const auto releaseWhenIdle = [manager] {
        if (manager->findChildren<QNetworkReply*>().isEmpty())
            manager->deleteLater();
    };
    const auto replies = manager->findChildren<QNetworkReply*>();
    for (QNetworkReply* running : replies)
        QObject::connect(
            running, &QObject::destroyed, manager, releaseWhenIdle, Qt::QueuedConnection);
}

JsonExchange ExchangeTransport::start(QNetworkAccessManager::Operation operation,
    const QNetworkRequest& original, const QByteArray& body, qint64 maximumSize,
    ExchangeOwner jsonOwner, Server server)
{
    QNetworkRequest request(original);
#if QT_VERSION_MAJOR < 6
    // Qt 5 keeps Nagle's algorithm on for its HTTP/1.1 sockets and writes a request's body after
    // its headers: on a reused connection the body waits for the server's delayed ACK. Measured
    // on loopback, shared manager: a POST with a 34 B to 4 KiB body took 44 ms, a GET 0.4 ms
    // (HTTPS 0.2 ms); a new connection per POST took 0.8 ms over HTTP (over HTTPS it often
    // stalls as well). Over HTTP/2 Qt 5 sends headers and body together: 0.5 ms on the shared
    // connection. So an exchange with a body gets a manager (and a connection) of its own,
    // unless its HTTPS origin has answered over HTTP/2. Qt 5 offers HTTP/2 only when asked
    // (Qt 6 by default): the first such exchange to an origin asks, and its answer decides for
    // the next ones; offered on many new connections at once it measured slower.
    QString probedOrigin;
    bool ownConnection = !body.isEmpty();
    if (ownConnection && request.url().scheme() == QLatin1String("https")) {
        const QString origin = request.url().host().toLower() + QLatin1Char(':')
            + QString::number(request.url().port(443));
        const auto known = http2Origins.constFind(origin);
        if (known == http2Origins.cend()) { // not asked yet: this exchange asks
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
            probedOrigin = origin;
            http2Origins.insert(origin, Http2Answer::Awaited);
        } else if (*known == Http2Answer::Yes) {
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
            ownConnection = false;
        }
    }
#else
    // Qt 6 sets TCP_NODELAY: every exchange shares the warm connections.
    const bool ownConnection = false;
#endif
    QNetworkAccessManager* manager = exchangeManager(ownConnection);
    QNetworkReply* reply = nullptr;
    switch (operation) {
    case QNetworkAccessManager::GetOperation:
        reply = manager->get(request);
        break;
    case QNetworkAccessManager::PutOperation:
        reply = manager->put(request, body);
        break;
    case QNetworkAccessManager::PostOperation:
        reply = manager->post(request, body);
        break;
    case QNetworkAccessManager::DeleteOperation:
        reply = manager->deleteResource(request);
        break;
    default:
        break;
    }
#if QT_VERSION_MAJOR < 6
    if (!reply && !probedOrigin.isEmpty())
        http2Origins.remove(probedOrigin);
#endif
    if (manager != sharedManager) {
        if (!reply) {
            delete manager;
            return {};
        }
        QObject::connect(reply, &QNetworkReply::finished, manager, &QObject::deleteLater);
    }
    if (!reply)
        return {};
    // The JSON reply releases it once reported; this also covers a JSON reply dropped earlier.
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
#if QT_VERSION_MAJOR < 6
    if (!probedOrigin.isEmpty())
        QObject::connect(reply, &QNetworkReply::finished, owner, [this, reply, probedOrigin] {
            // No answer at all (no connection) tells nothing: the next exchange asks again.
            if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
                http2Origins.remove(probedOrigin);
            else if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
                http2Origins.insert(probedOrigin, Http2Answer::Yes);
            else
                http2Origins.insert(probedOrigin, Http2Answer::No);
        });
#endif

    auto* json = new JsonNetworkReplyImpl(reply, server);
    json->setMaximumSize(maximumSize);
    if (maximumSize > 0)
        limitAnswerTime(reply, server, 2 * manager->transferTimeout());
    if (jsonOwner == ExchangeOwner::Service) // its own context: no double deletion
        QObject::connect(owner, &QObject::destroyed, json, [json] { delete json; });
    return { json, reply, {} };
}

} // namespace zel
