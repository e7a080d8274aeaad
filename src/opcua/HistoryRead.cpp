#include "opcua/HistoryRead.h"

#include "opcua/Attributes.h"

#include <algorithm>

namespace tavrel::opcua {

tl::expected<std::vector<ItemSample>, std::uint32_t> Backend::ReadHistory(std::int32_t, std::int64_t, std::int64_t,
                                                                          std::size_t)
{
    return tl::unexpected(status::kBadHistoryOperationUnsupported);
}

namespace {

/// Where a read goes on: the time of the last sample given, and how many samples of that millisecond were given.
struct Resume
{
    std::int64_t fromMs = 0;
    std::uint32_t skip = 0;
};

constexpr std::size_t kResumeBytes = 12;

ByteString Encoded(const Resume& resume)
{
    std::vector<std::uint8_t> bytes;
    Encoder e(bytes);
    e.UInt64(static_cast<std::uint64_t>(resume.fromMs));
    e.UInt32(resume.skip);
    return ByteString { std::string(bytes.begin(), bytes.end()) };
}

std::optional<Resume> Decoded(const ByteString& point)
{
    if (point.bytes.size() != kResumeBytes) {
        return std::nullopt;
    }
    Decoder d({ reinterpret_cast<const std::uint8_t*>(point.bytes.data()), point.bytes.size() });
    Resume resume;
    resume.fromMs = static_cast<std::int64_t>(d.UInt64());
    resume.skip = d.UInt32();
    return d.Ok() ? std::optional(resume) : std::nullopt;
}

HistoryReadResult Failed(std::uint32_t code)
{
    HistoryReadResult result;
    result.statusCode = StatusCode { code };
    return result;
}

struct RawRead
{
    std::int64_t fromMs = 0;
    std::int64_t toMs = 0;
    std::size_t perNode = 0;
    TimestampsToReturn timestamps = TimestampsToReturn::Source;
};

HistoryReadResult ReadNode(const HistoryReadValueId& what, const RawRead& read, const AddressSpace& space,
                           Backend& backend)
{
    const Node* node = space.Find(what.nodeId);
    if (node == nullptr) {
        return Failed(status::kBadNodeIdUnknown);
    }
    const ItemNode* item = node->source == ValueSource::Item ? space.Item(node->label) : nullptr;
    if (item == nullptr || !node->historizing) {
        return Failed(status::kBadHistoryOperationUnsupported); // no history is kept of it
    }
    if (!what.indexRange.empty()) {
        return Failed(status::kBadIndexRangeInvalid); // item values are scalars
    }
    if (!what.dataEncoding.name.empty()
        && (what.dataEncoding.namespaceIndex != 0 || what.dataEncoding.name != "Default Binary")) {
        return Failed(status::kBadDataEncodingUnsupported);
    }
    Resume resume { read.fromMs, 0 };
    if (!what.continuationPoint.bytes.empty()) {
        const auto decoded = Decoded(what.continuationPoint);
        if (!decoded || decoded->fromMs < read.fromMs || decoded->fromMs > read.toMs) {
            return Failed(status::kBadContinuationPointInvalid);
        }
        resume = *decoded;
    }
    // One more than asked for tells whether a continuation point is due.
    auto samples = backend.ReadHistory(node->label, resume.fromMs, read.toMs, resume.skip + read.perNode + 1);
    if (!samples) {
        return Failed(samples.error());
    }
    std::vector<ItemSample>& all = *samples;
    // Those of the resumed millisecond given already (the history may have gained some there since: they are new).
    std::size_t first = 0;
    while (first < all.size() && first < resume.skip && all[first].sourceTimeMs == resume.fromMs) {
        ++first;
    }
    const std::size_t end = std::min(all.size(), first + read.perNode);
    HistoryReadResult result;
    HistoryData data;
    data.dataValues.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
        DataValue value = ItemDataValue(item->kind, all[i]);
        if (read.timestamps == TimestampsToReturn::Server || read.timestamps == TimestampsToReturn::Both) {
            value.serverTimestamp = value.sourceTimestamp; // no other time is kept: when it was read
        }
        if (read.timestamps == TimestampsToReturn::Server) {
            value.sourceTimestamp.reset();
        }
        data.dataValues.push_back(std::move(value));
    }
    if (end < all.size() && end > first) {
        const std::int64_t lastMs = all[end - 1].sourceTimeMs;
        const auto sameMs = static_cast<std::uint32_t>(std::count_if(
            all.begin() + static_cast<std::ptrdiff_t>(first), all.begin() + static_cast<std::ptrdiff_t>(end),
            [lastMs](const ItemSample& sample) { return sample.sourceTimeMs == lastMs; }));
        result.continuationPoint = Encoded({ lastMs, sameMs + (lastMs == resume.fromMs ? resume.skip : 0) });
    } else if (data.dataValues.empty()) {
        result.statusCode = StatusCode { status::kGoodNoData };
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
               || request.timestampsToReturn >= TimestampsToReturn::Neither) {
        serviceResult = status::kBadTimestampsToReturnInvalid;
    } else if (!details) {
        // Processed, at-time and event reads are not served; a raw read that does not decode is no read at all.
        serviceResult = request.historyReadDetails.typeId == NodeId(0, kReadRawModifiedDetailsEncodingId)
            ? status::kBadHistoryOperationInvalid
            : status::kBadHistoryOperationUnsupported;
    } else if (details->isReadModified) {
        serviceResult = status::kBadHistoryOperationUnsupported; // values are never modified
    } else if (details->startTime.ticks == 0
               || (details->endTime.ticks != 0 && details->endTime < details->startTime)) {
        // Reading backwards from an end time is not served: the history is read oldest first.
        serviceResult = status::kBadHistoryOperationUnsupported;
    }
    if (serviceResult != status::kGood) {
        return response;
    }
    response.results.reserve(request.nodesToRead.size());
    if (request.releaseContinuationPoints) {
        // A continuation point holds no state of the server's: there is nothing to release.
        response.results.assign(request.nodesToRead.size(), HistoryReadResult {});
        return response;
    }
    const RawRead read {
        .fromMs = details->startTime.ToUnixMs(),
        .toMs = details->endTime.ticks == 0 ? nowMs : details->endTime.ToUnixMs(),
        .perNode = details->numValuesPerNode == 0
            ? kMaxHistoryValuesPerNode
            : std::min<std::size_t>(details->numValuesPerNode, kMaxHistoryValuesPerNode),
        .timestamps = request.timestampsToReturn,
    };
    for (const HistoryReadValueId& what : request.nodesToRead) {
        response.results.push_back(ReadNode(what, read, space, backend));
    }
    return response;
}

} // namespace tavrel::opcua
