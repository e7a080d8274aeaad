#pragma once

// The link protocol between Tavrel's link server and its clients, the DDE gateway among them: the names a client
// addresses, the operations of a WebSocket message and the close codes. Standard C++ alone, so that the Windows
// gateway compiles this file as the link server does.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel::protocol {

/// The DDE service of Tavrel's items.
inline constexpr std::string_view kService = "Tavrel";
/// The topic of the label items lblDDE(n).
inline constexpr std::string_view kItemsTopic = "Items";
/// The topic of Tavrel's diagnostics items (the run's and each PLC's health).
inline constexpr std::string_view kSystemTopic = "System";
/// The HTTP path of the topic Items, and of the WebSocket that carries every topic's messages.
inline constexpr std::string_view kItemsPath = "/dde/Tavrel/Items";
/// The HTTP path of the topic System: GET lists its items.
inline constexpr std::string_view kSystemPath = "/dde/Tavrel/System";
/// The first part of every HTTP path of the items: "/dde/<service>/<topic>[/<item>]".
inline constexpr std::string_view kPathRoot = "dde";
/// An item name is a label index between these two: "lblDDE(7)".
inline constexpr std::string_view kItemNameStart = "lblDDE(";
inline constexpr std::string_view kItemNameEnd = ")";
/// The port a link server listens on unless told another.
inline constexpr std::uint16_t kDefaultPort = 7410;
/// The highest index of an item name: the label array lblDDE has the elements 0 to 32767.
inline constexpr std::int32_t kMaxLabelIndex = 32767;

/// What a client asks in a WebSocket message's "op"; the server's answer carries the same "op".
enum class Operation { Advise, Unadvise, Request, Poke, Execute };

/// The names of the operations, in the order of Operation.
inline constexpr std::string_view kOperationNames[] = { "advise", "unadvise", "request", "poke", "execute" };

/// The server's "op" for an advise that ended because its item is no more.
inline constexpr std::string_view kEnded = "ended";
/// The server's "op" in its answer to a message that is no JSON object or has no "op".
inline constexpr std::string_view kError = "error";

/// Close code for every client when Tavrel stops: "going away" (RFC 6455, 7.4.1), with kStoppingReason.
inline constexpr std::uint16_t kCloseGoingAway = 1001;
/// The reason that goes with kCloseGoingAway.
inline constexpr std::string_view kStoppingReason = "Tavrel is stopping";
/// Close code for a client that reads too slowly: "policy violation" (RFC 6455, 7.4.1), with the reason why.
inline constexpr std::uint16_t kCloseTooSlow = 1008;
/// Close code for a conversation past the connection limit: "message too big" (RFC 6455, 7.4.1), the nearest.
inline constexpr std::uint16_t kCloseTooMany = 1009;

/// The name of an operation in a message: "advise", "unadvise", "request", "poke" or "execute".
constexpr std::string_view OperationName(Operation operation)
{
    return kOperationNames[static_cast<std::size_t>(operation)];
}

/// The operation of a message's "op", matched exactly; nothing for any other text ("ended" and "error" included).
std::optional<Operation> ParseOperation(std::string_view name);

/// "lblDDE(7)": the item name of a label index.
std::string LabelName(std::int32_t index);

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of another
/// form (leading zeros, blanks, an index beyond kMaxLabelIndex included).
std::optional<std::int32_t> ParseLabelName(std::string_view name);

/// The same for a UTF-16 name, as DDE hands them over.
std::optional<std::int32_t> ParseLabelName(std::wstring_view name);

} // namespace tavrel::protocol
