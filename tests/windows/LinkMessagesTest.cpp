#include "LinkMessages.h"

#include <gtest/gtest.h>

#include <string>

using namespace tavrel::dde;
using tavrel::protocol::Operation;

namespace {

std::string Describe(const LinkItem& item)
{
    return item.IsSystem() ? "System!" + item.systemName : std::to_string(item.index);
}

std::string Describe(const std::optional<std::string>& text)
{
    return text ? '"' + *text + '"' : "-";
}

// A decoded message in one line, so that a table can name what each text must decode to.
std::string Describe(const ServerMessage& message)
{
    std::string values;
    for (const LinkValue& value : message.values) {
        values += " " + Describe(value.item) + "=" + Describe(value.value);
    }
    switch (message.kind) {
    case ServerMessage::Kind::Value:
        return "value" + values;
    case ServerMessage::Kind::Changes:
        return "changes" + values;
    case ServerMessage::Kind::Ended:
        return "ended " + (message.ended ? Describe(*message.ended) : "-");
    case ServerMessage::Kind::Answer:
        return "answer '" + message.op + "' ok " + (message.ok ? (*message.ok ? "true" : "false") : "-") + " error "
            + Describe(message.error) + " value " + Describe(message.value);
    case ServerMessage::Kind::Invalid:
        return "invalid: " + message.invalid;
    }
    return {};
}

TEST(LinkMessages, ServerMessagesDecodeToWhatTheServerMeant)
{
    // The texts as the link server writes them (compact JSON, members in alphabetical order), then what it never
    // writes.
    const std::pair<const char*, const char*> cases[] = {
        // values: an advise's first, one change alone, a pass's changes together, System items
        { R"~({"item":"lblDDE(7)","value":"12.5"})~", R"~(value 7="12.5")~" },
        { R"~([{"item":"lblDDE(1)","value":"1"},{"item":"lblDDE(32767)","value":""}])~",
          R"~(changes 1="1" 32767="")~" },
        { "[]", "changes" },
        { R"~({"item":"Line_1.Connected","topic":"System","value":"0"})~", R"~(value System!Line_1.Connected="0")~" },
        { R"~([{"item":"Status","topic":"system","value":"Ready"},{"item":"LBLdde(2)","value":"x"}])~",
          R"~(changes System!Status="Ready" 2="x")~" },
        // texts with quotes, escapes, line breaks and characters beyond ASCII
        { R"~({"item":"lblDDE(4)","value":"say \"hi\"\r\n\ttab \\ \/ é \u20ac \ud83d\ude00"})~",
          "value 4=\"say \"hi\"\r\n\ttab \\ / \u00e9 \u20ac \U0001F600\"" },
        // ended
        { R"~({"item":"lblDDE(3)","op":"ended","reason":"lblDDE(3) was removed"})~", "ended 3" },
        { R"~({"item":"Line_2.Connected","op":"ended","reason":"gone","topic":"System"})~",
          "ended System!Line_2.Connected" },
        // answers: taken, refused with a status, and to a message the server could not read
        { R"~({"item":"lblDDE(1)","ok":true,"op":"poke"})~", "answer 'poke' ok true error - value -" },
        { R"~({"ok":true,"op":"execute"})~", "answer 'execute' ok true error - value -" },
        { R"~({"item":"lblDDE(2)","op":"request","value":"17"})~", R"~(answer 'request' ok - error - value "17")~" },
        { R"~({"item":"Status","op":"request","topic":"System","value":"Ready"})~",
          R"~(answer 'request' ok - error - value "Ready")~" },
        { R"~({"error":"lblDDE(1): not writable","item":"lblDDE(1)","ok":false,"op":"poke","status":409})~",
          R"~(answer 'poke' ok false error "lblDDE(1): not writable" value -)~" },
        { R"~({"error":"no System item 'X'","ok":false,"op":"advise","status":404,"topic":"System"})~",
          R"~(answer 'advise' ok false error "no System item 'X'" value -)~" },
        { R"~({"error":"a message is one JSON object","ok":false,"op":"error","status":400})~",
          R"~(answer 'error' ok false error "a message is one JSON object" value -)~" },
        // members of the wrong type count as missing
        { R"~({"op":"ended","item":7,"topic":[]})~", "ended -" },
        { R"~({"op":"ended","item":"label(7)"})~", "ended -" },
        { R"~({"op":"request","ok":"yes","item":"lblDDE(1)","error":3,"value":4})~",
          "answer 'request' ok - error - value -" },
        { R"~({"op":null,"ok":true})~", "answer '' ok true error - value -" },
        // nothing the link server sends
        { "<html>certainly not JSON", "invalid: something that is not JSON" },
        { R"~({"item":"lblD)~", "invalid: something that is not JSON" },
        { "{\"item\":\"lblDDE(1)\",\"value\":\"\xff\"}", "invalid: something that is not JSON" },
        { "", "invalid: something that is not JSON" },
        { R"~("lblDDE(1)")~", "invalid: a message that is no JSON object" },
        { "null", "invalid: a message that is no JSON object" },
        { R"~({"item":"lblDDE(1)","value":12})~", "invalid: a message that is no item and value" },
        { R"~({"item":"lblDDE(07)","value":"1"})~", "invalid: a message that is no item and value" },
        { R"~({"item":"Status","topic":"Items","value":"1"})~", "invalid: a message that is no item and value" },
        { "{}", "invalid: a message that is no item and value" },
        { R"~([{"item":"lblDDE(1)","value":"1"},{"item":"lblDDE(2)"}])~",
          "invalid: a change that is no item and value" },
        { R"~([{"item":"lblDDE(1)","value":"1"},7])~", "invalid: a change that is no item and value" },
    };
    for (const auto& [text, decoded] : cases) {
        EXPECT_EQ(Describe(ReadServerMessage(text)), decoded) << text;
    }
}

TEST(LinkMessages, GatewayMessagesAreTheJsonTheServerReads)
{
    const std::pair<std::string, std::string> cases[] = {
        { ItemMessage(Operation::Advise, { 7, {} }), R"~({"item":"lblDDE(7)","op":"advise"})~" },
        { ItemMessage(Operation::Unadvise, { 0, {} }), R"~({"item":"lblDDE(0)","op":"unadvise"})~" },
        { ItemMessage(Operation::Request, { -1, "Line_1.Connected" }),
          R"~({"item":"Line_1.Connected","op":"request","topic":"System"})~" },
        { PokeMessage(1, "12,5 \"x\"\r\n\\"), R"~({"item":"lblDDE(1)","op":"poke","value":"12,5 \"x\"\r\n\\"})~" },
        // bytes that are no UTF-8 go as U+FFFD: writing the message must not throw
        { PokeMessage(2, "a\xff"), "{\"item\":\"lblDDE(2)\",\"op\":\"poke\",\"value\":\"a\xef\xbf\xbd\"}" },
        { ExecuteMessage("[Line_1_STOP]"), R"~({"command":"[Line_1_STOP]","op":"execute"})~" },
    };
    for (const auto& [message, expected] : cases) {
        EXPECT_EQ(message, expected);
    }
}

TEST(LinkMessages, SystemItemNamesAreReadFromTheServersListOrRefused)
{
    const std::pair<const char*, const char*> cases[] = {
        { R"~({"items":[{"item":"Status","value":"Ready"},{"item":"Line_1.Connected","value":"1"}],"service":"Tavrel",)~"
          R"~("topic":"System"})~",
          "Status\tLine_1.Connected" },
        { R"~({"items":[]})~", "" },
        { R"~({"items":{}})~", "error: the link server's list of System items is no JSON list: {\"items\":{}}" },
        { "<html>\n</html>", "error: the link server's list of System items is no JSON list: <html>?</html>" },
        { R"~({"items":[{"item":"Status"},{"item":3}]})~",
          "error: the link server's list of System items holds {\"item\":3}" },
    };
    for (const auto& [body, expected] : cases) {
        std::string error;
        const auto names = ReadSystemItemNames(body, error);
        EXPECT_EQ(names ? *names : "error: " + error, expected) << body;
    }
}

} // namespace
