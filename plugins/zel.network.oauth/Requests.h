#pragma once

// The requests the plug-in sends, built in one place: token-endpoint forms, the HTML form
// flows' page fetch and post, and the API server's JSON calls.

#include <QNetworkRequest>
#include <QString>

#include <utility>
#include <vector>

class QNetworkReply;

namespace zel::platform {
class SystemLookup;
}

namespace zel {

using FormFields = std::vector<std::pair<QString, QString>>; // name, value as held

// Form percent-encoding: UTF-8, everything but A-Z a-z 0-9 - . _ ~ as %XX (a space is %20).
QByteArray formEncode(const QString& text);

// "name=value&..." with each name and value form-encoded once; the plain copies of the values
// made on the way are wiped.
QByteArray formBody(const FormFields& fields);

// The device registration's fields: the kind of client application, the model, this machine's
// device identifier, a hash of the user's name and the host's name.
FormFields deviceRegistrationFields(const platform::SystemLookup& lookup);

// A request with the form headers (Content-Type form-urlencoded, Accept JSON).
QNetworkRequest createFormRequest(const QUrl& url);

// The JSON request for the API origin followed by path. A path that does not begin with "/" (and
// so could move the request off the origin), or has a fragment, gives a request without URL
// that carries the refusal's message instead (apiRequestRefusal); nothing may be sent for it.
QNetworkRequest createApiRequest(const QString& apiOrigin, const QString& path);
// Why createApiRequest refused its path, naming the path; a null string for any other request.
QString apiRequestRefusal(const QNetworkRequest& request);

} // namespace zel
