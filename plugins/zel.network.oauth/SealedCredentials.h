#pragma once

// The token core's stored secrets, the client secret and the refresh token: kept sealed as the
// store holds them until first needed, and sealed by the platform's data protection to be stored.
// Unsealing is the process's first use of OpenSSL and reads the key, which a host that only
// starts the plug-in should not pay for.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace zel {

class SealedCredentials {
public:
    // Data protection of the platform; an empty result on failure.
    static QByteArray protectData(const QByteArray& bytes);
    static QByteArray unprotectData(const QByteArray& bytes, QString* why = nullptr);
    // Settings forms: base64 text of the protected bytes (an invalid QVariant when protection
    // fails), and back to the plain bytes.
    static QVariant protectValue(const QVariant& value);
    static QVariant unprotectValue(const QVariant& value, QString* why = nullptr);

    // Takes the stored, sealed values; an empty one counts as none. False when no client secret
    // is stored.
    bool loadClientSecret(const QVariant& stored);
    void loadRefreshToken(const QVariant& stored);

    // A client secret is held or stored; the stored one is not unsealed for this.
    bool hasClientSecret() const { return sealedClientSecret.isValid() || !plainSecret.isEmpty(); }
    // The stored secret is unsealed here, on first use; empty when it cannot be read.
    QString clientSecret() const;
    // Holds the secret for this session in place of any stored one.
    void holdClientSecret(const QString& secret);
    void forgetClientSecret();

    bool hasSealedRefreshToken() const { return sealedRefreshToken.isValid(); }
    // Unseals the stored refresh token into refreshToken, once (nothing to do: true). False, with
    // why, when it cannot be read; the stored value stays for a later start that can read it.
    bool unsealRefreshToken(QString& refreshToken, QString& why);
    void forgetRefreshToken() { sealedRefreshToken.clear(); }

private:
    mutable QString plainSecret;
    mutable QVariant sealedClientSecret;
    QVariant sealedRefreshToken;
};

} // namespace zel
