#include "opcua/Server.h"

#include "UaClient.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace tavrel::opcua;
using tavrel::opcua::test::UaClient;

namespace {

constexpr std::int64_t kStartMs = 1765000000000;

class NoBackend : public Backend
{
public:
    std::optional<tavrel::common::Refusal> Write(const Client&, std::int32_t, const std::string&) override
    {
        return tavrel::common::Refusal { tavrel::common::Refusal::Kind::NotWritable, "read only" };
    }
    std::optional<tavrel::common::Refusal> Execute(const Client&, const std::string&) override { return std::nullopt; }
    std::optional<tavrel::common::Role> CheckPassword(const Client&, const std::string&, const std::string&) override
    {
        return std::nullopt;
    }
};

ServerConfig Config()
{
    ServerConfig config;
    config.applicationUri = "urn:test:Tavrel";
    config.productUri = "urn:tavrel";
    config.endpointUrl = "opc.tcp://127.0.0.1:4840/";
    config.limits.maxSessions = 2;
    config.limits.maxChunkCount = 4;
    config.limits.maxMessageSize = 100000;
    return config;
}

/// A server and one client connection to it, driven step by step.
class ServerFixture : public ::testing::Test
{
protected:
    explicit ServerFixture(ServerConfig config = Config())
        : server(backend, std::move(config), kStartMs)
    {
        connection = server.Accept("127.0.0.1:50000", now);
    }

    std::vector<std::uint8_t> Send(const std::vector<std::uint8_t>& bytes, ConnectionId id = 0)
    {
        const ConnectionId target = id == 0 ? connection : id;
        server.Receive(target, bytes, now);
        return server.TakeOutput(target);
    }

    /// Sends `request` and decodes its answer as Response; a ServiceFault fails the test.
    template<class Response, class Request> Response Call(const Request& request)
    {
        const auto bodies = UaClient::Bodies(Send(client.Message(request)));
        EXPECT_EQ(bodies.size(), 1U);
        if (bodies.empty()) {
            return {};
        }
        const auto response = DecodeMessage<Response>(bodies.front());
        EXPECT_TRUE(response.has_value()) << "fault " << status::Name(UaClient::FaultOf(bodies.front()));
        return response ? *response : Response {};
    }

    /// The ServiceFault status answering `request`.
    template<class Request> std::uint32_t FaultOf(const Request& request)
    {
        const auto bodies = UaClient::Bodies(Send(client.Message(request)));
        return bodies.size() == 1 ? UaClient::FaultOf(bodies.front()) : 0xFFFFFFFF;
    }

    void OpenChannel()
    {
        ASSERT_EQ(UaClient::Frames(Send(client.Hello())).at(0).header.type, MessageType::Acknowledge);
        ASSERT_TRUE(client.TakeOpen(Send(client.Open())));
    }

    void OpenSession(bool activate = true)
    {
        CreateSessionRequest create;
        create.requestedSessionTimeout = 60000;
        const auto created = Call<CreateSessionResponse>(create);
        client.authenticationToken = created.authenticationToken;
        if (activate) {
            ActivateSessionRequest activateRequest;
            activateRequest.userIdentityToken = ToExtensionObject(AnonymousIdentityToken { "anonymous" });
            Call<ActivateSessionResponse>(activateRequest);
        }
    }

    NoBackend backend;
    std::int64_t now = kStartMs;
    Server server;
    ConnectionId connection = 0;
    UaClient client;
};

} // namespace

TEST_F(ServerFixture, HelloIsAcknowledgedWithTheSmallerBuffersAndOurLimits)
{
    const auto frames = UaClient::Frames(Send(client.Hello(8192)));
    ASSERT_EQ(frames.size(), 1U);
    ASSERT_EQ(frames[0].header.type, MessageType::Acknowledge);
    Decoder d(std::span(frames[0].bytes).subspan(kFrameHeaderSize));
    AcknowledgeMessage ack;
    Decode(d, ack);
    EXPECT_EQ(ack.receiveBufferSize, 65535U);
    EXPECT_EQ(ack.sendBufferSize, 8192U);
    EXPECT_EQ(ack.maxMessageSize, 100000U);
    EXPECT_EQ(ack.maxChunkCount, 4U);
}

TEST_F(ServerFixture, ASessionIsCreatedActivatedAndClosed)
{
    OpenChannel();
    const auto endpoints = Call<GetEndpointsResponse>(GetEndpointsRequest {});
    ASSERT_EQ(endpoints.endpoints.size(), 1U);
    EXPECT_EQ(endpoints.endpoints[0].securityPolicyUri, kSecurityPolicyNoneUri);
    EXPECT_EQ(endpoints.endpoints[0].userIdentityTokens.at(0).tokenType, UserTokenType::Anonymous);
    EXPECT_EQ(Call<FindServersResponse>(FindServersRequest {}).servers.at(0).applicationUri, "urn:test:Tavrel");

    CreateSessionRequest create;
    create.requestedSessionTimeout = 1; // revised up to the least the server grants
    const auto created = Call<CreateSessionResponse>(create);
    EXPECT_EQ(created.revisedSessionTimeout, 10000.0);
    client.authenticationToken = created.authenticationToken;
    EXPECT_EQ(server.SessionCount(), 1U);
    EXPECT_EQ(FaultOf(PublishRequest {}), status::kBadSessionNotActivated);

    ActivateSessionRequest activate; // no identity at all: anonymous
    Call<ActivateSessionResponse>(activate);
    EXPECT_EQ(FaultOf(PublishRequest {}), status::kBadNoSubscription);
    Call<CloseSessionResponse>(CloseSessionRequest {});
    EXPECT_EQ(server.SessionCount(), 0U);
    EXPECT_EQ(FaultOf(PublishRequest {}), status::kBadSessionIdInvalid);
}

TEST_F(ServerFixture, ServiceFaultsAnswerRequestsTheServerCannotServe)
{
    OpenChannel();
    OpenSession();
    ActivateSessionRequest userName;
    userName.userIdentityToken = ToExtensionObject(UserNameIdentityToken { "username", "bob", { "pw" }, "" });
    EXPECT_EQ(FaultOf(userName), status::kBadIdentityTokenRejected); // no certificate: no user names
    ActivateSessionRequest garbled;
    garbled.userIdentityToken = ToExtensionObject(AnonymousIdentityToken { "anonymous" });
    garbled.userIdentityToken.body += "x";
    EXPECT_EQ(FaultOf(garbled), status::kBadIdentityTokenInvalid);
    ActivateSessionRequest otherPolicy;
    otherPolicy.userIdentityToken = ToExtensionObject(AnonymousIdentityToken { "x509" });
    EXPECT_EQ(FaultOf(otherPolicy), status::kBadIdentityTokenRejected);

    std::vector<std::uint8_t> unknown;
    Encoder e(unknown);
    EncodeMessage(e, CloseSessionResponse {}); // a response is no request the server serves
    EXPECT_EQ(UaClient::FaultOf(UaClient::Bodies(Send(client.Chunks(MessageType::Message, unknown, 1000))).at(0)),
              status::kBadServiceUnsupported);

    std::vector<std::uint8_t> cut;
    Encoder cutEncoder(cut);
    EncodeMessage(cutEncoder, CreateSessionRequest {});
    cut.resize(cut.size() - 3);
    EXPECT_EQ(UaClient::FaultOf(UaClient::Bodies(Send(client.Chunks(MessageType::Message, cut, 1000))).at(0)),
              status::kBadDecodingError);
    EXPECT_FALSE(server.ShouldClose(connection));
}

TEST_F(ServerFixture, RequestsAndResponsesTravelInChunks)
{
    ServerConfig config = Config();
    config.productUri.assign(20000, 'p'); // makes GetEndpoints' answer larger than one chunk of 8192 bytes
    Server big(backend, config, now);
    const ConnectionId id = big.Accept("peer", now);
    const auto exchange = [&](const std::vector<std::uint8_t>& bytes) {
        big.Receive(id, bytes, now);
        return big.TakeOutput(id);
    };
    exchange(client.Hello(8192));
    ASSERT_TRUE(client.TakeOpen(exchange(client.Open())));
    const auto output = exchange(client.Message(GetEndpointsRequest {}, 16)); // the request in 3 chunks
    const auto frames = UaClient::Frames(output);
    ASSERT_GE(frames.size(), 3U);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_LE(frames[i].bytes.size(), 8192U);
        EXPECT_EQ(frames[i].header.chunk, i + 1 == frames.size() ? ChunkType::Final : ChunkType::Intermediate);
    }
    const auto response = DecodeMessage<GetEndpointsResponse>(UaClient::Bodies(output).at(0));
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->endpoints.at(0).server.productUri.size(), 20000U);

    UaClient small; // a client that takes no more than 1000 bytes in one response
    const ConnectionId second = big.Accept("peer", now);
    big.Receive(second, small.Hello(65535, 1000), now);
    big.TakeOutput(second);
    big.Receive(second, small.Open(), now);
    ASSERT_TRUE(small.TakeOpen(big.TakeOutput(second)));
    big.Receive(second, small.Message(GetEndpointsRequest {}), now);
    EXPECT_EQ(UaClient::FaultOf(UaClient::Bodies(big.TakeOutput(second)).at(0)), status::kBadResponseTooLarge);
}

TEST_F(ServerFixture, TransportFaultsAnswerErrorAndClose)
{
    struct Case
    {
        const char* name;
        int stage; ///< 0: fresh connection, 1: after Hello, 2: after OpenSecureChannel
        std::function<std::vector<std::uint8_t>(UaClient&)> bytes;
        std::uint32_t status;
    };
    const auto raw = []<std::size_t N>(const char(&text)[N]) {
        return [bytes = std::vector<std::uint8_t>(text, text + N - 1)](UaClient&) { return bytes; };
    };
    const auto body = std::vector<std::uint8_t>(300, 0);
    const Case cases[] = {
        { "unknown message type", 0, raw("XYZF\x10\0\0\0........"), status::kBadTcpMessageTypeInvalid },
        { "unknown chunk type", 0, raw("HELX\x10\0\0\0........"), status::kBadTcpMessageTypeInvalid },
        { "chunk shorter than any", 0, raw("HELF\x09\0\0\0."), status::kBadTcpMessageTypeInvalid },
        { "chunk larger than the buffer", 0, raw("HELF\xff\xff\x01\0"), status::kBadTcpMessageTooLarge },
        { "message before Hello", 0, [](UaClient& c) { return c.Message(GetEndpointsRequest {}); },
          status::kBadTcpMessageTypeInvalid },
        { "buffers below 8192", 0, [](UaClient& c) { return c.Hello(1024); }, status::kBadConnectionRejected },
        { "Hello twice", 1, [](UaClient& c) { return c.Hello(); }, status::kBadTcpMessageTypeInvalid },
        { "message before OpenSecureChannel", 1, [](UaClient& c) { return c.Message(GetEndpointsRequest {}); },
          status::kBadTcpMessageTypeInvalid },
        { "unknown policy", 1, [](UaClient& c) { return c.Open(SecurityTokenRequestType::Issue, "urn:nothing"); },
          status::kBadSecurityPolicyRejected },
        { "signing with policy None", 1,
          [](UaClient& c) {
              return c.Open(SecurityTokenRequestType::Issue, std::string(kSecurityPolicyNoneUri),
                            MessageSecurityMode::Sign);
          },
          status::kBadSecurityModeRejected },
        { "renewal before an open channel", 1, [](UaClient& c) { return c.Open(SecurityTokenRequestType::Renew); },
          status::kBadTcpSecureChannelUnknown },
        { "sequence number skipped", 2,
          [](UaClient& c) {
              ++c.sequenceNumber;
              return c.Message(GetEndpointsRequest {});
          },
          status::kBadSequenceNumberInvalid },
        { "another channel", 2,
          [](UaClient& c) {
              ++c.channelId;
              return c.Message(GetEndpointsRequest {});
          },
          status::kBadTcpSecureChannelUnknown },
        { "unknown token", 2,
          [](UaClient& c) {
              c.tokenId += 5;
              return c.Message(GetEndpointsRequest {});
          },
          status::kBadSecureChannelTokenUnknown },
        { "more chunks than allowed", 2, [&](UaClient& c) { return c.Chunks(MessageType::Message, body, 50); },
          status::kBadTcpMessageTooLarge },
        { "message larger than allowed", 2,
          [](UaClient& c) { return c.Chunks(MessageType::Message, std::vector<std::uint8_t>(200000), 60000); },
          status::kBadTcpMessageTooLarge },
        { "chunks of two requests interleaved", 2,
          [&](UaClient& c) {
              auto first = c.Chunks(MessageType::Message, body, 200, ChunkType::Intermediate);
              const auto second = c.Chunks(MessageType::Message, body, 200);
              first.insert(first.end(), second.begin(), second.end());
              return first;
          },
          status::kBadTcpMessageTypeInvalid },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UaClient peer;
        const ConnectionId id = server.Accept("peer", now);
        if (c.stage >= 1) {
            Send(peer.Hello(), id);
        }
        if (c.stage >= 2) {
            ASSERT_TRUE(peer.TakeOpen(Send(peer.Open(), id)));
        }
        EXPECT_EQ(UaClient::ErrorIn(Send(c.bytes(peer), id)), c.status);
        EXPECT_TRUE(server.ShouldClose(id));
        EXPECT_TRUE(Send(peer.Hello(), id).empty()); // nothing more is read once closing
        server.Closed(id, now);
    }
}

TEST_F(ServerFixture, BytesMayArriveInAnySplit)
{
    std::vector<std::uint8_t> all = client.Hello();
    const auto open = client.Open();
    all.insert(all.end(), open.begin(), open.end());
    std::vector<std::uint8_t> output;
    for (const std::uint8_t byte : all) {
        server.Receive(connection, std::span(&byte, 1), now);
        const auto taken = server.TakeOutput(connection);
        output.insert(output.end(), taken.begin(), taken.end());
    }
    EXPECT_TRUE(client.TakeOpen(output));
    EXPECT_FALSE(server.ShouldClose(connection));
}

TEST_F(ServerFixture, TimeOutsCloseIdleConnectionsAndSessions)
{
    EXPECT_EQ(server.NextTickMs(), kStartMs + 10000); // the Hello time-out
    now += 9999;
    server.Tick(now);
    EXPECT_FALSE(server.ShouldClose(connection));
    now += 1;
    server.Tick(now);
    EXPECT_EQ(UaClient::ErrorIn(server.TakeOutput(connection)), status::kBadTimeout);
    EXPECT_TRUE(server.ShouldClose(connection));
    server.Closed(connection, now);

    connection = server.Accept("peer", now);
    client = UaClient {};
    OpenChannel();
    OpenSession(true);
    OpenSession(false); // created with a time-out of 60 s, never activated
    server.Closed(connection, now); // the client vanishes; its sessions live on until they time out
    EXPECT_EQ(server.SessionCount(), 2U);
    now += 30000;
    server.Tick(now);
    EXPECT_EQ(server.SessionCount(), 1U); // the one never activated is dropped sooner
    now += 30000;
    server.Tick(now);
    EXPECT_EQ(server.SessionCount(), 0U);
}

TEST_F(ServerFixture, SessionsNeverActivatedMakeRoomAtTheLimit)
{
    OpenChannel();
    OpenSession(true);
    const NodeId first = client.authenticationToken;
    OpenSession(false);
    const NodeId second = client.authenticationToken;
    OpenSession(false); // the limit of 2 is reached: the unactivated one goes
    EXPECT_EQ(server.SessionCount(), 2U);
    client.authenticationToken = second;
    EXPECT_EQ(FaultOf(CloseSessionRequest {}), status::kBadSessionIdInvalid);
    OpenSession(true);
    EXPECT_EQ(FaultOf(CreateSessionRequest {}), status::kBadTooManySessions);

    UaClient other; // a session is bound to its channel until activated on another
    const ConnectionId secondConnection = server.Accept("peer", now);
    Send(other.Hello(), secondConnection);
    ASSERT_TRUE(other.TakeOpen(Send(other.Open(), secondConnection)));
    other.authenticationToken = first;
    EXPECT_EQ(UaClient::FaultOf(UaClient::Bodies(Send(other.Message(PublishRequest {}), secondConnection)).at(0)),
              status::kBadSecureChannelIdInvalid);
}

TEST_F(ServerFixture, ARenewedTokenReplacesTheOldOneAndAnUnrenewedOneRunsOut)
{
    OpenChannel();
    const std::uint32_t firstToken = client.tokenId;
    now += 400000; // the client renews at 75 % of the lifetime of 600000 ms
    ASSERT_TRUE(client.TakeOpen(Send(client.Open(SecurityTokenRequestType::Renew))));
    EXPECT_NE(client.tokenId, firstToken);
    const std::uint32_t renewed = client.tokenId;
    client.tokenId = firstToken; // the old token holds until the new one is used
    EXPECT_EQ(UaClient::Bodies(Send(client.Message(GetEndpointsRequest {}))).size(), 1U);
    client.tokenId = renewed;
    EXPECT_EQ(UaClient::Bodies(Send(client.Message(GetEndpointsRequest {}))).size(), 1U);
    client.tokenId = firstToken;
    EXPECT_EQ(UaClient::ErrorIn(Send(client.Message(GetEndpointsRequest {}))), status::kBadSecureChannelTokenUnknown);

    const ConnectionId quiet = server.Accept("peer", now);
    UaClient other;
    Send(other.Hello(), quiet);
    ASSERT_TRUE(other.TakeOpen(Send(other.Open(), quiet)));
    EXPECT_EQ(server.NextTickMs(), now + 750000); // the lifetime and a quarter more for a late renewal
    now += 750000;
    server.Tick(now);
    EXPECT_EQ(UaClient::ErrorIn(server.TakeOutput(quiet)), status::kBadSecureChannelTokenUnknown);
}

TEST_F(ServerFixture, ChangesAndModelChangeEventsReachTheClientInPublishAnswers)
{
    PlcNode plc;
    plc.name = "Line_1";
    server.SetProject({ plc }, { ItemNode { 7, "Line_1", "MI 7", "", ValueKind::Int16, true, "" } }, now);
    OpenChannel();
    OpenSession();
    CreateSubscriptionRequest subscribe;
    subscribe.requestedPublishingInterval = 100;
    subscribe.requestedMaxKeepAliveCount = 10;
    subscribe.requestedLifetimeCount = 30;
    const auto subscription = Call<CreateSubscriptionResponse>(subscribe);
    CreateMonitoredItemsRequest monitor;
    monitor.subscriptionId = subscription.subscriptionId;
    MonitoredItemCreateRequest item;
    item.itemToMonitor.nodeId = NodeId(1, std::string("lblDDE(7)"));
    item.requestedParameters.clientHandle = 5;
    monitor.itemsToCreate = { item };
    EXPECT_EQ(Call<CreateMonitoredItemsResponse>(monitor).results.at(0).statusCode.code, status::kGood);

    EXPECT_TRUE(Send(client.Message(PublishRequest {})).empty()); // waits for something to send
    const std::uint32_t publishRequestId = client.requestId;
    const ItemSample sample { 7, "12", 12.0, now, ValueQuality::Good };
    server.SetValues(std::span(&sample, 1), now);
    now += 100;
    server.Tick(now);
    ASSERT_EQ(server.ConnectionsWithOutput(), std::vector<ConnectionId> { connection });
    const auto output = server.TakeOutput(connection);
    const auto frames = UaClient::Frames(output);
    ASSERT_EQ(frames.size(), 1U);
    Decoder requestIdOf(std::span(frames[0].bytes).subspan(20, 4));
    EXPECT_EQ(requestIdOf.UInt32(), publishRequestId); // answered under the Publish request's id
    const auto published = DecodeMessage<PublishResponse>(UaClient::Bodies(output).at(0));
    ASSERT_TRUE(published.has_value());
    EXPECT_EQ(published->subscriptionId, subscription.subscriptionId);
    const auto change
        = FromExtensionObject<DataChangeNotification>(published->notificationMessage.notificationData.at(0));
    ASSERT_TRUE(change.has_value());
    EXPECT_EQ(change->monitoredItems.at(0).clientHandle, 5U);
    EXPECT_EQ(change->monitoredItems.at(0).value.value, Variant(Scalar(std::int16_t { 12 })));

    // Removing the item raises a model change event on the Server object for the event item watching it.
    EventFilter events;
    events.selectClauses.push_back({ NodeId(0, 2041), { { 0, "EventType" } }, 13, {} }); // of BaseEventType
    MonitoredItemCreateRequest eventItem;
    eventItem.itemToMonitor.nodeId = NodeId(0, 2253); // the Server object
    eventItem.itemToMonitor.attributeId = static_cast<std::uint32_t>(AttributeId::EventNotifier);
    eventItem.requestedParameters.clientHandle = 6;
    eventItem.requestedParameters.queueSize = 10;
    eventItem.requestedParameters.filter = ToExtensionObject(events);
    monitor.itemsToCreate = { eventItem };
    EXPECT_EQ(Call<CreateMonitoredItemsResponse>(monitor).results.at(0).statusCode.code, status::kGood);
    server.SetProject({ plc }, {}, now);
    Send(client.Message(PublishRequest {}));
    now += 100;
    server.Tick(now);
    const auto changed = DecodeMessage<PublishResponse>(UaClient::Bodies(server.TakeOutput(connection)).at(0));
    ASSERT_TRUE(changed.has_value());
    std::optional<EventNotificationList> raised;
    for (const ExtensionObject& data : changed->notificationMessage.notificationData) {
        raised = raised ? raised : FromExtensionObject<EventNotificationList>(data);
    }
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->events.at(0).clientHandle, 6U);
    EXPECT_EQ(raised->events.at(0).eventFields.at(0), Variant(Scalar(NodeId(0, 2133)))); // GeneralModelChangeEventType

    Send(client.Message(PublishRequest {}));
    const auto closing = UaClient::Bodies(Send(client.Message(CloseSessionRequest {})));
    ASSERT_EQ(closing.size(), 2U); // the queued Publish request is answered as the session ends, then CloseSession
    EXPECT_EQ(UaClient::FaultOf(closing[0]), status::kBadSessionClosed);
    EXPECT_TRUE(DecodeMessage<CloseSessionResponse>(closing[1]).has_value());
    EXPECT_EQ(server.SessionCount(), 0U);
}
