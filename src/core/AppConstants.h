#pragma once

#include <QLatin1StringView>

namespace kivo {

// The service's website (sign-in, account pages) and its API (the removal endpoint).
// A user who points the backend address elsewhere (a self-hosted service) uses that
// server for both.
inline constexpr QLatin1StringView kDefaultWebsiteBaseURL{"https://kivopro.example"};
inline constexpr QLatin1StringView kDefaultApiBaseURL{"https://api.kivopro.example"};

inline constexpr QLatin1StringView kApplicationName{"kivopro"};
inline constexpr QLatin1StringView kOrganizationName{"kivopro"};

// Credential-store account names.
inline constexpr QLatin1StringView kApiKeyAccount{"kivopro_api_key"};
inline constexpr QLatin1StringView kSessionAccount{"kivopro_session"};

// Per-user defaults keys.
inline constexpr QLatin1StringView kInstallationUUIDKey{"com.kivopro.installationUUID"};

} // namespace kivo
