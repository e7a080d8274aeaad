#include "opcua/crypto/CertificateMaker.h"
#include "opcua/crypto/Primitives.h"

#include "OpcUaBytes.h"

#include <gtest/gtest.h>

using namespace tavrel::opcua::crypto;
using tavrel::opcua::test::Unhex;

namespace {

std::string ToHex(std::span<const std::uint8_t> bytes)
{
    return tavrel::opcua::test::Hex(bytes);
}

// Worked out with `openssl kdf -keylen 80 -kdfopt digest:SHA256 -kdfopt hexsecret:… -kdfopt hexseed:… TLS1-PRF`
// (TLS 1.2's PRF without a label is P_SHA256).
constexpr const char* kSecret = "000102030405060708090a0b0c0d0e0f";
constexpr const char* kSeed = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
constexpr const char* kStream = "35787b5488cdde8bc39eae216d2338ce9184647c647885aab9e8052feabff53b"
                                "7bfa747f916dc19180181efc8f7c5959cc3ff48dcac7fd29ca6e58a7e2908ad2"
                                "9f8e26d819011b3d64b494fe0c4202e5";

TEST(Crypto, PSha256MatchesOpenSslsPrf)
{
    for (const std::size_t length : { 1U, 32U, 33U, 80U }) {
        EXPECT_EQ(ToHex(PSha256(Unhex(kSecret), Unhex(kSeed), length)), std::string(kStream).substr(0, 2 * length));
    }
}

TEST(Crypto, DerivedKeysAreSlicesOfTheStreamInPolicyLengths)
{
    const std::string stream = kStream;
    const SymmetricKeys aes128 = DeriveKeys(PolicyId::Aes128Sha256RsaOaep, Unhex(kSecret), Unhex(kSeed));
    EXPECT_EQ(ToHex(aes128.signingKey), stream.substr(0, 64));
    EXPECT_EQ(ToHex(aes128.encryptingKey), stream.substr(64, 32));
    EXPECT_EQ(ToHex(aes128.iv), stream.substr(96, 32));
    const SymmetricKeys aes256 = DeriveKeys(PolicyId::Aes256Sha256RsaPss, Unhex(kSecret), Unhex(kSeed));
    EXPECT_EQ(ToHex(aes256.encryptingKey), stream.substr(64, 64));
    EXPECT_EQ(ToHex(aes256.iv), stream.substr(128, 32));
}

TEST(Crypto, AesCbcWithoutPaddingMatchesOpenSslEnc)
{
    // openssl enc -aes-{128,256}-cbc -nopad -K … -iv 101112…1f
    const struct
    {
        const char* key;
        const char* cipher;
    } cases[] = {
        { "000102030405060708090a0b0c0d0e0f", "eb9e5ba41b902db8252982aa1a23f4be34f850736d96488d3f52e700cdb661c6" },
        { "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
          "879adb94b99e35f6f6d9680548bb71d1189a9d64f820a07a7e9e7832a5d8712b" },
    };
    const std::string plain = "0123456789abcdef0123456789ABCDEF";
    const auto iv = Unhex("101112131415161718191a1b1c1d1e1f");
    for (const auto& c : cases) {
        Bytes data(plain.begin(), plain.end());
        ASSERT_TRUE(AesCbcEncrypt(Unhex(c.key), iv, data));
        EXPECT_EQ(ToHex(data), c.cipher);
        ASSERT_TRUE(AesCbcDecrypt(Unhex(c.key), iv, data));
        EXPECT_EQ(std::string(data.begin(), data.end()), plain);
    }
    Bytes partial(20);
    EXPECT_FALSE(AesCbcEncrypt(Unhex(cases[0].key), iv, partial));
}

struct Peer
{
    PrivateKey key;
    Certificate certificate;
};

Peer MakePeer(unsigned bits)
{
    auto key = PrivateKey::GenerateRsa(bits);
    CertificateRequest request { "peer",        "Tavrel tests", "urn:test:peer", { "localhost" }, { "127.0.0.1" }, 0,
                                 4102444800000, false };
    auto certificate = MakeCertificate(request, *key);
    return { *key, *certificate };
}

const Peer& Peer2048()
{
    static const Peer peer = MakePeer(2048);
    return peer;
}

TEST(Crypto, CertificateCarriesItsUriKeyAndThumbprint)
{
    const Peer& peer = Peer2048();
    EXPECT_EQ(peer.certificate.ApplicationUri(), "urn:test:peer");
    EXPECT_EQ(peer.certificate.KeyBytes(), 256U);
    EXPECT_EQ(peer.certificate.NotAfterMs(), 4102444800000);
    const auto again = Certificate::FromDer(peer.certificate.Der());
    ASSERT_TRUE(again);
    EXPECT_EQ(again->ThumbprintHex(), peer.certificate.ThumbprintHex());
    EXPECT_TRUE(peer.key.Matches(*again));
    EXPECT_FALSE(Certificate::FromDer(Unhex("3082")));
}

class AsymmetricTest : public ::testing::TestWithParam<PolicyId>
{
};

TEST_P(AsymmetricTest, SignaturesVerifyAndForgeriesDoNot)
{
    const Peer& peer = Peer2048();
    const Bytes data = RandomBytes(300);
    auto signature = Sign(GetParam(), peer.key, data);
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->size(), 256U);
    EXPECT_TRUE(Verify(GetParam(), peer.certificate, data, *signature));
    (*signature)[10] ^= 1;
    EXPECT_FALSE(Verify(GetParam(), peer.certificate, data, *signature));
}

TEST_P(AsymmetricTest, EncryptsSeveralBlocksAndDecryptsOnlyWithTheKey)
{
    const Peer& peer = Peer2048();
    const std::size_t block = PlainBlockSize(GetParam(), 256);
    EXPECT_EQ(block, GetParam() == PolicyId::Aes256Sha256RsaPss ? 190U : 214U);
    const Bytes plain = RandomBytes(2 * block + 5);
    auto cipher = Encrypt(GetParam(), peer.certificate, plain);
    ASSERT_TRUE(cipher);
    EXPECT_EQ(cipher->size(), 3 * 256U);
    EXPECT_EQ(Decrypt(GetParam(), peer.key, *cipher).value_or(Bytes {}), plain);
    (*cipher)[300] ^= 1;
    EXPECT_FALSE(Decrypt(GetParam(), peer.key, *cipher));
    EXPECT_FALSE(Decrypt(GetParam(), peer.key, std::span(*cipher).first(255)));
}

INSTANTIATE_TEST_SUITE_P(Policies, AsymmetricTest,
                         ::testing::Values(PolicyId::Basic256Sha256, PolicyId::Aes128Sha256RsaOaep,
                                           PolicyId::Aes256Sha256RsaPss));

TEST(Crypto, PoliciesAreFoundByUriAndDeprecatedOnesAreNot)
{
    for (const PolicyId id :
         { PolicyId::None, PolicyId::Basic256Sha256, PolicyId::Aes128Sha256RsaOaep, PolicyId::Aes256Sha256RsaPss }) {
        EXPECT_EQ(PolicyFromUri(PolicyUri(id)), id);
    }
    EXPECT_FALSE(PolicyFromUri("http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15"));
    EXPECT_FALSE(PolicyFromUri("http://opcfoundation.org/UA/SecurityPolicy#Basic256"));
}

} // namespace
