#pragma once

#include "opcua/Messages.h"
#include "opcua/Server.h"
#include "opcua/Session.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

/// What a handler knows of the request besides its fields.
struct ServiceContext
{
    ConnectionId connection = 0;
    std::uint32_t requestId = 0;
    std::int64_t nowMs = 0;
    std::uint32_t requestHandle = 0; ///< set once the request is decoded
    Session* session = nullptr; ///< the request's session, for services that need one
};

/// Which session a service needs before its handler runs.
enum class SessionNeed {
    None, ///< discovery, CreateSession, ActivateSession (which finds its session itself)
    Created, ///< CloseSession: any session of this channel
    Activated ///< everything else
};

/// An encoded response body: its NodeId, then its fields.
using ResponseBytes = std::vector<std::uint8_t>;

/// `response` encoded, its header stamped with the time and the request's handle.
template<class Response>
ResponseBytes EncodeResponse(Response& response, std::uint32_t requestHandle, std::int64_t nowMs)
{
    response.responseHeader.timestamp = DateTime::FromUnixMs(nowMs);
    response.responseHeader.requestHandle = requestHandle;
    ResponseBytes bytes;
    Encoder encoder(bytes);
    EncodeMessage(encoder, response);
    return bytes;
}

/// A ServiceFault with `status` answering the request of `requestHandle`.
ResponseBytes EncodeServiceFault(std::uint32_t status, std::uint32_t requestHandle, std::int64_t nowMs);

/// The request handle of an encoded request, as far as it can be read; 0 when it cannot.
std::uint32_t PeekRequestHandle(std::span<const std::uint8_t> body);

/// The table from request encoding ids to handlers. A handler takes the decoded request and gives its response,
/// or none when it answers later (Publish); a bad serviceResult in its response header goes out as a ServiceFault.
class Dispatcher
{
public:
    /// Finds a request's session: (header, connection, must be activated, now) to the session or a status code.
    using SessionResolver
        = std::function<tl::expected<Session*, std::uint32_t>(const RequestHeader&, ConnectionId, bool, std::int64_t)>;

    Dispatcher(SessionResolver resolver, DecodeLimits limits)
        : m_resolver(std::move(resolver))
        , m_limits(limits)
    {
    }

    /// Routes requests of type Request to `handler`: std::optional<Response>(const Request&, ServiceContext&).
    template<class Request, class Handler> void Add(SessionNeed need, Handler handler)
    {
        m_table[Request::kEncodingId]
            = [this, need, handler = std::move(handler)](std::span<const std::uint8_t> body,
                                                         ServiceContext& context) -> std::optional<ResponseBytes> {
            const auto request = DecodeMessage<Request>(body, m_limits);
            if (!request) {
                return EncodeServiceFault(request.error().status, PeekRequestHandle(body), context.nowMs);
            }
            const RequestHeader& header = request->requestHeader;
            context.requestHandle = header.requestHandle;
            if (need != SessionNeed::None) {
                const auto session
                    = m_resolver(header, context.connection, need == SessionNeed::Activated, context.nowMs);
                if (!session) {
                    return EncodeServiceFault(session.error(), header.requestHandle, context.nowMs);
                }
                context.session = *session;
            }
            auto response = handler(*request, context);
            if (!response) {
                return std::nullopt;
            }
            if (response->responseHeader.serviceResult.IsBad()) {
                return EncodeServiceFault(response->responseHeader.serviceResult.code, header.requestHandle,
                                          context.nowMs);
            }
            return EncodeResponse(*response, header.requestHandle, context.nowMs);
        };
    }

    /// Handles one request body: its encoded response, or none when it is answered later. An unknown request
    /// type is answered Bad_ServiceUnsupported.
    std::optional<ResponseBytes> Dispatch(std::span<const std::uint8_t> body, ServiceContext& context) const;

private:
    using Entry = std::function<std::optional<ResponseBytes>(std::span<const std::uint8_t>, ServiceContext&)>;
    SessionResolver m_resolver;
    DecodeLimits m_limits;
    std::unordered_map<std::uint32_t, Entry> m_table;
};

} // namespace tavrel::opcua
