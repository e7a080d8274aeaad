#pragma once

#include <QByteArray>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace tavrel::link {

/// The bounds the server keeps clients within.
struct LinkLimits
{
    qint64 maxBodyBytes = 64 * 1024; ///< a poke or execute body
    qint64 maxMessageBytes = 64 * 1024; ///< a WebSocket message
    std::size_t maxLinksPerConnection = 40000;
    int maxConnections = 512; ///< HTTP and WebSocket connections together
    /// Unsent bytes past which a connection gets only the newest value of each of its links.
    qint64 conflateBytes = 1024 * 1024;
    /// Unsent bytes past which a connection is closed (code 1008).
    qint64 maxUnsentBytes = 16 * 1024 * 1024;
    /// Time a connection may hold unsent data without taking any of it before it is closed (code 1008).
    int stallMs = 30000;
    /// Time a TLS client may take over its handshake before it is closed.
    int handshakeMs = 10000;
};

/// Who may talk to the server. Requests without an Origin header (programs rather than web pages) need no
/// origin; requests from web pages are served when their origin is the server's own or listed here.
struct LinkAccess
{
    QStringList allowedOrigins; ///< web page origins served besides the server's own, like "http://scada.example:8080"
    QStringList allowedHosts; ///< Host names served besides IP addresses and localhost (DNS rebinding stops here)
    QByteArray token; ///< LinkTokenFile's: one operator token that, when set, every request must carry
    std::filesystem::path usersFile; ///< named tokens, each with its role; empty for none
    bool requireToken = false; ///< clients on this computer, too, must present a token (LinkRequireToken)
    bool allowPlainHttp = false; ///< off loopback, serve without TLS all the same (LinkAllowPlainHttp)
};

/// What the server has done with its WebSocket clients since it started.
struct LinkStats
{
    std::uint64_t opened = 0; ///< conversations accepted
    std::uint64_t dropped = 0; ///< conversations ended, for whatever reason
    std::uint64_t conflated = 0; ///< times a client fell behind and got only the newest values
    std::uint64_t closedSlow = 0; ///< clients closed for reading too slowly or not at all
};

} // namespace tavrel::link
