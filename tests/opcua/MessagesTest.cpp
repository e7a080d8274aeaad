#include "opcua/Messages.h"
#include "opcua/Dispatch.h"

#include "OpcUaBytes.h"

#include <gtest/gtest.h>

using namespace tavrel::opcua;
using tavrel::opcua::test::Hex;
using tavrel::opcua::test::Unhex;

namespace {

// A Read of ServerStatus (i=2256) and its CurrentTime's value, laid out field by field: the message's NodeId i=631
// in four bytes, the request header, maxAge, timestampsToReturn Both, and two ReadValueIds.
constexpr const char* kReadRequest = "01 00 7702" // ReadRequest_Encoding_DefaultBinary
                                     "05 0000 04000000 74 6f 6b 6e" // authenticationToken: ns=0;b=tokn
                                     "00 00 00 00 00 00 00 00" // timestamp: none
                                     "2a000000" // requestHandle 42
                                     "00000000" // returnDiagnostics
                                     "ffffffff" // auditEntryId: null
                                     "10270000" // timeoutHint 10000
                                     "00 00 00" // additionalHeader: none
                                     "000000000000f03f" // maxAge 1.0
                                     "02000000" // TimestampsToReturn Both
                                     "02000000" // two nodes
                                     "01 00 d008 0d000000 ffffffff 0000 ffffffff" // i=2256, Value
                                     "01 00 d308 0d000000 ffffffff 0000 ffffffff"; // i=2259, Value

} // namespace

TEST(Messages, ARequestReadsFromItsKnownBytes)
{
    const auto request = DecodeMessage<ReadRequest>(Unhex(kReadRequest));
    ASSERT_TRUE(request.has_value()) << request.error().reason;
    EXPECT_EQ(request->requestHeader.authenticationToken, NodeId(0, ByteString { "tokn" }));
    EXPECT_EQ(request->requestHeader.requestHandle, 42U);
    EXPECT_EQ(request->requestHeader.timeoutHint, 10000U);
    EXPECT_EQ(request->maxAge, 1.0);
    EXPECT_EQ(request->timestampsToReturn, TimestampsToReturn::Both);
    ASSERT_EQ(request->nodesToRead.size(), 2U);
    EXPECT_EQ(request->nodesToRead[1].nodeId, NodeId(0, 2259));
    EXPECT_EQ(request->nodesToRead[1].attributeId, 13U);
    EXPECT_EQ(PeekRequestHandle(Unhex(kReadRequest)), 42U);
}

TEST(Messages, MalformedRequestsAreRefused)
{
    const std::string whole = kReadRequest;
    const struct
    {
        const char* name;
        std::string hex;
        std::uint32_t status;
    } cases[] = {
        { "another message", "01 00 7a02" + whole.substr(10), status::kBadDecodingError },
        { "cut in the last node", whole.substr(0, whole.size() - 12), status::kBadDecodingError },
        { "a byte too many", whole + "00", status::kBadDecodingError },
        { "too many nodes", whole.substr(0, whole.find("0200000002000000") + 8) + "ffffff7f",
          status::kBadEncodingLimitsExceeded },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = DecodeMessage<ReadRequest>(Unhex(c.hex));
        ASSERT_FALSE(request.has_value());
        EXPECT_EQ(request.error().status, c.status) << request.error().reason;
    }
}

TEST(Messages, AServiceFaultCarriesTheHandleTimeAndStatus)
{
    const ResponseBytes bytes = EncodeServiceFault(status::kBadSessionIdInvalid, 7, 1);
    EXPECT_EQ(Hex(bytes),
              Hex(Unhex("01 00 8d01" // ServiceFault_Encoding_DefaultBinary
                        "10a73ed5deb19d01" // 1970-01-01 00:00:00.001
                        "07000000" // requestHandle
                        "00002580" // Bad_SessionIdInvalid
                        "00" // no diagnostics
                        "00000000" // no string table
                        "00 00 00"))); // no additional header
}

TEST(Messages, ResponsesReadBackAsTheyWereWritten)
{
    PublishResponse publish;
    publish.subscriptionId = 3;
    publish.availableSequenceNumbers = { 1, 2 };
    publish.notificationMessage.sequenceNumber = 2;
    DataChangeNotification change;
    DataValue value;
    value.value = Variant(Scalar(std::int16_t { -5 }));
    value.status = StatusCode { status::kUncertainLastUsableValue };
    change.monitoredItems.push_back({ 9, value });
    publish.notificationMessage.notificationData.push_back(ToExtensionObject(change));
    std::vector<std::uint8_t> bytes;
    Encoder encoder(bytes);
    EncodeMessage(encoder, publish);
    const auto back = DecodeMessage<PublishResponse>(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->availableSequenceNumbers, publish.availableSequenceNumbers);
    const auto notification
        = FromExtensionObject<DataChangeNotification>(back->notificationMessage.notificationData.at(0));
    ASSERT_TRUE(notification.has_value());
    EXPECT_EQ(notification->monitoredItems.at(0).clientHandle, 9U);
    EXPECT_EQ(notification->monitoredItems.at(0).value, value);
}
