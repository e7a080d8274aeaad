#pragma once

#include "common/LinkProtocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::dde {

/// What the command line asks of the gateway.
struct Options
{
    std::wstring host = L"127.0.0.1"; ///< the link server's host name or address (no brackets)
    std::uint16_t port = protocol::kDefaultPort;
    bool tls = false; ///< https://HOST:PORT: HTTPS and WSS
    std::wstring caFile; ///< the certificate (PEM) that signed the link server's, for one Windows does not trust
    std::string pinSha256; ///< the SHA-256 of the link server's certificate (DER), lower-case hex
    std::wstring tokenFile; ///< a file holding the link server's access token; empty: none
    std::wstring logFile; ///< where to log; empty: the console, or the default file without one
    bool help = false;
};

/// The usage text of --help.
extern const char* const kUsage;

/// Reads the arguments after the program name into `options`; the reason when they are not understood.
std::optional<std::string> ReadOptions(const std::vector<std::wstring>& arguments, Options& options);

/// The token in `path`: its first line without surrounding blanks; the reason when it cannot be had.
std::optional<std::string> ReadToken(const std::wstring& path, std::string& token);

} // namespace tavrel::dde
