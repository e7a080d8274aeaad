// What a client may send to a signed and encrypted channel: the first byte (modulo 2) picks the chunk under test.
//  - 0: the rest as an OpenSecureChannel for Basic256Sha256 (after its frame header): any certificate, thumbprint,
//    encrypted body and padding. It opens a channel only when it decrypts with our key and its signature verifies,
//    which forged bytes never do; a refusal says why.
//  - 1: a channel opened by a well-behaved client, then the rest as a MSG chunk under its token (after the
//    frame, channel and token ids): without the client's keys no chunk passes its signature check.
#include "FuzzSupport.h"

#include "opcua/SecureChannel.h"
#include "opcua/crypto/CertificateMaker.h"

#include "SecureClient.h"

#include <vector>

using namespace tavrel::opcua;
using tavrel::fuzz::Require;

namespace {

struct Party
{
    crypto::PrivateKey key;
    crypto::Certificate certificate;
};

const Party& MakeParty(const char* name)
{
    static std::vector<std::unique_ptr<Party>> parties;
    auto key = crypto::PrivateKey::GenerateRsa(2048);
    crypto::CertificateRequest request {
        name, "fuzz", std::string("urn:fuzz:") + name, {}, {}, 0, 4102444800000, false
    };
    parties.push_back(std::make_unique<Party>(Party { *key, *crypto::MakeCertificate(request, *key) }));
    return *parties.back();
}

std::vector<std::uint8_t> Frame(const char* type, std::vector<std::uint8_t> head, const std::uint8_t* data,
                                std::size_t size)
{
    std::vector<std::uint8_t> chunk { static_cast<std::uint8_t>(type[0]),
                                      static_cast<std::uint8_t>(type[1]),
                                      static_cast<std::uint8_t>(type[2]),
                                      'F',
                                      0,
                                      0,
                                      0,
                                      0 };
    chunk.insert(chunk.end(), head.begin(), head.end());
    chunk.insert(chunk.end(), data, data + size);
    Encoder(chunk).PatchUInt32(4, static_cast<std::uint32_t>(chunk.size()));
    return chunk;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const Party& server = MakeParty("server");
    static const Party& client = MakeParty("client");
    if (size == 0) {
        return 0;
    }
    auto security = std::make_shared<ChannelSecurity>();
    security->certificate = std::make_shared<const crypto::Certificate>(server.certificate);
    security->key = std::make_shared<const crypto::PrivateKey>(server.key);
    security->validator = [](const crypto::Certificate&, std::int64_t) { return std::optional<ErrorMessage> {}; };
    SecureChannel channel(1, {}, security);
    std::vector<std::uint8_t> out;
    if (data[0] % 2 == 0) {
        auto chunk = Frame("OPN", { 0, 0, 0, 0 }, data + 1, size - 1);
        const auto refused = channel.Open(chunk, 1000, out);
        Require(refused || channel.Policy() == crypto::PolicyId::None, "forged bytes open no signed channel");
        Require(!refused || !refused->reason.empty(), "a refusal says why");
        return 0;
    }
    test::SecureClient peer(crypto::PolicyId::Basic256Sha256, MessageSecurityMode::SignAndEncrypt, client.key,
                            client.certificate, server.certificate);
    auto open = peer.Open();
    Require(!channel.Open(open, 1000, out) && peer.TakeOpen(out), "a well-made OpenSecureChannel opens the channel");
    std::vector<std::uint8_t> ids(8);
    Encoder(ids).PatchUInt32(0, peer.channelId);
    Encoder(ids).PatchUInt32(4, peer.tokenId);
    auto chunk = Frame("MSG", ids, data + 1, size - 1);
    const auto received = channel.Receive(chunk, 2000);
    Require(!received, "a chunk made without the client's keys is refused");
    Require(!received.error().reason.empty(), "a refusal says why");
    return 0;
}
