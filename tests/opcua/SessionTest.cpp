#include "opcua/Session.h"
#include "opcua/Access.h"
#include "opcua/Discovery.h"
#include "opcua/SecureChannel.h"
#include "opcua/crypto/CertificateMaker.h"
#include "opcua/crypto/Primitives.h"

#include "OpcUaSpace.h"

#include <gtest/gtest.h>

namespace tavrel::opcua {
namespace {

using crypto::PolicyId;
constexpr std::int64_t kNowMs = 1765000000000;
constexpr auto kPolicy = PolicyId::Basic256Sha256;

struct Party
{
    crypto::PrivateKey key;
    crypto::Certificate certificate;
};

Party MakeParty(const std::string& uri)
{
    auto key = crypto::PrivateKey::GenerateRsa(2048);
    crypto::CertificateRequest request;
    request.commonName = uri;
    request.applicationUri = uri;
    request.notBeforeMs = kNowMs - 1000;
    request.notAfterMs = kNowMs + 86400000;
    auto certificate = crypto::MakeCertificate(request, *key);
    return { *key, *certificate };
}

// Keys take a while to make: one server and one client for every test.
const Party& Server()
{
    static const Party party = MakeParty("urn:test:Tavrel");
    return party;
}
const Party& Client()
{
    static const Party party = MakeParty("urn:test:client");
    return party;
}

ByteString Bytes(std::span<const std::uint8_t> bytes)
{
    return ByteString { std::string(bytes.begin(), bytes.end()) };
}

ByteString Joined(const ByteString& a, const ByteString& b)
{
    return ByteString { a.bytes + b.bytes };
}

/// A user name token as a client makes it: length, password and nonce, encrypted to the server's certificate.
ExtensionObject UserToken(const std::string& user, const std::string& password, const ByteString& nonce,
                          PolicyId policy = kPolicy, bool encrypted = true)
{
    std::string plain(4, '\0');
    const auto length = static_cast<std::uint32_t>(password.size() + nonce.bytes.size());
    for (int i = 0; i < 4; ++i) {
        plain[static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    }
    plain += password + nonce.bytes;
    UserNameIdentityToken token { std::string(kUserNamePolicyId), user, { plain }, "" };
    if (encrypted) {
        token.password = Bytes(*crypto::Encrypt(policy, Server().certificate, BytesOf(ByteString { plain })));
        token.encryptionAlgorithm = std::string(crypto::Parameters(policy).asymmetricEncryptionUri);
    }
    return ToExtensionObject(token);
}

class SessionTest : public ::testing::Test
{
protected:
    SessionTest()
    {
        auto channel = std::make_shared<ChannelSecurity>();
        channel->certificate = std::make_shared<crypto::Certificate>(Server().certificate);
        channel->key = std::make_shared<crypto::PrivateKey>(Server().key);
        config.security = channel;
        config.access.anonymous.allowed = false;
        secured.policy = kPolicy;
        secured.mode = MessageSecurityMode::SignAndEncrypt;
        secured.clientCertificate = Client().certificate;
    }

    CreateSessionRequest Request() const
    {
        CreateSessionRequest request;
        request.clientDescription.applicationUri = "urn:test:client";
        request.clientCertificate = Bytes(Client().certificate.Der());
        request.clientNonce = Bytes(crypto::RandomBytes(32));
        return request;
    }

    /// A session created on the secured channel, and the request that activates it with a right signature.
    ActivateSessionRequest Created()
    {
        std::optional<Session> dropped;
        auto created = sessions.Create(Request(), 1, secured, "10.0.0.7:50000", {}, kNowMs, dropped);
        EXPECT_TRUE(created.has_value());
        ActivateSessionRequest activate;
        activate.requestHeader.authenticationToken = created->authenticationToken;
        nonce = created->serverNonce;
        Sign(activate);
        return activate;
    }

    void Sign(ActivateSessionRequest& activate) const
    {
        const auto signature
            = crypto::Sign(kPolicy, Client().key, BytesOf(Joined(Bytes(Server().certificate.Der()), nonce)));
        activate.clientSignature
            = { std::string(crypto::Parameters(kPolicy).asymmetricSignatureUri), Bytes(*signature) };
    }

    std::uint32_t Activate(const ActivateSessionRequest& activate, std::int64_t nowMs = kNowMs)
    {
        auto activated = sessions.Activate(activate, 1, secured, backend, nowMs);
        if (activated) {
            nonce = activated->serverNonce;
        }
        return activated ? status::kGood : activated.error();
    }

    ServerConfig config;
    SubscriptionTotals totals;
    SessionManager sessions { config, totals };
    testing::RecordingBackend backend; // "ada" with password "lovelace" is an operator
    SessionChannel secured;
    ByteString nonce;
};

TEST_F(SessionTest, CreateSessionChecksTheClientAndSignsItsCertificateAndNonce)
{
    struct Case
    {
        const char* what;
        void (*change)(CreateSessionRequest&);
        std::uint32_t status;
    } cases[] = {
        { "another certificate than the channel's",
          [](CreateSessionRequest& r) { r.clientCertificate = Bytes(Server().certificate.Der()); },
          status::kBadSecurityChecksFailed },
        { "a URI the certificate does not name",
          [](CreateSessionRequest& r) { r.clientDescription.applicationUri = "urn:test:other"; },
          status::kBadCertificateUriInvalid },
        { "a short nonce", [](CreateSessionRequest& r) { r.clientNonce.bytes.resize(31); }, status::kBadNonceInvalid },
        { "all well", [](CreateSessionRequest&) {}, status::kGood },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CreateSessionRequest request = Request();
        c.change(request);
        std::optional<Session> dropped;
        const auto created = sessions.Create(request, 1, secured, "10.0.0.7:50000", {}, kNowMs, dropped);
        EXPECT_EQ(created ? status::kGood : created.error(), c.status);
        if (created) {
            EXPECT_EQ(created->serverNonce.bytes.size(), 32U);
            EXPECT_EQ(created->serverCertificate, Bytes(Server().certificate.Der()));
            EXPECT_TRUE(crypto::Verify(kPolicy, Server().certificate,
                                       BytesOf(Joined(request.clientCertificate, request.clientNonce)),
                                       BytesOf(created->serverSignature.signature)));
        }
    }
}

TEST_F(SessionTest, ActivateSessionTakesTheRightSignatureAndPasswordOnly)
{
    ActivateSessionRequest activate = Created();
    const auto token
        = [this](const std::string& user, const std::string& password) { return UserToken(user, password, nonce); };
    activate.userIdentityToken = token("ada", "lovelace");
    ActivateSessionRequest forged = activate;
    forged.clientSignature.signature.bytes[10] ^= 1;
    EXPECT_EQ(Activate(forged), status::kBadApplicationSignatureInvalid);

    struct Case
    {
        const char* what;
        ExtensionObject token;
        std::uint32_t status;
    } cases[] = {
        { "no token while anonymous is off", {}, status::kBadIdentityTokenRejected },
        { "a wrong password", token("ada", "babbage"), status::kBadUserAccessDenied },
        { "an empty password", token("ada", ""), status::kBadUserAccessDenied },
        { "an unknown user", token("eve", "lovelace"), status::kBadUserAccessDenied },
        { "a password in clear", UserToken("ada", "lovelace", nonce, kPolicy, false),
          status::kBadIdentityTokenInvalid },
        { "another session's nonce", UserToken("ada", "lovelace", Bytes(crypto::RandomBytes(32))),
          status::kBadIdentityTokenInvalid },
        { "encrypted as another policy", UserToken("ada", "lovelace", nonce, PolicyId::Aes256Sha256RsaPss),
          status::kBadIdentityTokenInvalid },
    };
    std::int64_t now = kNowMs;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        activate.userIdentityToken = c.token;
        // Each failure is counted against the address: wait out any penalty so that every case is checked.
        now += LoginThrottle::kMaxPenaltyMs;
        EXPECT_EQ(Activate(activate, now), c.status);
    }
    activate.userIdentityToken = token("ada", "lovelace");
    now += LoginThrottle::kMaxPenaltyMs;
    ASSERT_EQ(Activate(activate, now), status::kGood);
    const Session& session = sessions.All().begin()->second;
    EXPECT_EQ(session.client.user, "ada");
    EXPECT_EQ(session.client.role, common::Role::Operator);

    // A reactivation must sign the new nonce, and is checked again.
    EXPECT_EQ(Activate(activate, now), status::kBadApplicationSignatureInvalid);
    Sign(activate);
    activate.userIdentityToken = {};
    EXPECT_EQ(Activate(activate, now), status::kBadIdentityTokenRejected);
    EXPECT_EQ(session.client.user, "ada");
}

TEST_F(SessionTest, RepeatedFailuresFromOneAddressWaitLongerAndLongerUncheckedAndASuccessClearsThem)
{
    ActivateSessionRequest activate = Created();
    std::int64_t now = kNowMs;
    for (int failure = 1; failure <= LoginThrottle::kFreeFailures + 1; ++failure) {
        activate.userIdentityToken = UserToken("ada", "wrong", nonce);
        EXPECT_EQ(Activate(activate, now), status::kBadUserAccessDenied);
    }
    // Within the penalty even the right password is not looked at.
    activate.userIdentityToken = UserToken("ada", "lovelace", nonce);
    EXPECT_EQ(Activate(activate, now + LoginThrottle::kFirstPenaltyMs - 1), status::kBadTooManyOperations);
    now += LoginThrottle::kFirstPenaltyMs;
    activate.userIdentityToken = UserToken("ada", "wrong", nonce);
    EXPECT_EQ(Activate(activate, now), status::kBadUserAccessDenied);
    activate.userIdentityToken = UserToken("ada", "lovelace", nonce);
    EXPECT_EQ(Activate(activate, now + 2 * LoginThrottle::kFirstPenaltyMs - 1), status::kBadTooManyOperations);
    now += 2 * LoginThrottle::kFirstPenaltyMs;
    EXPECT_EQ(Activate(activate, now), status::kGood);
    Sign(activate);
    activate.userIdentityToken = UserToken("ada", "wrong", nonce);
    EXPECT_EQ(Activate(activate, now), status::kBadUserAccessDenied);
    activate.userIdentityToken = UserToken("ada", "lovelace", nonce);
    EXPECT_EQ(Activate(activate, now), status::kGood);
}

TEST_F(SessionTest, AnUnsecuredChannelTakesNoSessionOfASecuredOneNorAnyWhereNoneIsNotOffered)
{
    ActivateSessionRequest activate = Created();
    activate.userIdentityToken = UserToken("ada", "lovelace", nonce);
    EXPECT_EQ(sessions.Activate(activate, 2, SessionChannel {}, backend, kNowMs).error(),
              status::kBadSecurityChecksFailed);
    std::optional<Session> dropped;
    config.access.offerNone = false;
    EXPECT_EQ(
        sessions.Create(CreateSessionRequest {}, 2, SessionChannel {}, "10.0.0.8:50001", {}, kNowMs, dropped).error(),
        status::kBadSecurityPolicyRejected);
}

TEST(Access, WhereTheServerListensDecidesWhatItOffers)
{
    using common::Role;
    struct Case
    {
        const char* what;
        common::OpcUaAccessSettings settings;
        bool loopback, certificate, users;
        bool ok, none, anonymous;
        Role role;
        bool warns;
    } cases[] = {
        { "loopback by default", {}, true, false, false, true, true, true, Role::Operator, false },
        { "loopback, anonymous off",
          { false, {}, false },
          true,
          false,
          false,
          true,
          true,
          false,
          Role::Operator,
          false },
        { "off loopback with users", {}, false, true, true, true, false, false, Role::Reader, false },
        { "off loopback, nobody to log in", {}, false, true, false, false, false, false, Role::Reader, false },
        { "off loopback without certificate", {}, false, false, true, false, false, false, Role::Reader, false },
        { "off loopback, anonymous readers",
          { true, {}, false },
          false,
          true,
          false,
          true,
          false,
          true,
          Role::Reader,
          false },
        { "off loopback, None allowed", { {}, {}, true }, false, true, true, true, true, false, Role::Reader, true },
        { "off loopback, anonymous operators",
          { true, Role::Operator, false },
          false,
          true,
          false,
          true,
          false,
          true,
          Role::Operator,
          true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto choice = ChooseAccess(c.settings, c.loopback, c.certificate, c.users);
        ASSERT_EQ(choice.has_value(), c.ok);
        if (choice) {
            EXPECT_EQ(choice->offerNone, c.none);
            EXPECT_EQ(choice->anonymous.allowed, c.anonymous);
            EXPECT_EQ(choice->anonymous.role, c.role);
            EXPECT_EQ(!choice->warning.empty(), c.warns);
        }
    }
}

TEST(Discovery, SecuredEndpointsComeFirstAndAPasswordIsAlwaysEncrypted)
{
    ServerConfig config;
    config.endpointUrl = "opc.tcp://10.0.0.1:4840/";
    auto channel = std::make_shared<ChannelSecurity>();
    channel->certificate = std::make_shared<crypto::Certificate>(Server().certificate);
    channel->key = std::make_shared<crypto::PrivateKey>(Server().key);
    config.security = channel;
    config.access.anonymous.allowed = false;
    config.access.offerNone = true;
    const auto endpoints = ServerEndpoints(config);
    ASSERT_EQ(endpoints.size(), 7U);
    std::uint8_t previous = 255;
    for (const EndpointDescription& endpoint : endpoints) {
        SCOPED_TRACE(endpoint.securityPolicyUri);
        EXPECT_LT(endpoint.securityLevel, previous);
        previous = endpoint.securityLevel;
        ASSERT_EQ(endpoint.userIdentityTokens.size(), 1U);
        const UserTokenPolicy& user = endpoint.userIdentityTokens[0];
        EXPECT_EQ(user.tokenType, UserTokenType::UserName);
        EXPECT_EQ(user.securityPolicyUri,
                  endpoint.securityMode == MessageSecurityMode::None ? crypto::PolicyUri(PolicyId::Basic256Sha256)
                                                                     : endpoint.securityPolicyUri);
    }
    EXPECT_EQ(endpoints.back().securityMode, MessageSecurityMode::None);
    config.access.offerNone = false;
    EXPECT_EQ(ServerEndpoints(config).size(), 6U);
}

} // namespace
} // namespace tavrel::opcua
