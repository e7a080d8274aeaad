#include "LinkMessages.h"

#include "Excerpt.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace tavrel::dde {

namespace {

using json = nlohmann::json;

json Parse(std::string_view text)
{
    return json::parse(text.begin(), text.end(), nullptr, false);
}

std::string Dump(const json& message)
{
    return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

/// A member that is a text; nothing when it is missing or of another type.
std::optional<std::string> TextMember(const json& object, const char* name)
{
    const auto member = object.find(name);
    return member != object.end() && member->is_string() ? std::optional(member->get<std::string>()) : std::nullopt;
}

bool IsSystemTopic(std::string_view topic)
{
    // The link server matches topics without regard to case.
    return std::ranges::equal(topic, protocol::kSystemTopic, [](char a, char b) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(a) == lower(b);
    });
}

/// The item an object names: a System item by its "topic", else lblDDE(n) of the topic Items; nothing when its
/// "item" is no text, or no item name of the topic Items.
std::optional<LinkItem> ItemOf(const json& object)
{
    const auto item = TextMember(object, "item");
    if (!item) {
        return std::nullopt;
    }
    if (const auto topic = TextMember(object, "topic"); topic && IsSystemTopic(*topic)) {
        return LinkItem { -1, *item };
    }
    const auto index = protocol::ParseLabelName(*item);
    return index ? std::optional(LinkItem { *index, {} }) : std::nullopt;
}

/// An item's value; nothing for an object of another form.
std::optional<LinkValue> ValueOf(const json& object)
{
    if (!object.is_object()) {
        return std::nullopt;
    }
    auto item = ItemOf(object);
    auto value = TextMember(object, "value");
    if (!item || !value) {
        return std::nullopt;
    }
    return LinkValue { std::move(*item), std::move(*value) };
}

ServerMessage Invalid(std::string what)
{
    ServerMessage message;
    message.invalid = std::move(what);
    return message;
}

} // namespace

ServerMessage ReadServerMessage(std::string_view text)
{
    const json document = Parse(text);
    if (document.is_discarded()) {
        return Invalid("something that is not JSON");
    }
    ServerMessage message;
    if (document.is_array()) {
        // The changes of one pass.
        message.kind = ServerMessage::Kind::Changes;
        for (const json& change : document) {
            auto value = ValueOf(change);
            if (!value) {
                return Invalid("a change that is no item and value");
            }
            message.values.push_back(std::move(*value));
        }
        return message;
    }
    if (!document.is_object()) {
        return Invalid("a message that is no JSON object");
    }
    if (!document.contains("op")) {
        // A value without "op": the answer to an advise, or a change of an advised item.
        auto value = ValueOf(document);
        if (!value) {
            return Invalid("a message that is no item and value");
        }
        message.kind = ServerMessage::Kind::Value;
        message.values.push_back(std::move(*value));
        return message;
    }
    message.op = TextMember(document, "op").value_or(std::string());
    if (message.op == protocol::kEnded) {
        message.kind = ServerMessage::Kind::Ended;
        message.ended = ItemOf(document);
        return message;
    }
    message.kind = ServerMessage::Kind::Answer;
    if (const auto ok = document.find("ok"); ok != document.end() && ok->is_boolean()) {
        message.ok = ok->get<bool>();
    }
    message.error = TextMember(document, "error");
    message.value = TextMember(document, "value");
    return message;
}

std::optional<std::string> ReadSystemItemNames(std::string_view body, std::string& error)
{
    const json document = Parse(body);
    const auto items = document.is_object() ? document.find("items") : document.end();
    if (!document.is_object() || items == document.end() || !items->is_array()) {
        error = "the link server's list of System items is no JSON list: " + Excerpt(body);
        return std::nullopt;
    }
    std::string names;
    for (const json& item : *items) {
        const auto name = item.is_object() ? TextMember(item, "item") : std::nullopt;
        if (!name) {
            error = "the link server's list of System items holds " + Excerpt(Dump(item));
            return std::nullopt;
        }
        names += (names.empty() ? "" : "\t") + *name;
    }
    return names;
}

std::string ItemMessage(protocol::Operation operation, const LinkItem& item)
{
    const std::string op(protocol::OperationName(operation));
    if (!item.IsSystem()) {
        return Dump({ { "op", op }, { "item", protocol::LabelName(item.index) } });
    }
    return Dump({ { "op", op }, { "topic", protocol::kSystemTopic }, { "item", item.systemName } });
}

std::string PokeMessage(std::int32_t index, std::string_view text)
{
    return Dump({ { "op", protocol::OperationName(protocol::Operation::Poke) },
                  { "item", protocol::LabelName(index) },
                  { "value", text } });
}

std::string ExecuteMessage(std::string_view command)
{
    return Dump({ { "op", protocol::OperationName(protocol::Operation::Execute) }, { "command", command } });
}

} // namespace tavrel::dde
