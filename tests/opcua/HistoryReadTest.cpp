#include "OpcUaSpace.h"

#include "opcua/Attributes.h"
#include "opcua/HistoryRead.h"

#include <gtest/gtest.h>

namespace tavrel::opcua {
namespace {

/// A history of item 2 (a Float): `samples` in order; the reads it served.
class HistoryBackend : public testing::RecordingBackend
{
public:
    tl::expected<std::vector<ItemSample>, std::uint32_t> ReadHistory(std::int32_t index, std::int64_t fromMs,
                                                                     std::int64_t toMs, std::size_t maxValues) override
    {
        reads.push_back(maxValues);
        std::vector<ItemSample> found;
        for (const ItemSample& sample : samples) {
            if (sample.index == index && sample.sourceTimeMs >= fromMs && sample.sourceTimeMs <= toMs
                && found.size() < maxValues) {
                found.push_back(sample);
            }
        }
        return found;
    }
    std::vector<ItemSample> samples;
    std::vector<std::size_t> reads;
};

class HistoryReadTest : public ::testing::Test
{
protected:
    HistoryReadTest()
        : space(testing::TestConfig(), 1000)
    {
        auto items = testing::TestItems();
        items[1].recorded = true; // lblDDE(2), a Float
        space.SetProject(testing::TestPlcs(), items);
        // Twelve samples, three of them in the same millisecond: where a page of five ends.
        for (const std::int64_t ms : { 100, 110, 120, 130, 140, 140, 140, 150, 160, 170, 180, 190 }) {
            backend.samples.push_back({ .index = 2,
                                        .text = {},
                                        .number = static_cast<double>(backend.samples.size()),
                                        .sourceTimeMs = ms,
                                        .quality = ms == 150 ? ValueQuality::Stale : ValueQuality::Good });
        }
    }

    HistoryReadRequest Request(std::int64_t fromMs, std::int64_t toMs, std::uint32_t perNode,
                               std::vector<HistoryReadValueId> nodes)
    {
        HistoryReadRequest request;
        request.historyReadDetails = ToExtensionObject(ReadRawModifiedDetails {
            .isReadModified = false,
            .startTime = DateTime::FromUnixMs(fromMs),
            .endTime = DateTime::FromUnixMs(toMs),
            .numValuesPerNode = perNode,
            .returnBounds = false,
        });
        request.nodesToRead = std::move(nodes);
        return request;
    }

    AddressSpace space;
    HistoryBackend backend;
};

HistoryReadValueId Node(const std::string& name, ByteString continuation = {})
{
    return { NodeId(kTavrelNamespace, name), {}, {}, std::move(continuation) };
}

TEST_F(HistoryReadTest, PagesOfRawValuesGiveEverySampleOnceInOrder)
{
    std::vector<float> values;
    ByteString continuation;
    int pages = 0;
    do {
        const HistoryReadResponse response
            = HistoryRead(Request(100, 185, 5, { Node("lblDDE(2)", continuation) }), space, backend, 5000);
        ASSERT_EQ(response.responseHeader.serviceResult.code, status::kGood);
        ASSERT_EQ(response.results.size(), 1U);
        const auto data = FromExtensionObject<HistoryData>(response.results[0].historyData);
        ASSERT_TRUE(data.has_value());
        for (const DataValue& value : data->dataValues) {
            values.push_back(std::get<float>(value.value->value));
            const bool stale = value.sourceTimestamp->ToUnixMs() == 150;
            EXPECT_EQ(value.status.has_value(), stale) << "a stale sample keeps its quality";
        }
        continuation = response.results[0].continuationPoint;
        ++pages;
    } while (!continuation.bytes.empty() && pages < 10);
    EXPECT_EQ(values, (std::vector<float> { 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 })) << "190 is past the end";
    EXPECT_EQ(pages, 3);
}

TEST_F(HistoryReadTest, WhatCannotBeReadFailsAloneOrAsAWhole)
{
    ByteString forged { "not a point" };
    const HistoryReadResponse response = HistoryRead(
        Request(100, 200, 0, { Node("lblDDE(1)"), Node("lblDDE(77)"), Node("lblDDE(2)", forged), Node("lblDDE(2)") }),
        space, backend, 5000);
    ASSERT_EQ(response.results.size(), 4U);
    EXPECT_EQ(response.results[0].statusCode.code, status::kBadHistoryOperationUnsupported) << "not recorded";
    EXPECT_EQ(response.results[1].statusCode.code, status::kBadNodeIdUnknown);
    EXPECT_EQ(response.results[2].statusCode.code, status::kBadContinuationPointInvalid);
    EXPECT_EQ(response.results[3].statusCode.code, status::kGood);
    EXPECT_EQ(backend.reads, (std::vector<std::size_t> { kMaxHistoryValuesPerNode + 1 })) << "bounded by the server";

    HistoryReadRequest modified = Request(100, 200, 0, { Node("lblDDE(2)") });
    modified.historyReadDetails = ToExtensionObject(ReadRawModifiedDetails { .isReadModified = true,
                                                                             .startTime = DateTime::FromUnixMs(100),
                                                                             .endTime = {},
                                                                             .numValuesPerNode = 0,
                                                                             .returnBounds = false });
    HistoryReadRequest neither = Request(100, 200, 0, { Node("lblDDE(2)") });
    neither.timestampsToReturn = TimestampsToReturn::Neither;
    const std::pair<HistoryReadRequest, std::uint32_t> refused[] = {
        { modified, status::kBadHistoryOperationUnsupported },
        { Request(200, 100, 0, { Node("lblDDE(2)") }), status::kBadHistoryOperationUnsupported },
        { neither, status::kBadTimestampsToReturnInvalid },
        { Request(100, 200, 0, {}), status::kBadNothingToDo },
    };
    for (const auto& [request, code] : refused) {
        EXPECT_EQ(HistoryRead(request, space, backend, 5000).responseHeader.serviceResult.code, code);
    }
    const HistoryReadResponse empty = HistoryRead(Request(300, 400, 0, { Node("lblDDE(2)") }), space, backend, 5000);
    EXPECT_EQ(empty.results.at(0).statusCode.code, status::kGoodNoData);
}

TEST_F(HistoryReadTest, ARecordedItemSaysItIsHistorizing)
{
    const auto attribute = [this](const std::string& item, AttributeId id) {
        const opcua::Node* node = space.Find(NodeId(kTavrelNamespace, item));
        return *ReadAttribute(space, *node, static_cast<std::uint32_t>(id), common::Role::Reader, 0).value;
    };
    EXPECT_EQ(attribute("lblDDE(2)", AttributeId::Historizing), Variant(Scalar(true)));
    EXPECT_EQ(attribute("lblDDE(1)", AttributeId::Historizing), Variant(Scalar(false)));
    EXPECT_EQ(attribute("lblDDE(2)", AttributeId::AccessLevel), Variant(Scalar(std::uint8_t { 1 | 4 })));
}

} // namespace
} // namespace tavrel::opcua
