#pragma once

// Watches one QNetworkReply and reports its answer exactly once: finished(status, document) for a
// JSON answer without network error, error(message, code) for everything else.

#include "JsonNetworkReply.h"

#include <QJsonDocument>
#include <QObject>
#include <QPointer>

class QNetworkReply;

class JsonNetworkReplyImpl : public QObject, public zel::network::JsonNetworkReply {
    Q_OBJECT
    Q_INTERFACES(zel::network::JsonNetworkReply)

public:
    // Create it right after handing the request to the network access manager, on the same
    // thread, so that the reply cannot have finished yet.
    explicit JsonNetworkReplyImpl(QNetworkReply* reply);
    ~JsonNetworkReplyImpl() override;

    QObject* object() override;
    // Empty once the watched reply has been released.
    QByteArray rawHeader(const QByteArray& name) const override;
    bool isRunning() const;

signals:
    void finished(int statusCode, QJsonDocument result);
    void error(QString message, int code);

public slots:
    void abort();
    void close();

private slots:
    void onFinished();

private:
    // Not owned; scheduled for deletion once reported. Guarded, because its network access
    // manager deletes it as well.
    const QPointer<QNetworkReply> reply;
    bool reported = false;
};
