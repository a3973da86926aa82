#pragma once

// Reaches into the token core for tests: the token record and the grant in flight.

#include "AbstractOAuth2Client.h"

class TokenCoreTestAccess {
public:
    // The stored refresh token is unprotected first, as any grant would.
    static MacToken& token(AbstractOAuth2Client& client)
    {
        client.unsealRefreshToken();
        return client.token;
    }
    static QString pendingGrantType(const AbstractOAuth2Client& client)
    {
        return client.pendingGrantType;
    }
};
