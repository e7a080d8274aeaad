#include "mqtt/MqttPayload.h"

#include "common/NumberText.h"
#include "common/TextCase.h"
#include "common/TimeText.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace tavrel::mqtt {

namespace {

/// The length of the valid UTF-8 sequence at the start of `text`, or 0 when it starts with none.
std::size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (first >= 0xc2 && first <= 0xdf) {
        length = 2;
    } else if (first >= 0xe0 && first <= 0xef) {
        length = 3;
        low = first == 0xe0 ? 0xa0 : 0x80; // no overlong forms
        high = first == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (first >= 0xf0 && first <= 0xf4) {
        length = 4;
        low = first == 0xf0 ? 0x90 : 0x80;
        high = first == 0xf4 ? 0x8f : 0xbf; // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

void AppendString(std::string& out, std::string_view text)
{
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            const std::size_t length = Utf8SequenceLength(text.substr(i));
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += c;
        }
        ++i;
    }
    out += '"';
}

void AppendMember(std::string& out, std::string_view name, std::string_view text)
{
    out += ",\"";
    out += name;
    out += "\":";
    AppendString(out, text);
}

} // namespace

tl::expected<PayloadFormat, std::string> ParsePayloadFormat(std::string_view text)
{
    if (common::SameTextIgnoringCase(text, "plain")) {
        return PayloadFormat::Plain;
    }
    if (common::SameTextIgnoringCase(text, "json")) {
        return PayloadFormat::Json;
    }
    return tl::make_unexpected("MqttPayload is plain or json, not '" + std::string(text) + "'");
}

std::string JsonPayload(const app::ItemChange& state, const PayloadItem& item, char decimalSeparator)
{
    std::string out;
    out.reserve(state.value.size() + item.plc.size() + item.units.size() + item.name.size() + 100);
    out += "{\"value\":";
    bool asNumber = false;
    if (item.numeric) {
        if (const auto number = common::ParseDouble(state.value, decimalSeparator); number && std::isfinite(*number)) {
            char digits[32];
            const auto written = std::to_chars(digits, digits + sizeof digits, *number);
            out.append(digits, written.ptr);
            asNumber = true;
        }
    }
    if (!asNumber) {
        AppendString(out, state.value);
    }
    if (state.readAt.time_since_epoch().count() != 0) {
        AppendMember(out, "ts", common::UtcTimeText(state.readAt));
    }
    AppendMember(out, "quality", app::QualityName(state.quality));
    if (state.quality != app::Quality::Good) {
        AppendMember(out, "reason", state.reason);
    }
    AppendMember(out, "plc", item.plc);
    AppendMember(out, "units", item.units);
    if (!item.name.empty()) {
        AppendMember(out, "name", item.name);
    }
    out += '}';
    return out;
}

} // namespace tavrel::mqtt
