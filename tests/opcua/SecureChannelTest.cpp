#include "opcua/SecureChannel.h"
#include "opcua/StatusCodes.h"
#include "opcua/crypto/CertificateMaker.h"

#include "OpcUaBytes.h"
#include "SecureClient.h"
#include "UaClient.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace tavrel::opcua;
using crypto::PolicyId;
using test::SecureClient;

namespace {

struct Identity
{
    crypto::PrivateKey key;
    crypto::Certificate certificate;
};

Identity MakeIdentity(const std::string& name, unsigned bits)
{
    auto key = crypto::PrivateKey::GenerateRsa(bits);
    crypto::CertificateRequest request { name, "Tavrel tests", "urn:test:" + name, {}, {}, 0, 4102444800000, false };
    return { *key, *crypto::MakeCertificate(request, *key) };
}

const Identity& ServerIdentity()
{
    static const Identity identity = MakeIdentity("server", 2048);
    return identity;
}

const Identity& ClientIdentity()
{
    static const Identity identity = MakeIdentity("client", 2048);
    return identity;
}

std::shared_ptr<const ChannelSecurity> Security(const Identity& server, std::optional<ErrorMessage> verdict = {})
{
    auto security = std::make_shared<ChannelSecurity>();
    security->certificate = std::make_shared<const crypto::Certificate>(server.certificate);
    security->key = std::make_shared<const crypto::PrivateKey>(server.key);
    security->validator = [verdict](const crypto::Certificate&, std::int64_t) { return verdict; };
    return security;
}

SecureClient MakeClient(PolicyId policy, MessageSecurityMode mode, const Identity& client = ClientIdentity(),
                        const Identity& server = ServerIdentity())
{
    return SecureClient(policy, mode, client.key, client.certificate, server.certificate);
}

/// Receives a copy of `chunk` (the channel decrypts in place).
tl::expected<ReceivedChunk, ErrorMessage> Receive(SecureChannel& channel, crypto::Bytes chunk)
{
    static std::vector<crypto::Bytes> kept; // the received body points into the chunk
    kept.push_back(std::move(chunk));
    return channel.Receive(kept.back(), 2000);
}

constexpr BufferSizes kSizes { 8192, 8192, 0, 0 };

/// Opens `channel` for `client`; the refusal's status, or 0 when the client accepted the answer.
std::uint32_t OpenChannel(SecureChannel& channel, SecureClient& client, crypto::Bytes request)
{
    std::vector<std::uint8_t> out;
    if (const auto fault = channel.Open(request, 1000, out)) {
        return fault->error;
    }
    return client.TakeOpen(out) ? 0 : status::kBad;
}

class SecureChannelRoundTrip : public ::testing::TestWithParam<std::tuple<PolicyId, MessageSecurityMode>>
{
};

TEST_P(SecureChannelRoundTrip, MessagesTravelBothWaysInChunks)
{
    const auto [policy, mode] = GetParam();
    SecureChannel channel(7, {}, Security(ServerIdentity()));
    SecureClient client = MakeClient(policy, mode);
    ASSERT_EQ(OpenChannel(channel, client, client.Open()), 0U);
    EXPECT_EQ(channel.Policy(), policy);
    EXPECT_EQ(channel.Mode(), mode);
    EXPECT_EQ(channel.ClientCertificate(), ClientIdentity().certificate.Der());

    for (const std::size_t size : { 0U, 1U, 100U, 5000U }) {
        const crypto::Bytes body = crypto::RandomBytes(size);
        auto chunk = client.Message(body);
        const auto received = Receive(channel, chunk);
        ASSERT_TRUE(received) << received.error().reason;
        EXPECT_EQ(crypto::Bytes(received->body.begin(), received->body.end()), body);
    }

    const crypto::Bytes answer = crypto::RandomBytes(30000); // four chunks of at most 8192 bytes
    std::vector<std::uint8_t> out;
    channel.Send(9, answer, kSizes, out);
    crypto::Bytes joined;
    const auto frames = test::UaClient::Frames(out);
    ASSERT_EQ(frames.size(), 4U);
    for (const auto& frame : frames) {
        EXPECT_LE(frame.bytes.size(), 8192U);
        const auto body = client.Read(frame.bytes);
        ASSERT_TRUE(body);
        joined.insert(joined.end(), body->begin(), body->end());
    }
    EXPECT_EQ(joined, answer);
}

INSTANTIATE_TEST_SUITE_P(PoliciesAndModes, SecureChannelRoundTrip,
                         ::testing::Combine(::testing::Values(PolicyId::Basic256Sha256, PolicyId::Aes128Sha256RsaOaep,
                                                              PolicyId::Aes256Sha256RsaPss),
                                            ::testing::Values(MessageSecurityMode::Sign,
                                                              MessageSecurityMode::SignAndEncrypt)));

TEST(SecureChannelSecurity, KeysAboveTwoThousandBitsCarryTheExtraPaddingByte)
{
    const Identity server = MakeIdentity("large-server", 3072);
    const Identity client = MakeIdentity("large-client", 3072);
    SecureChannel channel(7, {}, Security(server));
    SecureClient peer = MakeClient(PolicyId::Aes256Sha256RsaPss, MessageSecurityMode::SignAndEncrypt, client, server);
    ASSERT_EQ(OpenChannel(channel, peer, peer.Open()), 0U);
    EXPECT_TRUE(Receive(channel, peer.Message(crypto::RandomBytes(10))));
}

TEST(SecureChannelSecurity, ForgedOpenSecureChannelRequestsAreRefused)
{
    const Identity stranger = MakeIdentity("stranger", 2048);
    const struct
    {
        const char* what;
        std::function<crypto::Bytes(SecureClient&)> request;
        std::optional<ErrorMessage> verdict;
        std::uint32_t status;
    } cases[] = {
        { "encrypted to another certificate",
          [&](SecureClient& c) {
              c.thumbprint[0] ^= 1;
              return c.Open();
          },
          {},
          status::kBadSecurityChecksFailed },
        { "a byte changed on the way",
          [](SecureClient& c) {
              auto bytes = c.Open();
              bytes[bytes.size() - 7] ^= 1;
              return bytes;
          },
          {},
          status::kBadSecurityChecksFailed },
        { "signed with a key that is not the certificate's",
          [&](SecureClient& c) {
              c.key = stranger.key;
              return c.Open();
          },
          {},
          status::kBadSecurityChecksFailed },
        { "a short nonce",
          [](SecureClient& c) {
              c.clientNonce.resize(16);
              return c.Open();
          },
          {},
          status::kBadNonceInvalid },
        { "a certificate the server does not trust", [](SecureClient& c) { return c.Open(); },
          ErrorMessage { status::kBadCertificateUntrusted, "untrusted" }, status::kBadCertificateUntrusted },
        { "security mode None with a signing policy",
          [](SecureClient& c) {
              c.mode = MessageSecurityMode::None;
              return c.Open();
          },
          {},
          status::kBadSecurityModeRejected },
        { "a policy the server does not offer",
          [](SecureClient& c) {
              auto bytes = c.Open(); // …#Basic256Sha257: the URI starts after the frame, channel id and its length
              bytes[16 + crypto::PolicyUri(c.policy).size() - 1] = '7';
              return bytes;
          },
          {},
          status::kBadSecurityPolicyRejected },
    };
    for (const auto& c : cases) {
        SecureChannel channel(7, {}, Security(ServerIdentity(), c.verdict));
        SecureClient client = MakeClient(PolicyId::Basic256Sha256, MessageSecurityMode::SignAndEncrypt);
        EXPECT_EQ(OpenChannel(channel, client, c.request(client)), c.status) << c.what;
        EXPECT_FALSE(channel.IsOpen()) << c.what;
    }
}

TEST(SecureChannelSecurity, ForgedReplayedAndMispaddedChunksAreRefused)
{
    SecureChannel channel(7, {}, Security(ServerIdentity()));
    SecureClient client = MakeClient(PolicyId::Aes128Sha256RsaOaep, MessageSecurityMode::SignAndEncrypt);
    ASSERT_EQ(OpenChannel(channel, client, client.Open()), 0U);
    const crypto::Bytes body(40, 0x5A);

    auto forged = client.Message(body);
    forged[30] ^= 1;
    EXPECT_EQ(Receive(channel, forged).error().error, status::kBadSecurityChecksFailed);
    --client.sequenceNumber;
    auto mispadded = client.Message(body, true);
    EXPECT_EQ(Receive(channel, mispadded).error().error, status::kBadSecurityChecksFailed);
    --client.sequenceNumber;
    const auto good = client.Message(body);
    auto copy = good;
    EXPECT_TRUE(Receive(channel, copy));
    copy = good;
    EXPECT_EQ(Receive(channel, copy).error().error, status::kBadSequenceNumberInvalid);
    auto truncated = client.Message(body);
    truncated.resize(40);
    EXPECT_EQ(Receive(channel, truncated).error().error, status::kBadSecurityChecksFailed);
}

TEST(SecureChannelSecurity, RenewalBringsNewKeysAndKeepsTheOldUntilTheClientMoves)
{
    SecureChannel channel(7, {}, Security(ServerIdentity()));
    SecureClient client = MakeClient(PolicyId::Basic256Sha256, MessageSecurityMode::SignAndEncrypt);
    ASSERT_EQ(OpenChannel(channel, client, client.Open()), 0U);
    SecureClient old = client;

    client.clientNonce = crypto::RandomBytes(32);
    ASSERT_EQ(OpenChannel(channel, client, client.Open(SecurityTokenRequestType::Renew)), 0U);
    EXPECT_EQ(client.tokenId, old.tokenId + 1);
    EXPECT_NE(client.sending.signingKey, old.sending.signingKey);

    old.sequenceNumber = client.sequenceNumber;
    EXPECT_TRUE(Receive(channel, old.Message(crypto::Bytes(8)))); // the old token, still accepted
    std::vector<std::uint8_t> out;
    channel.Send(1, crypto::Bytes(8), kSizes, out);
    EXPECT_TRUE(old.Read(out)); // and still what the server sends with

    client.sequenceNumber = old.sequenceNumber;
    EXPECT_TRUE(Receive(channel, client.Message(crypto::Bytes(8))));
    out.clear();
    channel.Send(2, crypto::Bytes(8), kSizes, out);
    EXPECT_TRUE(client.Read(out));
    old.sequenceNumber = client.sequenceNumber;
    EXPECT_EQ(Receive(channel, old.Message(crypto::Bytes(8))).error().error, status::kBadSecureChannelTokenUnknown);
}

TEST(SecureChannelSecurity, PaddingMatchesTheBlocksAndItsSizeBytes)
{
    const struct
    {
        std::size_t soFar, signature, block;
        bool extra;
        std::size_t count; // padding bytes after the size byte
    } cases[] = {
        { 10, 32, 16, false, 5 }, // 10 + 32 + 1 = 43: five more make 48
        { 15, 32, 16, false, 0 }, // 15 + 32 + 1 = 48 already
        { 100, 256, 214, false, 71 }, // OAEP SHA-1 blocks of a 2048-bit key: 357 + 71 = 428
        { 100, 256, 342, true, 326 }, // a 3072-bit key: the size 326 = 0x146 needs its high byte
    };
    for (const auto& c : cases) {
        crypto::Bytes out(c.soFar, 0xEE);
        crypto::AppendPadding(out, c.soFar, c.signature, c.block, c.extra);
        ASSERT_EQ(out.size(), c.soFar + 1 + c.count + (c.extra ? 1 : 0));
        EXPECT_EQ((out.size() + c.signature) % c.block, 0U);
        EXPECT_EQ(out[c.soFar], c.count & 0xFF);
        EXPECT_EQ(out.back(), c.extra ? c.count >> 8 : c.count & 0xFF);
        EXPECT_EQ(crypto::PaddingStart(out, c.extra), c.soFar);
        out[c.soFar] ^= 0x10;
        EXPECT_NE(crypto::PaddingStart(out, c.extra), c.soFar);
    }
}

} // namespace
