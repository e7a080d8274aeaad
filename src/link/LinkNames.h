#pragma once

#include <cstdint>
#include <string_view>

// The names of the link protocol, each spelled once for the whole server: what its clients (the live page, the
// DDE gateway, spreadsheets, scripts) send and match. Free of Qt, as the gateway compiles such names too.
namespace tavrel::link {

/// The one service, as in "/dde/Tavrel/Items".
inline constexpr std::string_view kService = "Tavrel";
/// The topic every item of the program lives under.
inline constexpr std::string_view kTopic = "Items";
/// The read-only topic of the run's and the PLCs' health.
inline constexpr std::string_view kSystemTopic = "System";
/// The first part of every HTTP path of the items: "/dde/<service>/<topic>[/<item>]".
inline constexpr std::string_view kPathRoot = "dde";

/// An item name is the label index between these two: "lblDDE(7)".
inline constexpr std::string_view kItemNameStart = "lblDDE(";
inline constexpr std::string_view kItemNameEnd = ")";

/// The operations of a WebSocket message ("op"), in the order the server's answers list them.
inline constexpr std::string_view kOpAdvise = "advise";
inline constexpr std::string_view kOpUnadvise = "unadvise";
inline constexpr std::string_view kOpRequest = "request";
inline constexpr std::string_view kOpPoke = "poke";
inline constexpr std::string_view kOpExecute = "execute";
/// The server's word that a link is over: its item is no more.
inline constexpr std::string_view kOpEnded = "ended";
/// The op of an answer to a message that named none.
inline constexpr std::string_view kOpError = "error";

/// Close codes of a WebSocket conversation (RFC 6455, 7.4.1).
inline constexpr std::uint16_t kCloseGoingAway = 1001; ///< the program is ending
inline constexpr std::uint16_t kClosePolicyViolated = 1008; ///< the client read too slowly, or not at all
inline constexpr std::uint16_t kCloseTooMuchData = 1009; ///< no room for another conversation

} // namespace tavrel::link
