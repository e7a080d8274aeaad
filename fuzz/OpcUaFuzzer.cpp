// What an OPC UA client may send: the first byte (modulo 3) picks the part under test.
//  - 0: the UA Binary decoder, on a Variant, a DataValue and a few requests. Whatever decodes encodes to bytes that
//    decode again to the same encoding (one canonical form), and nothing decodes past its input.
//  - 1: a server connection fed the rest in pieces (the second byte sets their size). Every answer is whole chunks
//    no larger than the buffer the Hello settled, nothing follows an Error, and a closed connection stays closed.
//  - 2: requests of an activated session, well framed, with any fields: records of a request type (an index into
//    the services), a length and the fields after the request header; or new item values, or time passing. A
//    request the server cannot read costs a ServiceFault, never the connection.
#include "FuzzSupport.h"

#include "opcua/Chunking.h"
#include "opcua/Messages.h"
#include "opcua/Server.h"

#include "UaClient.h"

#include <algorithm>
#include <span>
#include <string>
#include <vector>

using namespace tavrel::opcua;
using tavrel::fuzz::Require;
using tavrel::opcua::test::UaClient;

namespace {

template<class T> std::vector<std::uint8_t> EncodeOne(const T& value)
{
    std::vector<std::uint8_t> bytes;
    Encoder encoder(bytes);
    Encode(encoder, value);
    return bytes;
}

template<class T> void CheckRoundTrip(std::span<const std::uint8_t> input, const char* what)
{
    DecodeLimits limits;
    limits.maxArrayLength = 1000;
    limits.maxStringLength = 1000;
    Decoder decoder(input, limits);
    T value {};
    Decode(decoder, value);
    Require(decoder.Position() <= input.size(), "the decoder stays within its input", what);
    if (!decoder.Ok()) {
        Require(!decoder.Reason().empty(), "a refusal says why", what);
        return;
    }
    const auto once = EncodeOne(value);
    Decoder again(once, limits);
    T second {};
    Decode(again, second);
    Require(again.Ok() && again.Remaining() == 0, "what decoded encodes to bytes that decode whole", what);
    Require(EncodeOne(second) == once, "encoding is one canonical form", what);
}

class NoBackend : public Backend
{
public:
    std::optional<tavrel::common::Refusal> Write(const Client&, std::int32_t, const std::string&) override
    {
        return std::nullopt;
    }
    std::optional<tavrel::common::Refusal> Execute(const Client&, const std::string&) override { return std::nullopt; }
    std::optional<tavrel::common::Role> CheckPassword(const Client&, const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
};

void CheckOutput(std::span<const std::uint8_t> output, bool& errorSent)
{
    std::size_t offset = 0;
    while (offset < output.size()) {
        Require(!errorSent, "nothing follows an Error");
        Require(output.size() - offset >= kFrameHeaderSize, "answers are whole chunks");
        const auto header = ReadFrameHeader(output.subspan(offset).first<kFrameHeaderSize>());
        Require(header.has_value(), "answers are chunks of known types");
        Require(header->size >= kFrameHeaderSize && header->size <= output.size() - offset, "answers are whole chunks");
        Require(header->size <= 65535, "no chunk exceeds the buffer the Hello settled");
        errorSent = header->type == MessageType::Error;
        offset += header->size;
    }
}

void FeedServer(std::span<const std::uint8_t> input)
{
    if (input.empty()) {
        return;
    }
    const std::size_t piece = std::size_t { input[0] } + 1;
    input = input.subspan(1);
    NoBackend backend;
    ServerConfig config;
    config.applicationUri = "urn:fuzz:Tavrel";
    config.endpointUrl = "opc.tcp://127.0.0.1:4840/";
    std::int64_t now = 1765000000000;
    Server server(backend, config, now);
    const ConnectionId id = server.Accept("fuzz", now);
    bool errorSent = false;
    for (std::size_t offset = 0; offset < input.size(); offset += piece) {
        const bool wasClosing = server.ShouldClose(id);
        server.Receive(id, input.subspan(offset, std::min(piece, input.size() - offset)), now);
        const auto output = server.TakeOutput(id);
        Require(!wasClosing || output.empty(), "a closing connection answers nothing more");
        CheckOutput(output, errorSent);
        Require(!errorSent || server.ShouldClose(id), "an Error closes the connection");
        now += 7;
        server.Tick(now);
        CheckOutput(server.TakeOutput(id), errorSent);
    }
    Require(server.SessionCount() <= config.limits.maxSessions, "sessions stay within the limit");
    server.Closed(id, now);
}

// The requests of a session's services, by their encoding ids.
constexpr std::uint32_t kRequestTypes[] = { CreateSessionRequest::kEncodingId,
                                            ActivateSessionRequest::kEncodingId,
                                            CloseSessionRequest::kEncodingId,
                                            BrowseRequest::kEncodingId,
                                            BrowseNextRequest::kEncodingId,
                                            TranslateBrowsePathsToNodeIdsRequest::kEncodingId,
                                            RegisterNodesRequest::kEncodingId,
                                            UnregisterNodesRequest::kEncodingId,
                                            ReadRequest::kEncodingId,
                                            WriteRequest::kEncodingId,
                                            CallRequest::kEncodingId,
                                            CreateSubscriptionRequest::kEncodingId,
                                            ModifySubscriptionRequest::kEncodingId,
                                            SetPublishingModeRequest::kEncodingId,
                                            DeleteSubscriptionsRequest::kEncodingId,
                                            CreateMonitoredItemsRequest::kEncodingId,
                                            ModifyMonitoredItemsRequest::kEncodingId,
                                            SetMonitoringModeRequest::kEncodingId,
                                            DeleteMonitoredItemsRequest::kEncodingId,
                                            PublishRequest::kEncodingId,
                                            RepublishRequest::kEncodingId,
                                            GetEndpointsRequest::kEncodingId,
                                            FindServersRequest::kEncodingId };
constexpr std::size_t kSetValues = std::size(kRequestTypes);
constexpr std::size_t kTimePasses = kSetValues + 1;

void DriveSession(std::span<const std::uint8_t> input)
{
    NoBackend backend;
    ServerConfig config;
    config.applicationUri = "urn:fuzz:Tavrel";
    config.endpointUrl = "opc.tcp://127.0.0.1:4840/";
    std::int64_t now = 1765000000000;
    Server server(backend, config, now);
    PlcNode plc;
    plc.name = "Line_1";
    server.SetProject({ plc },
                      { ItemNode { 1, "Line_1", "MI 1", "", ValueKind::Int16, true, "" },
                        ItemNode { 2, "Line_1", "MF 2", "", ValueKind::Float, true, "V" },
                        ItemNode { 3, "Line_1", "text", "", ValueKind::String, false, "" } },
                      now);
    const ConnectionId id = server.Accept("fuzz", now);
    UaClient client;
    const auto exchange = [&](const std::vector<std::uint8_t>& bytes) {
        server.Receive(id, bytes, now);
        return server.TakeOutput(id);
    };
    exchange(client.Hello());
    Require(client.TakeOpen(exchange(client.Open())), "a well-formed OpenSecureChannel opens the channel");
    const auto created = DecodeMessage<CreateSessionResponse>(
        UaClient::Bodies(exchange(client.Message(CreateSessionRequest {}))).at(0));
    Require(created.has_value(), "a session is created");
    client.authenticationToken = created->authenticationToken;
    exchange(client.Message(ActivateSessionRequest {}));

    std::size_t offset = 0;
    bool errorSent = false;
    while (input.size() - offset >= 3) {
        const std::size_t kind = input[offset] % (kTimePasses + 1);
        const std::size_t length = std::min<std::size_t>(
            static_cast<std::size_t>(input[offset + 1] | (input[offset + 2] << 8)), input.size() - offset - 3);
        const auto fields = input.subspan(offset + 3, length);
        offset += 3 + length;
        if (kind == kSetValues) {
            const ItemSample sample { static_cast<std::int32_t>(length % 4), "7", static_cast<double>(length), now,
                                      static_cast<ValueQuality>(length % 5) };
            server.SetValues(std::span(&sample, 1), now);
        } else if (kind == kTimePasses) {
            now += static_cast<std::int64_t>(length) * 10;
            server.Tick(now);
        } else {
            RequestHeader header;
            header.authenticationToken = client.authenticationToken;
            header.requestHandle = static_cast<std::uint32_t>(offset);
            std::vector<std::uint8_t> body;
            Encoder encoder(body);
            Encode(encoder, NodeId(0, kRequestTypes[kind]));
            Encode(encoder, header);
            encoder.Bytes(fields.data(), fields.size());
            server.Receive(id, client.Chunks(MessageType::Message, body, 60000), now);
            Require(!server.ShouldClose(id),
                    "a request the server cannot read costs a ServiceFault, not the connection");
        }
        CheckOutput(server.TakeOutput(id), errorSent);
    }
    Require(server.SessionCount() <= config.limits.maxSessions, "sessions stay within the limit");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    if (data[0] % 3 == 0) {
        CheckRoundTrip<Variant>(input, "Variant");
        CheckRoundTrip<DataValue>(input, "DataValue");
        CheckRoundTrip<ReadRequest>(input, "ReadRequest");
        CheckRoundTrip<CreateMonitoredItemsRequest>(input, "CreateMonitoredItemsRequest");
        CheckRoundTrip<ActivateSessionRequest>(input, "ActivateSessionRequest");
        CheckRoundTrip<CallRequest>(input, "CallRequest");
    } else if (data[0] % 3 == 1) {
        FeedServer(input);
    } else {
        DriveSession(input);
    }
    return 0;
}
