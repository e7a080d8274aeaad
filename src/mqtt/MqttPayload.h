#pragma once

#include "app/ItemService.h"

#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::mqtt {

/// What an item's topic carries.
enum class PayloadFormat {
    Plain, ///< the label text, as it is
    Json ///< {"value":230.5,"ts":"…","quality":"good","plc":"Line_1","units":"V"} and more (JsonPayload)
};

/// "plain" or "json", in any letter case; says what it takes otherwise.
tl::expected<PayloadFormat, std::string> ParsePayloadFormat(std::string_view text);

/// What a json payload tells of an item beside its state.
struct PayloadItem
{
    std::string plc;
    std::string units;
    std::string name; ///< the tag name; left out of the payload when empty
    bool numeric = false; ///< its value goes out as a JSON number when its text is a finite number
};

/// The json payload of an item's state: "value" (a number for a numeric item whose text reads as one, else the
/// text), "ts" (when read, ISO 8601 UTC with milliseconds; left out for a value never read), "quality", "reason"
/// when not good, "plc", "units", and "name" when the item has one. Text that is not valid UTF-8 has its bad bytes
/// replaced (U+FFFD), so that the payload is always valid JSON.
std::string JsonPayload(const app::ItemChange& state, const PayloadItem& item, char decimalSeparator);

} // namespace tavrel::mqtt
