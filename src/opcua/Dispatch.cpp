#include "opcua/Dispatch.h"

namespace tavrel::opcua {

ResponseBytes EncodeServiceFault(std::uint32_t status, std::uint32_t requestHandle, std::int64_t nowMs)
{
    ServiceFault fault;
    fault.responseHeader.serviceResult = StatusCode { status };
    return EncodeResponse(fault, requestHandle, nowMs);
}

std::uint32_t PeekRequestHandle(std::span<const std::uint8_t> body)
{
    Decoder decoder(body);
    NodeId type;
    NodeId authenticationToken;
    DateTime timestamp;
    Decode(decoder, type);
    Decode(decoder, authenticationToken);
    Decode(decoder, timestamp);
    const std::uint32_t handle = decoder.UInt32();
    return decoder.Ok() ? handle : 0;
}

std::optional<ResponseBytes> Dispatcher::Dispatch(std::span<const std::uint8_t> body, ServiceContext& context) const
{
    Decoder decoder(body, m_limits);
    NodeId type;
    Decode(decoder, type);
    if (!decoder.Ok()) {
        return EncodeServiceFault(status::kBadDecodingError, 0, context.nowMs);
    }
    const auto found = m_table.find(type.StandardNumber());
    if (found == m_table.end() || type.StandardNumber() == 0) {
        return EncodeServiceFault(status::kBadServiceUnsupported, PeekRequestHandle(body), context.nowMs);
    }
    return found->second(body, context);
}

} // namespace tavrel::opcua
