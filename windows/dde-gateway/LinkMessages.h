#pragma once

// The gateway's side of the link protocol's WebSocket messages: what the link server sends, decoded, and what the
// gateway sends, written. Text in, values out and back; no Windows, no socket, so that it is tested on Linux too.

#include "common/LinkProtocol.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::dde {

/// An item of the link server: lblDDE(index) of the topic Items, or a System item by name.
struct LinkItem
{
    std::int32_t index = -1; ///< the label index of an Items item; -1 for a System item
    std::string systemName; ///< a System item's name as written; empty for an Items item

    bool IsSystem() const { return index < 0; }
};

/// A value of an item, as the link server sends it when an advise starts and at every change of the item.
struct LinkValue
{
    LinkItem item;
    std::string value;
};

/// One message of the link server, decoded; only the members of its kind are set.
struct ServerMessage
{
    enum class Kind {
        Value, ///< one item's value: the answer to an advise, or a change
        Changes, ///< an array of items' values: the changes of one pass
        Ended, ///< "ended": an advise ended, its item is no more
        Answer, ///< the answer to a message of the gateway: its "op" again, or "error"
        Invalid ///< nothing the link server sends
    };

    Kind kind = Kind::Invalid;
    std::vector<LinkValue> values; ///< Value: the one; Changes: each, in the order sent
    std::optional<LinkItem> ended; ///< Ended: its item; nothing when it names no item of either topic
    std::string op; ///< Answer: its "op"; empty when that is no text
    std::optional<bool> ok; ///< Answer: its "ok", when that is a Boolean
    std::optional<std::string> error; ///< Answer: its "error", when that is a text
    std::optional<std::string> value; ///< Answer: its "value", when that is a text
    std::string invalid; ///< Invalid: what it is instead, for a log line ("something that is not JSON")
};

/// Decodes one WebSocket message of the link server. Members of another type count as missing: whatever a hostile
/// server sends, this never throws.
ServerMessage ReadServerMessage(std::string_view text);

/// The names in the link server's list of System items ({"items":[{"item":"Status",...},...]}), separated by
/// tabs; nothing, and the reason in `error`, for a text of another form.
std::optional<std::string> ReadSystemItemNames(std::string_view body, std::string& error);

/// The message that asks `operation` (advise, unadvise or request) of an item.
std::string ItemMessage(protocol::Operation operation, const LinkItem& item);

/// The message that pokes `text` into lblDDE(index).
std::string PokeMessage(std::int32_t index, std::string_view text);

/// The message that sends an execute command.
std::string ExecuteMessage(std::string_view command);

} // namespace tavrel::dde
