#pragma once

// The token core's transport: the network access managers with their refusing cookie jar, the
// retirement of a shared connection that stalled, and, in Qt 5, which origins speak HTTP/2. Each
// exchange is a network reply watched by a JSON reply.

#include "JsonNetworkReplyImpl.h"

#include <QHash>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QString>

class QNetworkReply;

namespace zel {

// One JSON exchange: the network reply sent and the JSON reply that reports it (both null for an
// operation without verb).
struct JsonExchange {
    JsonNetworkReplyImpl* json = nullptr;
    QNetworkReply* reply = nullptr;
    QByteArray signedWith; // a signed request's access token
};

enum class ExchangeOwner {
    Service, // the JSON reply goes with the owner at the latest
    Caller, // the caller releases the JSON reply, also after the owner went
};

class ExchangeTransport {
public:
    // owner parents the managers (their replies go with it) and receives their signals.
    explicit ExchangeTransport(QObject* owner);

    // Milliseconds without a byte after which every request ends (0: Qt's default applies).
    int transferTimeout() const { return m_transferTimeout; }
    void setTransferTimeout(int milliseconds);

    // Sends the request through the shared manager, or one of its own (see the Qt 5 note in
    // start), and watches it with a JSON reply limited to maximumSize bytes (0: no limit). The
    // network reply is released once finished, and with the manager when the owner goes. A
    // protocol exchange (maximumSize > 0) also ends at a deadline of twice the transfer timeout.
    JsonExchange start(QNetworkAccessManager::Operation operation, const QNetworkRequest& request,
        const QByteArray& body, qint64 maximumSize, ExchangeOwner owner, Server server);

private:
    // The shared manager, or with ownConnection a manager for one exchange.
    QNetworkAccessManager* exchangeManager(bool ownConnection);
    QNetworkAccessManager* newExchangeManager();
    // After a request that timed out without any answer, later ones get a new shared manager.
    void retireIfStalled(QNetworkReply* reply);

    QObject* const owner;
    int m_transferTimeout = 0;
    QNetworkAccessManager* sharedManager = nullptr; // made on first use
#if QT_VERSION_MAJOR < 6
    // What an HTTPS origin (host:port) answered the first request with a body that offered it
    // HTTP/2; origins not yet asked are absent.
    enum class Http2Answer { Awaited, Yes, No };
    QHash<QString, Http2Answer> http2Origins;
#endif
};

} // namespace zel
