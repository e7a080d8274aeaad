#pragma once

#include "common/LinkProtocol.h"

#include <cstdint>
#include <string_view>

// The names of the link protocol as the server uses them, taken from the one Qt-free place that the DDE gateway
// compiles too.
namespace tavrel::link {

/// The one service, as in "/dde/Tavrel/Items".
inline constexpr std::string_view kService = protocol::kService;
/// The topic every item of the program lives under.
inline constexpr std::string_view kTopic = protocol::kItemsTopic;
/// The read-only topic of the run's and the PLCs' health.
inline constexpr std::string_view kSystemTopic = protocol::kSystemTopic;
/// The path, beside the topics, of the newest events (HTTP only).
inline constexpr std::string_view kEventsPath = "Events";
/// The audit trail, beside the topics.
inline constexpr std::string_view kAuditPath = "Audit";
/// An item's history, beside the topics: "/dde/<service>/History/<item>".
inline constexpr std::string_view kHistoryPath = "History";
/// The first part of every HTTP path of the items: "/dde/<service>/<topic>[/<item>]".
inline constexpr std::string_view kPathRoot = protocol::kPathRoot;

/// An item name is the label index between these two: "lblDDE(7)".
inline constexpr std::string_view kItemNameStart = protocol::kItemNameStart;
inline constexpr std::string_view kItemNameEnd = protocol::kItemNameEnd;

/// The operations of a WebSocket message ("op"), in the order the server's answers list them.
inline constexpr std::string_view kOpAdvise = protocol::OperationName(protocol::Operation::Advise);
inline constexpr std::string_view kOpUnadvise = protocol::OperationName(protocol::Operation::Unadvise);
inline constexpr std::string_view kOpRequest = protocol::OperationName(protocol::Operation::Request);
inline constexpr std::string_view kOpPoke = protocol::OperationName(protocol::Operation::Poke);
inline constexpr std::string_view kOpExecute = protocol::OperationName(protocol::Operation::Execute);
/// The server's word that a link is over: its item is no more.
inline constexpr std::string_view kOpEnded = protocol::kEnded;
/// The op of an answer to a message that named none.
inline constexpr std::string_view kOpError = protocol::kError;

/// Close codes of a WebSocket conversation.
inline constexpr std::uint16_t kCloseGoingAway = protocol::kCloseGoingAway; ///< the program is ending
inline constexpr std::uint16_t kClosePolicyViolated = protocol::kCloseTooSlow; ///< the client read too slowly
inline constexpr std::uint16_t kCloseTooMuchData = protocol::kCloseTooMany; ///< no room for another conversation

} // namespace tavrel::link
