#pragma once

// A loopback TCP proxy for tests that sits between the plug-in and an origin server and spoils
// the origin's answers on command. Over HTTP it reads each request and each answer (both with
// a Content-Length, as Qt and the scripted server send them) and spoils whole answers; over TLS,
// which it cannot read, it passes the bytes through and can only stall a connection's handshake.
//
//     FaultProxy proxy(origin.serverPort(), false);
//     proxy.inject(Fault::Silent, "POST /oauth/token"); // token answers never come

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>
#include <utility>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace zel::test {

enum class Fault {
    None,
    ResetBeforeHead, // the origin answered; the connection is reset before the first byte
    ResetInHead, // half the head, then a reset
    ResetInBody, // the head and half the body, then a reset
    TruncateBody, // the head and half the body, then an orderly close
    Silent, // nothing, the connection stays open
    Drip, // the head, then the body one byte every dripMs
    StallHandshake, // TLS: the client's bytes reach the origin, the origin's never come back
    Slow, // the head after slowMs, the body slowMs later
};

class FaultProxy : public QTcpServer {
public:
    FaultProxy(quint16 originPort, bool tls)
        : originPort(originPort)
        , tls(tls)
    {
        listen(QHostAddress::LocalHost, 0);
    }

    QString origin() const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(tls ? "https" : "http").arg(serverPort());
    }

    // Until the next call, spoils the answers to the requests of route ("METHOD /path"), or
    // over TLS every connection after the next `skip` ones.
    void inject(Fault next, const QByteArray& route = {}, int skip = 0)
    {
        fault = next;
        spoiledRoute = route;
        passing = skip;
    }

    int dripMs = 50;
    int slowMs = 100;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto* client = new QTcpSocket(this);
        auto* upstream = new QTcpSocket(client);
        client->setSocketDescriptor(descriptor);
        upstream->connectToHost(QHostAddress::LocalHost, originPort);
        // Answers are spoiled in the order their requests came (Qt does not pipeline).
        struct Link {
            QList<Fault> spoils;
            QByteArray requests, answers;
            bool stalled;
        };
        const bool stalled = tls && (passing > 0 ? (--passing, false) : fault != Fault::None);
        const auto link = std::make_shared<Link>(Link { {}, {}, {}, stalled });
        connect(client, &QIODevice::readyRead, this, [=] {
            const QByteArray bytes = client->readAll();
            upstream->write(bytes);
            link->requests += tls ? QByteArray() : bytes;
            for (qint64 size; (size = messageSize(link->requests)) >= 0;
                 link->requests.remove(0, int(size))) {
                const QList<QByteArray> line
                    = link->requests.left(link->requests.indexOf('\r')).split(' ');
                const bool spoiled
                    = line.value(0) + ' ' + line.value(1).split('?').value(0) == spoiledRoute;
                link->spoils.append(spoiled ? fault : Fault::None);
            }
        });
        connect(upstream, &QIODevice::readyRead, this, [=] {
            link->answers += upstream->readAll();
            if (tls && !link->stalled)
                client->write(std::exchange(link->answers, {}));
            for (qint64 size; !tls && (size = messageSize(link->answers)) >= 0;) {
                const int head = link->answers.indexOf("\r\n\r\n") + 4;
                deliver(client, link->answers.left(head), link->answers.mid(head, int(size) - head),
                    link->spoils.isEmpty() ? Fault::None : link->spoils.takeFirst());
                link->answers.remove(0, int(size));
            }
        });
        connect(client, &QAbstractSocket::disconnected, client, &QObject::deleteLater);
        connect(
            upstream, &QAbstractSocket::disconnected, client, &QAbstractSocket::disconnectFromHost);
    }

private:
    // The size of the first message in buffer once it has fully arrived, else -1.
    static qint64 messageSize(const QByteArray& buffer)
    {
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return -1;
        qint64 length = 0;
        for (const QByteArray& line : buffer.left(headEnd).split('\n'))
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toLongLong();
        return buffer.size() >= headEnd + 4 + length ? headEnd + 4 + length : -1;
    }

    static void reset(QTcpSocket* socket)
    {
        socket->flush();
        const linger now { 1, 0 }; // close with RST instead of FIN
#ifdef Q_OS_WIN
        ::setsockopt(SOCKET(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER,
            reinterpret_cast<const char*>(&now), sizeof now);
#else
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
#endif
        socket->abort();
    }

    void later(int ms, QTcpSocket* socket, std::function<void()> action)
    {
        QTimer::singleShot(ms, socket, std::move(action));
    }

    void drip(QTcpSocket* socket, const QByteArray& rest)
    {
        if (!rest.isEmpty())
            later(dripMs, socket, [=] { socket->write(rest.left(1)), drip(socket, rest.mid(1)); });
    }

    void deliver(QTcpSocket* client, const QByteArray& head, const QByteArray& body, Fault spoil)
    {
        switch (spoil) {
        case Fault::None:
        case Fault::StallHandshake:
            client->write(head + body);
            break;
        case Fault::ResetBeforeHead:
            reset(client);
            break;
        case Fault::ResetInHead:
            client->write(head.left(head.size() / 2));
            reset(client);
            break;
        case Fault::ResetInBody:
            client->write(head + body.left(body.size() / 2));
            reset(client);
            break;
        case Fault::TruncateBody:
            client->write(head + body.left(body.size() / 2));
            client->disconnectFromHost();
            break;
        case Fault::Silent:
            break;
        case Fault::Drip:
            client->write(head);
            drip(client, body);
            break;
        case Fault::Slow:
            later(slowMs, client, [=] {
                client->write(head);
                later(slowMs, client, [=] { client->write(body); });
            });
            break;
        }
    }

    quint16 originPort;
    bool tls;
    Fault fault = Fault::None;
    QByteArray spoiledRoute;
    int passing = 0;
};

} // namespace zel::test
