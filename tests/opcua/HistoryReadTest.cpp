#include "OpcUaSpace.h"

#include "opcua/HistoryRead.h"
#include "opcua/StatusCodes.h"

#include <gtest/gtest.h>

namespace tavrel::opcua {
namespace {

constexpr std::int64_t kStart = 1'796'637'600'000; // 2026-12-07T10:00:00Z

// Item 2 recorded, with a sample a second for ten seconds; item 1 not.
class HistoryBackend : public testing::RecordingBackend
{
public:
    tl::expected<std::vector<ItemSample>, std::string> ReadHistory(std::int32_t index, std::int64_t fromMs,
                                                                   std::int64_t toMs, std::size_t maxValues) override
    {
        std::vector<ItemSample> samples;
        for (std::int64_t second = 0; second < 10 && index == 2; ++second) {
            const std::int64_t at = kStart + second * 1000;
            if (at >= fromMs && at <= toMs && samples.size() < maxValues) {
                samples.push_back({ 2, std::to_string(second), static_cast<double>(second), at, ValueQuality::Good });
            }
        }
        return samples;
    }
};

class HistoryReadTest : public ::testing::Test
{
protected:
    HistoryReadTest()
        : space(testing::TestConfig(), 1000)
    {
        auto items = testing::TestItems();
        items[1].historizing = true;
        space.SetProject(testing::TestPlcs(), items);
    }

    HistoryReadRequest Request(std::int64_t startMs, std::int64_t endMs, std::uint32_t count, std::int32_t label = 2)
    {
        HistoryReadRequest request;
        request.historyReadDetails = ToExtensionObject(
            ReadRawModifiedDetails { false, DateTime::FromUnixMs(startMs), DateTime::FromUnixMs(endMs), count, false });
        request.nodesToRead.push_back({ ItemNodeId(label), {}, {}, {} });
        return request;
    }

    /// The source times of a result's values, in seconds after kStart.
    static std::vector<std::int64_t> Seconds(const HistoryReadResult& result)
    {
        std::vector<std::int64_t> seconds;
        const std::optional<HistoryData> data = FromExtensionObject<HistoryData>(result.historyData);
        for (const DataValue& value : data.value().dataValues) {
            seconds.push_back((value.sourceTimestamp->ToUnixMs() - kStart) / 1000);
        }
        return seconds;
    }

    AddressSpace space;
    HistoryBackend backend;
};

TEST_F(HistoryReadTest, ARecordedVariableSaysSo)
{
    const Node* recorded = space.Find(ItemNodeId(2));
    const Node* other = space.Find(ItemNodeId(1));
    ASSERT_TRUE(recorded && other);
    EXPECT_EQ(recorded->accessLevel & kHistoryRead, kHistoryRead);
    EXPECT_EQ(other->accessLevel & kHistoryRead, 0);
}

TEST_F(HistoryReadTest, RawValuesComeInPiecesWithContinuationPointsAndBackwards)
{
    HistoryReadResponse first = HistoryRead(Request(kStart, kStart + 20'000, 4), space, backend, kStart);
    ASSERT_EQ(first.results.size(), 1u);
    EXPECT_EQ(first.results[0].statusCode.code, status::kGood);
    EXPECT_EQ(Seconds(first.results[0]), (std::vector<std::int64_t> { 0, 1, 2, 3 }));
    ASSERT_FALSE(first.results[0].continuationPoint.bytes.empty());

    HistoryReadRequest next = Request(kStart, kStart + 20'000, 4);
    next.nodesToRead[0].continuationPoint = first.results[0].continuationPoint;
    HistoryReadResponse second = HistoryRead(next, space, backend, kStart);
    EXPECT_EQ(Seconds(second.results[0]), (std::vector<std::int64_t> { 4, 5, 6, 7 }));

    HistoryReadResponse backwards = HistoryRead(Request(kStart + 9000, kStart + 7000, 0), space, backend, kStart);
    EXPECT_EQ(Seconds(backwards.results[0]), (std::vector<std::int64_t> { 9, 8, 7 }));
    EXPECT_TRUE(backwards.results[0].continuationPoint.bytes.empty());
}

TEST_F(HistoryReadTest, WhatIsNotKeptIsRefused)
{
    struct Case
    {
        const char* name;
        HistoryReadRequest request;
        std::uint32_t serviceResult;
        std::uint32_t nodeResult;
    };
    HistoryReadRequest modified = Request(kStart, kStart + 1000, 0);
    modified.historyReadDetails
        = ToExtensionObject(ReadRawModifiedDetails { true, DateTime::FromUnixMs(kStart), {}, 0, false });
    HistoryReadRequest foreign = Request(kStart, kStart + 1000, 0);
    foreign.nodesToRead[0].continuationPoint.bytes = "not ours";
    HistoryReadRequest noStart = Request(0, kStart + 1000, 10);
    const Case cases[] = {
        { "unrecorded item", Request(kStart, kStart + 1000, 0, 1), status::kGood,
          status::kBadHistoryOperationUnsupported },
        { "no item", Request(kStart, kStart + 1000, 0, 99), status::kGood, status::kBadNodeIdUnknown },
        { "modified values", modified, status::kBadHistoryOperationUnsupported, 0 },
        { "no start", noStart, status::kBadHistoryOperationInvalid, 0 },
        { "foreign continuation point", foreign, status::kGood, status::kBadContinuationPointInvalid },
    };
    for (const Case& c : cases) {
        const HistoryReadResponse response = HistoryRead(c.request, space, backend, kStart);
        EXPECT_EQ(response.responseHeader.serviceResult.code, c.serviceResult) << c.name;
        if (c.serviceResult == status::kGood) {
            ASSERT_EQ(response.results.size(), 1u) << c.name;
            EXPECT_EQ(response.results[0].statusCode.code, c.nodeResult) << c.name;
        }
    }
}

} // namespace
} // namespace tavrel::opcua
