#include "mqtt/MqttQueue.h"

#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <fstream>

#include <gtest/gtest.h>

using namespace tavrel;

namespace {

/// Messages of PLC "A" for even numbers, "B" for odd ones.
std::vector<mqtt::MqttMessage> Batch(int first, int count, std::size_t payloadBytes = 10)
{
    std::vector<mqtt::MqttMessage> batch;
    for (int i = first; i < first + count; ++i) {
        std::string payload = std::to_string(i);
        payload.resize(std::max(payload.size(), payloadBytes), ' ');
        batch.push_back(
            { .topic = "t/items/lblDDE(1)", .payload = payload, .retained = true, .plc = i % 2 ? "B" : "A" });
    }
    return batch;
}

/// Every payload in the queue, oldest first, read a slice at a time as the bridge reads.
std::vector<int> ReadAll(mqtt::MqttQueue& queue)
{
    std::vector<int> numbers;
    std::int64_t after = 0;
    for (bool more = true; more;) {
        bool done = false;
        queue.Read(after, 64, [&](std::vector<mqtt::MqttQueue::Entry> entries) {
            more = !entries.empty();
            for (const auto& entry : entries) {
                EXPECT_GT(entry.sequence, after);
                after = entry.sequence;
                numbers.push_back(std::stoi(entry.message.payload));
            }
            done = true;
        });
        QElapsedTimer timer;
        timer.start();
        while (!done && timer.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        EXPECT_TRUE(done);
        more = more && done;
    }
    return numbers;
}

std::vector<int> Range(int first, int last)
{
    std::vector<int> numbers;
    for (int i = first; i <= last; ++i) {
        numbers.push_back(i);
    }
    return numbers;
}

class MqttQueueTest : public ::testing::Test
{
protected:
    int argc = 0;
    QCoreApplication application { argc, nullptr };
    test::TempDir dir;
};

} // namespace

TEST_F(MqttQueueTest, MessagesComeBackInOrderAfterAReopenAndThoseRemovedAreGone)
{
    {
        mqtt::MqttQueue queue(dir / "q.sqlite", 1 << 20);
        queue.Append(Batch(0, 100));
        queue.Append(Batch(100, 150));
        queue.WaitIdle();
        EXPECT_EQ(queue.Count(), 250U);
        EXPECT_EQ(queue.Problem(), "");
    }
    mqtt::MqttQueue queue(dir / "q.sqlite", 1 << 20);
    EXPECT_EQ(ReadAll(queue), Range(0, 249));
    EXPECT_EQ(queue.Count(), 250U);
    using Figures = mqtt::MqttQueue::PlcFigures;
    EXPECT_EQ(queue.Plcs(), (std::map<std::string, Figures> { { "A", { 125, 0 } }, { "B", { 125, 0 } } }))
        << "each PLC's share is read back from the file";
    std::int64_t tenth = 0;
    queue.Read(0, 10, [&](std::vector<mqtt::MqttQueue::Entry> entries) { tenth = entries.back().sequence; });
    while (tenth == 0) {
        QCoreApplication::processEvents();
    }
    queue.Remove(tenth);
    queue.Append(Batch(250, 5));
    queue.WaitIdle();
    EXPECT_EQ(queue.Count(), 245U);
    EXPECT_EQ(queue.Plcs(), (std::map<std::string, Figures> { { "A", { 123, 0 } }, { "B", { 122, 0 } } }))
        << "published messages leave their PLC's share";
    EXPECT_EQ(ReadAll(queue), Range(10, 254)) << "new messages follow the old ones";
}

TEST_F(MqttQueueTest, AFullQueueDropsTheOldestAndCountsThem)
{
    // Messages of 16 + 17 + 100 bytes; 40 of them fit in about 5,300 bytes.
    mqtt::MqttQueue queue(dir / "q.sqlite", 5300);
    for (int pass = 0; pass < 10; ++pass) {
        queue.Append(Batch(pass * 10, 10, 100));
    }
    queue.WaitIdle();
    const std::vector<int> kept = ReadAll(queue);
    ASSERT_FALSE(kept.empty());
    EXPECT_LE(kept.size(), 40U);
    EXPECT_EQ(kept, Range(100 - static_cast<int>(kept.size()), 99)) << "the newest are kept, in order";
    EXPECT_EQ(queue.Dropped() + queue.Count(), 100U);
    for (const auto& [plc, figures] : queue.Plcs()) {
        EXPECT_EQ(figures.buffered + figures.dropped, 50U) << plc;
    }
}

TEST_F(MqttQueueTest, AFileThatCannotBeOpenedIsSaidAndEveryMessageIsCountedAsDropped)
{
    std::ofstream(dir / "file") << "not a folder";
    mqtt::MqttQueue queue(dir / "file" / "q.sqlite", 1 << 20);
    queue.Append(Batch(0, 7));
    queue.WaitIdle();
    EXPECT_NE(queue.Problem().find("cannot open the MQTT queue"), std::string::npos) << queue.Problem();
    EXPECT_EQ(queue.Dropped(), 7U);
    EXPECT_EQ(queue.Count(), 0U);
    EXPECT_EQ(ReadAll(queue), std::vector<int> {});
}
