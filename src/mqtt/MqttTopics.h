#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The names of the bridge's topics. Every name but UnderPrefix's is the part under the topic prefix.
namespace tavrel::mqtt {

/// Tavrel's state: "online" while connected, "offline" when it leaves (and as its will).
inline constexpr std::string_view kStatusTopic = "status";
inline constexpr std::string_view kOnline = "online";
inline constexpr std::string_view kOffline = "offline";
/// Refused pokes and commands, as JSON {item, value, reason}.
inline constexpr std::string_view kErrorsTopic = "errors";
/// Execute commands from clients; also the item name a refused command is reported under.
inline constexpr std::string_view kExecuteTopic = "execute";

/// `topic` under `prefix`: "PREFIX/TOPIC".
std::string UnderPrefix(std::string_view prefix, std::string_view topic);

/// A PLC name as one topic level: "%", "/", "+", "#" and control characters percent-encoded, text that is not
/// UTF-8 replaced, so that no name can reach into another topic.
std::string TopicLevel(const std::string& name);

/// The topic of an item's value: "items/lblDDE(7)".
std::string ItemTopic(std::int32_t index);

/// The topic of whether PLC `plcName` is connected: "plcs/NAME/connected".
std::string PlcConnectedTopic(const std::string& plcName);

/// The topic a System item is published under: "Running" as "system/running", "NAME.Errors" as
/// "plcs/NAME/errors" and so on; nothing for "NAME.Connected" (see PlcConnectedTopic) or a name not published.
std::optional<std::string> DiagnosticTopic(std::string_view systemItemName);

/// The topics the bridge subscribes to, under `prefix`: every item's "/set", and "execute".
std::vector<std::string> InboundSubscriptions(std::string_view prefix);

/// What a message from the broker asks for.
struct InboundTopic
{
    bool execute = false; ///< an execute command; otherwise a poke of `item`
    std::string item; ///< the item as the topic names it, any text; empty for a command

    bool operator==(const InboundTopic&) const = default;
};

/// The meaning of `topic` under `prefix`: "execute", or "items/ITEM/set" with a non-empty ITEM; nothing for any
/// other topic.
std::optional<InboundTopic> ParseInboundTopic(std::string_view prefix, std::string_view topic);

} // namespace tavrel::mqtt
