#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Backend.h"
#include "opcua/Messages.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrel::opcua {

// HistoryRead of raw values (ReadRawModifiedDetails) for the items whose history is kept: the samples between two
// times, oldest first, at most as many per node as the client asks and the server allows, the rest behind a
// continuation point. The continuation point holds where the next call goes on (a time, and how many samples of
// that very millisecond were given already), so the server keeps no state for it and a forged one reads at most a
// different range of the same item.

inline constexpr std::uint32_t kReadRawModifiedDetailsEncodingId = 649;
inline constexpr std::uint32_t kHistoryDataEncodingId = 658;

/// The most values of one node that one HistoryRead answers; more come with a continuation point.
inline constexpr std::size_t kMaxHistoryValuesPerNode = 10000;

struct ReadRawModifiedDetails
{
    static constexpr std::uint32_t kEncodingId = kReadRawModifiedDetailsEncodingId;
    bool isReadModified = false;
    DateTime startTime;
    DateTime endTime;
    std::uint32_t numValuesPerNode = 0; ///< 0: as many as there are
    bool returnBounds = false;
    TAVREL_OPCUA_FIELDS(isReadModified, startTime, endTime, numValuesPerNode, returnBounds)
};

struct HistoryReadValueId
{
    NodeId nodeId;
    std::string indexRange;
    QualifiedName dataEncoding;
    ByteString continuationPoint;
    TAVREL_OPCUA_FIELDS(nodeId, indexRange, dataEncoding, continuationPoint)
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

struct HistoryData
{
    static constexpr std::uint32_t kEncodingId = kHistoryDataEncodingId;
    std::vector<DataValue> dataValues;
    TAVREL_OPCUA_FIELDS(dataValues)
};

struct HistoryReadResult
{
    StatusCode statusCode;
    ByteString continuationPoint;
    ExtensionObject historyData;
    TAVREL_OPCUA_FIELDS(statusCode, continuationPoint, historyData)
};

struct HistoryReadResponse
{
    static constexpr std::uint32_t kEncodingId = 667;
    ResponseHeader responseHeader;
    std::vector<HistoryReadResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, results, diagnosticInfos)
};

/// Answers a HistoryRead: raw values of recorded items from `backend`, each node on its own (an unknown node, one
/// that keeps no history, a bad continuation point fail that node only). `nowMs` stands for a missing end time.
HistoryReadResponse HistoryRead(const HistoryReadRequest& request, const AddressSpace& space, Backend& backend,
                                std::int64_t nowMs);

} // namespace tavrel::opcua
