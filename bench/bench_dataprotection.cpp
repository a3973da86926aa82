// Cost of protecting and unprotecting a stored secret (key file read, AES-256-GCM, base64), as
// the token store pays it on every load and every token response. Prints figures only.

#include "AbstractOAuth2Client.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    // The key goes to a throw-away data folder, never to the user's own.
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);

    for (const int size : { 32, 1024, 64 * 1024 }) {
        const QString secret(size, QLatin1Char('s'));
        const int iterations = size > 1024 ? 500 : 5000;
        QVariant sealed;
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < iterations; ++i)
            sealed = AbstractOAuth2Client::protectValue(secret);
        const double protectNs = double(timer.nsecsElapsed()) / iterations;
        timer.restart();
        for (int i = 0; i < iterations; ++i) {
            if (AbstractOAuth2Client::unprotectValue(sealed).toByteArray().size() != size)
                return 1;
        }
        const double unprotectNs = double(timer.nsecsElapsed()) / iterations;
        std::printf(
            "%6d B  protect %9.0f ns/op (%8.0f ops/s)  unprotect %9.0f ns/op (%8.0f ops/s)\n", size,
            protectNs, 1e9 / protectNs, unprotectNs, 1e9 / unprotectNs);
    }
    return 0;
}
