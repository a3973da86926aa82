#pragma once

#include <QByteArray>
#include <QObject>

namespace zel::network {

/**
 * One JSON exchange as the host sees it (OAuth2Client::fetchPubNubConfig): connect to the
 * signals of object() by signature, and release the object once it has reported.
 *
 * <table>
 * <tr><th>Signal</th><th>When it comes</th></tr>
 * <tr><td>`finished(int statusCode, QJsonDocument result)`</td>
 *     <td>a JSON answer with a status below 400</td></tr>
 * <tr><td>`error(QString message, int code)`</td>
 *     <td>anything else: code is an HTTP status of 400 and above (message: the JSON explanation), a
 *     QNetworkReply::NetworkError or a QJsonParseError; the property "errorKind" (a
 *     zel::network::ErrorKind) tells its kind</td></tr>
 * </table>
 *
 * Exactly one of them comes, once.
 */
class JsonNetworkReply {
public:
    virtual ~JsonNetworkReply() { }
    //! The reply's QObject, whose signals the host connects and which it releases.
    virtual QObject* object() = 0;
    //! A header of the answer; empty once the answer has been released.
    virtual QByteArray rawHeader(const QByteArray& name) const = 0;
};

} // namespace zel::network

Q_DECLARE_INTERFACE(zel::network::JsonNetworkReply, "zel.network.JsonNetworkReply")
