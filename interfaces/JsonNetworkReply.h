#pragma once

#include <QByteArray>
#include <QObject>

namespace zel::network {

// One JSON exchange as the host sees it: connect to finished(int, QJsonDocument) and
// error(QString, int) of object(), and release the object once it has reported.
class JsonNetworkReply {
public:
    virtual ~JsonNetworkReply() { }
    virtual QObject* object() = 0;
    virtual QByteArray rawHeader(const QByteArray& name) const = 0;
};

} // namespace zel::network

Q_DECLARE_INTERFACE(zel::network::JsonNetworkReply, "zel.network.JsonNetworkReply")
