#include "opcua/Server.h"

#include "OpcUaBytes.h"
#include "UaClient.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tavrel::opcua;
using tavrel::opcua::test::Hex;
using tavrel::opcua::test::UaClient;
using tavrel::opcua::test::Unhex;

namespace {

constexpr std::int64_t kStartMs = 1765000000000;

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

/// A chunk of `type` ("HELF", "MSGF" …) around the body's hex digits, its size filled in.
std::vector<std::uint8_t> Chunk(const char* type, const std::string& bodyHex)
{
    const std::vector<std::uint8_t> body = Unhex(bodyHex);
    std::vector<std::uint8_t> bytes(type, type + 4);
    const auto size = static_cast<std::uint32_t>(body.size() + 8);
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<std::uint8_t>(size >> shift));
    }
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

/// A request header: the token's NodeId in hex, handle `handle`, time-out 10 s, nothing else.
std::string HeaderHex(const std::string& tokenHex, int handle)
{
    return tokenHex + "0000000000000000" + Hex(std::vector<std::uint8_t> { static_cast<std::uint8_t>(handle), 0, 0, 0 })
        + "00000000 ffffffff 10270000 000000";
}

/// The MSG chunk header of the first channel's first token, with sequence number and request id `n`.
std::string MessageHeader(int n)
{
    const std::string number = Hex(std::vector<std::uint8_t> { static_cast<std::uint8_t>(n), 0, 0, 0 });
    return "01000000 01000000" + number + number;
}

template<class Response> Response Answer(const std::vector<std::uint8_t>& output)
{
    const auto bodies = UaClient::Bodies(output);
    EXPECT_EQ(bodies.size(), 1U);
    if (bodies.empty()) {
        return {};
    }
    const auto response = DecodeMessage<Response>(bodies[0]);
    EXPECT_TRUE(response.has_value()) << "fault " << status::Name(UaClient::FaultOf(bodies[0]));
    return response ? *response : Response {};
}

} // namespace

// A client's whole first conversation, as bytes a client sends: Hello, OpenSecureChannel, CreateSession,
// ActivateSession, a Read of the server's status, CloseSession, CloseSecureChannel.
TEST(EndToEnd, AClientConnectsReadsTheServerStatusAndLeaves)
{
    NoBackend backend;
    ServerConfig config;
    config.applicationUri = "urn:host:Tavrel";
    config.productUri = "urn:tavrel";
    config.endpointUrl = "opc.tcp://127.0.0.1:4840/";
    config.softwareVersion = "1.2";
    Server server(backend, config, kStartMs);
    std::int64_t now = kStartMs + 5000;
    const ConnectionId id = server.Accept("127.0.0.1:50000", now);
    const auto exchange = [&](const std::vector<std::uint8_t>& bytes) {
        server.Receive(id, bytes, now);
        EXPECT_EQ(server.ConnectionsWithOutput(), std::vector<ConnectionId> { id });
        return server.TakeOutput(id);
    };

    // Hello: version 0, buffers of 65535, no size limits, the endpoint URL.
    const auto ack = exchange(Chunk("HELF",
                                    "00000000 ffff0000 ffff0000 00000000 00000000 19000000"
                                    "6f70632e7463703a2f2f3132372e302e302e313a343834302f"));
    EXPECT_EQ(Hex(ack), Hex(Unhex("41434b46 1c000000 00000000 ffff0000 ffff0000 00000001 40000000")));

    // OpenSecureChannel with policy None, asking for a token of an hour.
    const auto open = exchange(Chunk("OPNF",
                                     "00000000 2f000000"
                                     "687474703a2f2f6f7063666f756e646174696f6e2e6f72672f55412f536563757269"
                                     "7479506f6c696379234e6f6e65"
                                     "ffffffff ffffffff 01000000 01000000 0100be01"
                                         + HeaderHex("0000", 1) + "00000000 00000000 01000000 ffffffff 80ee3600"));
    const auto frames = UaClient::Frames(open);
    ASSERT_EQ(frames.size(), 1U);
    ASSERT_EQ(frames[0].header.type, MessageType::Open);
    // channel 1, the policy URI, no certificate or thumbprint, sequence number 1, request 1
    EXPECT_EQ(
        Hex(std::span(frames[0].bytes).subspan(8, 71)),
        Hex(Unhex("01000000 2f000000 687474703a2f2f6f7063666f756e646174696f6e2e6f72672f55412f5365637572697479506f6c6963"
                  "79234e6f6e65 ffffffff ffffffff 01000000 01000000")));
    const auto opened = DecodeMessage<OpenSecureChannelResponse>(std::span(frames[0].bytes).subspan(79));
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(opened->securityToken.channelId, 1U);
    EXPECT_EQ(opened->securityToken.tokenId, 1U);
    EXPECT_EQ(opened->securityToken.revisedLifetime, 3600000U);
    EXPECT_EQ(opened->responseHeader.requestHandle, 1U);

    // CreateSession: a client description, the endpoint URL, a session name, a time-out of 60 s.
    const auto created = Answer<CreateSessionResponse>(exchange(Chunk(
        "MSGF",
        MessageHeader(2) + "0100cd01" + HeaderHex("0000", 2)
            + "0a000000 75726e3a636c69656e74 ffffffff 02 06000000 636c69656e74 01000000 ffffffff ffffffff ffffffff"
              "ffffffff 19000000 6f70632e7463703a2f2f3132372e302e302e313a343834302f 01000000 73 ffffffff ffffffff"
              "00000000004ced40 00000000")));
    EXPECT_EQ(created.revisedSessionTimeout, 60000.0);
    EXPECT_EQ(created.serverEndpoints.size(), 1U);
    EXPECT_EQ(server.SessionCount(), 1U);
    const auto* token = std::get_if<ByteString>(&created.authenticationToken.identifier);
    ASSERT_NE(token, nullptr);
    ASSERT_EQ(token->bytes.size(), 32U);
    const std::string tokenHex
        = "05 0000 20000000" + Hex(std::vector<std::uint8_t>(token->bytes.begin(), token->bytes.end()));

    // ActivateSession with an AnonymousIdentityToken (i=321) of policy "anonymous".
    const auto activated = Answer<ActivateSessionResponse>(
        exchange(Chunk("MSGF",
                       MessageHeader(3) + "0100d301" + HeaderHex(tokenHex, 3)
                           + "ffffffff ffffffff ffffffff ffffffff 01004101 01 0d000000 09000000"
                           + "616e6f6e796d6f7573 ffffffff ffffffff")));
    EXPECT_EQ(activated.responseHeader.serviceResult.code, status::kGood);

    // Read of ServerStatus (i=2256) and its State (i=2259), both timestamps.
    now += 1000;
    const auto read = Answer<ReadResponse>(
        exchange(Chunk("MSGF",
                       MessageHeader(4) + "01007702" + HeaderHex(tokenHex, 4) + "0000000000000000 02000000 02000000"
                           + "0100d008 0d000000 ffffffff 0000 ffffffff 0100d308 0d000000 ffffffff 0000 ffffffff")));
    ASSERT_EQ(read.results.size(), 2U);
    ASSERT_TRUE(read.results[0].value.has_value());
    const auto* statusObject = std::get_if<ExtensionObject>(&read.results[0].value->value);
    ASSERT_NE(statusObject, nullptr);
    const auto serverStatus = FromExtensionObject<ServerStatusDataType>(*statusObject);
    ASSERT_TRUE(serverStatus.has_value());
    EXPECT_EQ(serverStatus->state, ServerState::Running);
    EXPECT_EQ(serverStatus->startTime, DateTime::FromUnixMs(kStartMs));
    EXPECT_EQ(serverStatus->currentTime, DateTime::FromUnixMs(now));
    EXPECT_EQ(serverStatus->buildInfo.softwareVersion, "1.2");
    EXPECT_EQ(read.results[1].value, Variant(Scalar(std::int32_t { 0 })));
    EXPECT_EQ(read.results[1].serverTimestamp, DateTime::FromUnixMs(now));

    // CloseSession, deleting its subscriptions; then CloseSecureChannel, which has no answer.
    const auto closed = Answer<CloseSessionResponse>(
        exchange(Chunk("MSGF", MessageHeader(5) + "0100d901" + HeaderHex(tokenHex, 5) + "01")));
    EXPECT_EQ(closed.responseHeader.requestHandle, 5U);
    EXPECT_EQ(server.SessionCount(), 0U);
    server.Receive(id, Chunk("CLOF", MessageHeader(6) + "0100c401" + HeaderHex("0000", 6)), now);
    EXPECT_TRUE(server.TakeOutput(id).empty());
    EXPECT_TRUE(server.ShouldClose(id));
}
