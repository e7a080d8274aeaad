#include "mqtt/MqttTopics.h"

#include <gtest/gtest.h>

using namespace tavrel::mqtt;

namespace {

using Named = std::pair<std::string, std::optional<std::string>>;

} // namespace

TEST(MqttTopics, NoNameReachesIntoAnotherTopic)
{
    const Named cases[] = {
        { TopicLevel("Line_1"), "Line_1" },
        { TopicLevel("a/b+c#d%e"), "a%2Fb%2Bc%23d%25e" },
        { TopicLevel(std::string("x\0y\x7f\n", 5)), "x%00y%7F%0A" },
        { TopicLevel("Pumpe \xC3\xBC"), "Pumpe \xC3\xBC" }, // UTF-8 is kept
        { TopicLevel("Pumpe \xFC"), "Pumpe \xEF\xBF\xBD" }, // Latin-1 is not
        { PlcConnectedTopic("Pump/1"), "plcs/Pump%2F1/connected" },
        { ItemTopic(7), "items/lblDDE(7)" },
    };
    for (const auto& [topic, expected] : cases) {
        EXPECT_EQ(topic, expected);
    }
}

TEST(MqttTopics, SystemItemsArePublishedUnderSystemAndTheirPlc)
{
    const Named cases[] = {
        { "Running", "system/running" },
        { "PassCount", "system/passCount" },
        { "PassMs", "system/passMs" },
        { "Pump/1.Answered", "plcs/Pump%2F1/answered" },
        { "Pump.LastError", "plcs/Pump/lastError" },
        { "Line.2.Errors", "plcs/Line.2/errors" }, // the item's part follows the last dot
        { "Pump.PassMs", "plcs/Pump/passMs" },
        { "Pump.PlcRunning", "plcs/Pump/plcRunning" },
        { "Pump.MqttBuffered", "plcs/Pump/mqttBuffered" },
        { "Pump.Connected", std::nullopt }, // follows the PLC's channel, not the System item
        { "Pump.Running", std::nullopt },
        { "running", std::nullopt },
    };
    for (const auto& [name, topic] : cases) {
        EXPECT_EQ(DiagnosticTopic(name), topic) << name;
    }
}

TEST(MqttTopics, OnlyTheSubscribedTopicsUnderThePrefixAreTaken)
{
    EXPECT_EQ(InboundSubscriptions("t/a"), (std::vector<std::string> { "t/a/items/+/set", "t/a/execute" }));
    const std::pair<std::string, std::optional<InboundTopic>> cases[] = {
        { "t/a/execute", InboundTopic { .execute = true, .item = {} } },
        { "t/a/items/lblDDE(1)/set", InboundTopic { .execute = false, .item = "lblDDE(1)" } },
        { "t/a/items/pump/set", InboundTopic { .execute = false, .item = "pump" } }, // the bridge refuses it
        { "t/a/items//set", std::nullopt },
        { "t/a/items/lblDDE(1)", std::nullopt },
        { "t/a/execute/x", std::nullopt },
        { "t/ab/execute", std::nullopt },
        { "t/ab/items/lblDDE(1)/set", std::nullopt },
        { "t/execute", std::nullopt },
    };
    for (const auto& [topic, inbound] : cases) {
        EXPECT_EQ(ParseInboundTopic("t/a", topic), inbound) << topic;
    }
}
