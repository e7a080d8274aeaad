#include "opcua/HistoryRead.h"

#include "opcua/Attributes.h"
#include "opcua/StatusCodes.h"

#include <algorithm>
#include <cstring>

namespace tavrel::opcua {

namespace {

/// A continuation point: the time (milliseconds since 1970) from which the next answer goes on, in the direction
/// of the read, and the end it reads to, so that a point is not taken for another read's.
struct Continuation
{
    std::int64_t nextMs = 0;
    std::int64_t endMs = 0;
};

ByteString Encode(const Continuation& continuation)
{
    ByteString bytes;
    bytes.bytes.resize(sizeof continuation.nextMs + sizeof continuation.endMs);
    std::memcpy(bytes.bytes.data(), &continuation.nextMs, sizeof continuation.nextMs);
    std::memcpy(bytes.bytes.data() + sizeof continuation.nextMs, &continuation.endMs, sizeof continuation.endMs);
    return bytes;
}

std::optional<Continuation> Decode(const ByteString& bytes)
{
    Continuation continuation;
    if (bytes.bytes.size() != sizeof continuation.nextMs + sizeof continuation.endMs) {
        return std::nullopt;
    }
    std::memcpy(&continuation.nextMs, bytes.bytes.data(), sizeof continuation.nextMs);
    std::memcpy(&continuation.endMs, bytes.bytes.data() + sizeof continuation.nextMs, sizeof continuation.endMs);
    return continuation;
}

HistoryReadResult Failed(std::uint32_t code)
{
    HistoryReadResult result;
    result.statusCode.code = code;
    return result;
}

HistoryReadResult ReadNode(const HistoryReadValueId& what, const ReadRawModifiedDetails& details,
                           TimestampsToReturn timestamps, const AddressSpace& space, Backend& backend,
                           std::int64_t nowMs)
{
    const Node* node = space.Find(what.nodeId);
    if (node == nullptr) {
        return Failed(status::kBadNodeIdUnknown);
    }
    const ItemNode* item = node->source == ValueSource::Item ? space.Item(node->label) : nullptr;
    if (item == nullptr || !item->historizing) {
        return Failed(status::kBadHistoryOperationUnsupported);
    }
    if (!what.dataEncoding.name.empty() || !what.indexRange.empty()) {
        return Failed(status::kBadDataEncodingUnsupported);
    }
    const std::int64_t startMs = details.startTime.ToUnixMs();
    const std::int64_t endMs = details.endTime.ticks == 0 ? nowMs : details.endTime.ToUnixMs();
    const bool backwards = endMs < startMs;
    std::int64_t fromMs = backwards ? endMs : startMs;
    std::int64_t toMs = backwards ? startMs : endMs;
    if (!what.continuationPoint.bytes.empty()) {
        const auto continuation = Decode(what.continuationPoint);
        if (!continuation || continuation->endMs != endMs || continuation->nextMs < fromMs
            || continuation->nextMs > toMs) {
            return Failed(status::kBadContinuationPointInvalid);
        }
        (backwards ? toMs : fromMs) = continuation->nextMs;
    }
    const std::uint32_t asked = details.numValuesPerNode == 0 ? kMaxHistoryValuesPerNode : details.numValuesPerNode;
    const std::size_t count = std::min(asked, kMaxHistoryValuesPerNode);
    // Backwards, the newest come first: the range is read whole, up to a bound, and turned round.
    const std::size_t bound = kMaxHistoryValuesPerNode * 10;
    auto samples = backend.ReadHistory(item->index, fromMs, toMs, backwards ? bound + 1 : count + 1);
    if (!samples || (backwards && samples->size() > bound)) {
        return Failed(status::kBadHistoryOperationUnsupported);
    }
    if (backwards) {
        std::reverse(samples->begin(), samples->end());
    }
    HistoryReadResult result;
    if (samples->size() > count) {
        result.continuationPoint = Encode({ .nextMs = (*samples)[count].sourceTimeMs, .endMs = endMs });
        samples->resize(count);
    }
    HistoryData data;
    data.dataValues.reserve(samples->size());
    for (const ItemSample& sample : *samples) {
        DataValue value = ItemDataValue(item->kind, sample);
        KeepTimestamps(value, timestamps, sample.sourceTimeMs);
        data.dataValues.push_back(std::move(value));
    }
    result.historyData = ToExtensionObject(data);
    return result;
}

} // namespace

HistoryReadResponse HistoryRead(const HistoryReadRequest& request, const AddressSpace& space, Backend& backend,
                                std::int64_t nowMs)
{
    HistoryReadResponse response;
    std::uint32_t& serviceResult = response.responseHeader.serviceResult.code;
    const auto details = FromExtensionObject<ReadRawModifiedDetails>(request.historyReadDetails);
    if (request.nodesToRead.empty()) {
        serviceResult = status::kBadNothingToDo;
    } else if (request.nodesToRead.size() > space.Config().limits.maxNodesPerRead) {
        serviceResult = status::kBadTooManyOperations;
    } else if (request.timestampsToReturn < TimestampsToReturn::Source
               || request.timestampsToReturn > TimestampsToReturn::Neither) {
        serviceResult = status::kBadTimestampsToReturnInvalid;
    } else if (!details || details->isReadModified) {
        serviceResult = status::kBadHistoryOperationUnsupported; // only raw values are kept
    } else if (details->startTime.ticks == 0) {
        serviceResult = status::kBadHistoryOperationInvalid; // reads go from a start time
    }
    if (serviceResult != status::kGood) {
        return response;
    }
    response.results.reserve(request.nodesToRead.size());
    for (const HistoryReadValueId& what : request.nodesToRead) {
        if (request.releaseContinuationPoints) {
            // The points hold no state here: releasing one is done at once.
            response.results.push_back(Failed(status::kGood));
            continue;
        }
        response.results.push_back(ReadNode(what, *details, request.timestampsToReturn, space, backend, nowMs));
    }
    return response;
}

} // namespace tavrel::opcua
