#include "mqtt/MqttPayload.h"

#include "common/TimeText.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace tavrel;
using namespace std::chrono;

namespace {

app::ItemChange Change(std::string value, app::Quality quality = app::Quality::Good, std::string reason = {})
{
    app::ItemChange change;
    change.index = 7;
    change.value = std::move(value);
    change.readAt = system_clock::time_point(milliseconds(1'796'651'101'123)); // 2026-12-07T13:45:01.123Z
    change.quality = quality;
    change.reason = std::move(reason);
    return change;
}

} // namespace

TEST(MqttPayload, JsonPayloadsCarryNumbersAsNumbersAndAreValidWhateverTheText)
{
    const mqtt::PayloadItem volts { .plc = "Line_1", .units = "V", .name = {}, .numeric = true };
    const mqtt::PayloadItem named { .plc = "Line_1", .units = "", .name = "Boiler.Text", .numeric = false };
    struct Case
    {
        app::ItemChange change;
        mqtt::PayloadItem item;
        char separator;
        std::string expected;
    };
    const Case cases[] = {
        { Change("230.5"), volts, '.',
          R"({"value":230.5,"ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"V"})" },
        { Change("230,5"), volts, ',',
          R"({"value":230.5,"ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"V"})" },
        { Change("-1E+30"), volts, '.',
          R"({"value":-1e+30,"ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"V"})" },
        { Change("INF"), volts, '.', // no JSON number: the text
          R"({"value":"INF","ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"V"})" },
        { Change("12", app::Quality::Stale, "no answer"), named, '.',
          R"({"value":"12","ts":"2026-12-07T13:45:01.123Z","quality":"stale","reason":"no answer","plc":"Line_1",)"
          R"("units":"","name":"Boiler.Text"})" },
        { Change("say \"\\\n\" \xC3\xBC \xFF\xC3"), named, '.',
          R"({"value":"say \"\\\u000a\" )"
          "\xC3\xBC"
          R"( \ufffd\ufffd","ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"","name":)"
          R"("Boiler.Text"})" },
    };
    for (const Case& one : cases) {
        const std::string payload = mqtt::JsonPayload(one.change, one.item, one.separator);
        EXPECT_EQ(payload, one.expected);
        QJsonParseError error {};
        QJsonDocument::fromJson(QByteArray::fromStdString(payload), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << payload;
    }
    app::ItemChange neverRead = Change("", app::Quality::Waiting);
    neverRead.readAt = {};
    EXPECT_EQ(mqtt::JsonPayload(neverRead, volts, '.'),
              R"({"value":"","quality":"waiting","reason":"","plc":"Line_1","units":"V"})");
}

TEST(MqttPayload, TheFormatIsPlainOrJsonInAnyCase)
{
    EXPECT_EQ(mqtt::ParsePayloadFormat("plain"), mqtt::PayloadFormat::Plain);
    EXPECT_EQ(mqtt::ParsePayloadFormat("JSON"), mqtt::PayloadFormat::Json);
    EXPECT_EQ(mqtt::ParsePayloadFormat("xml").error(), "MqttPayload is plain or json, not 'xml'");
}

TEST(TimeText, UtcWithMillisecondsBeforeAndAfter1970)
{
    EXPECT_EQ(common::UtcTimeText(system_clock::time_point(milliseconds(1'796'651'101'123))),
              "2026-12-07T13:45:01.123Z");
    EXPECT_EQ(common::UtcTimeText(system_clock::time_point(milliseconds(-1))), "1969-12-31T23:59:59.999Z");
}
