#include "mqtt/MqttTopics.h"

#include "model/LabelArray.h"

#include <QString>

#include <array>
#include <span>
#include <utility>

namespace tavrel::mqtt {

namespace {

constexpr std::string_view kItemsHead = "items/";
constexpr std::string_view kSetTail = "/set";

/// The System items of the run and their topics.
constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kRunTopics { {
    { "Running", "system/running" },
    { "PassCount", "system/passCount" },
    { "PassMs", "system/passMs" },
    { "MqttBuffered", "system/mqttBuffered" },
    { "MqttDropped", "system/mqttDropped" },
    { "MqttReplay", "system/mqttReplay" },
    { "MqttQueueError", "system/mqttQueueError" },
} };

/// The System items of a PLC ("NAME.Answered" …) and the last level of their topics; "Connected" is not among
/// them, for it follows what the bridge knows of the PLC's channel (see PlcConnectedTopic).
constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kPlcTopics { {
    { "Answered", "/answered" },
    { "PlcRunning", "/plcRunning" },
    { "LastError", "/lastError" },
    { "Errors", "/errors" },
    { "PassMs", "/passMs" },
    { "MqttBuffered", "/mqttBuffered" },
    { "MqttDropped", "/mqttDropped" },
    { "MqttReplay", "/mqttReplay" },
} };

std::optional<std::string_view> Lookup(std::span<const std::pair<std::string_view, std::string_view>> table,
                                       std::string_view key)
{
    for (const auto& [name, topic] : table) {
        if (name == key) {
            return topic;
        }
    }
    return std::nullopt;
}

std::string PlcTopic(std::string_view plcName, std::string_view tail)
{
    return "plcs/" + TopicLevel(std::string(plcName)) + std::string(tail);
}

} // namespace

std::string UnderPrefix(std::string_view prefix, std::string_view topic)
{
    std::string whole;
    whole.reserve(prefix.size() + 1 + topic.size());
    whole.append(prefix).append(1, '/').append(topic);
    return whole;
}

std::string TopicLevel(const std::string& name)
{
    // Qt's decoder replaces what is not UTF-8, as every other text of the program is read.
    const QByteArray text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).toUtf8();
    std::string level;
    level.reserve(static_cast<std::size_t>(text.size()));
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '/' || c == '+' || c == '#' || byte < 0x20 || byte == 0x7f) {
            level += '%';
            level += kHex[byte >> 4];
            level += kHex[byte & 0xf];
        } else {
            level += c;
        }
    }
    return level;
}

std::string ItemTopic(std::int32_t index)
{
    return std::string(kItemsHead) + model::LabelName(index);
}

std::string PlcConnectedTopic(const std::string& plcName)
{
    return PlcTopic(plcName, "/connected");
}

std::optional<std::string> DiagnosticTopic(std::string_view systemItemName)
{
    // A PLC's name may hold dots of its own: the item's part is after the last.
    const std::size_t dot = systemItemName.rfind('.');
    if (dot == std::string_view::npos) {
        if (const auto topic = Lookup(kRunTopics, systemItemName)) {
            return std::string(*topic);
        }
    } else if (const auto tail = Lookup(kPlcTopics, systemItemName.substr(dot + 1))) {
        return PlcTopic(systemItemName.substr(0, dot), *tail);
    }
    return std::nullopt;
}

std::vector<std::string> InboundSubscriptions(std::string_view prefix)
{
    return { UnderPrefix(prefix, std::string(kItemsHead) + "+" + std::string(kSetTail)),
             UnderPrefix(prefix, kExecuteTopic) };
}

std::optional<InboundTopic> ParseInboundTopic(std::string_view prefix, std::string_view topic)
{
    if (topic == UnderPrefix(prefix, kExecuteTopic)) {
        return InboundTopic { .execute = true, .item = {} };
    }
    const std::string itemsHead = UnderPrefix(prefix, kItemsHead);
    if (topic.size() <= itemsHead.size() + kSetTail.size() || !topic.starts_with(itemsHead)
        || !topic.ends_with(kSetTail)) {
        return std::nullopt;
    }
    return InboundTopic { .execute = false,
                          .item = std::string(
                              topic.substr(itemsHead.size(), topic.size() - itemsHead.size() - kSetTail.size())) };
}

} // namespace tavrel::mqtt
