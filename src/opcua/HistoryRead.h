#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Backend.h"
#include "opcua/Messages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavrel::opcua {

// HistoryRead of raw values: the samples the program recorded of an item whose Record flag is set (such a variable
// has Historizing true and the HistoryRead bit in its AccessLevel), through Backend::ReadHistory. Modified values,
// processed (aggregate) and at-time reads, events and bounding values are not kept, and are answered so.

/// What a raw (or modified) read asks for; sent inside an ExtensionObject.
struct ReadRawModifiedDetails
{
    static constexpr std::uint32_t kEncodingId = 649;
    bool isReadModified = false;
    DateTime startTime;
    DateTime endTime;
    std::uint32_t numValuesPerNode = 0; ///< 0: all of them
    bool returnBounds = false;
    TAVREL_OPCUA_FIELDS(isReadModified, startTime, endTime, numValuesPerNode, returnBounds)
};

/// The values read of one node; sent inside an ExtensionObject.
struct HistoryData
{
    static constexpr std::uint32_t kEncodingId = 658;
    std::vector<DataValue> dataValues;
    TAVREL_OPCUA_FIELDS(dataValues)
};

struct HistoryReadValueId
{
    NodeId nodeId;
    std::string indexRange;
    QualifiedName dataEncoding;
    ByteString continuationPoint;
    TAVREL_OPCUA_FIELDS(nodeId, indexRange, dataEncoding, continuationPoint)
};

struct HistoryReadResult
{
    StatusCode statusCode;
    ByteString continuationPoint;
    ExtensionObject historyData;
    TAVREL_OPCUA_FIELDS(statusCode, continuationPoint, historyData)
};

struct HistoryReadRequest
{
    static constexpr std::uint32_t kEncodingId = 664;
    RequestHeader requestHeader;
    ExtensionObject historyReadDetails;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Source;
    bool releaseContinuationPoints = false;
    std::vector<HistoryReadValueId> nodesToRead;
    TAVREL_OPCUA_FIELDS(requestHeader, historyReadDetails, timestampsToReturn, releaseContinuationPoints, nodesToRead)
};

struct HistoryReadResponse
{
    static constexpr std::uint32_t kEncodingId = 667;
    ResponseHeader responseHeader;
    std::vector<HistoryReadResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

/// Values one node's answer holds at most; a read of more goes on with the continuation point it gets.
inline constexpr std::uint32_t kMaxHistoryValuesPerNode = 10'000;

/// Answers a raw HistoryRead at `nowMs`: for each node, its samples from startTime to endTime (newest first when
/// endTime is before startTime, for ranges of up to ten times kMaxHistoryValuesPerNode samples; an unset endTime is
/// now), up to numValuesPerNode and kMaxHistoryValuesPerNode, with a continuation point when more remain. The
/// continuation point carries where the next answer starts, so the server keeps nothing between calls.
HistoryReadResponse HistoryRead(const HistoryReadRequest& request, const AddressSpace& space, Backend& backend,
                                std::int64_t nowMs);

} // namespace tavrel::opcua
