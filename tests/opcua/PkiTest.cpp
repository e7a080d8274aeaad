#include "opcua/crypto/Pki.h"
#include "opcua/StatusCodes.h"
#include "opcua/crypto/CertificateMaker.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <fstream>

using namespace tavrel::opcua;
using namespace tavrel::opcua::crypto;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNowMs = 1796000000000; // 2026-11-30
constexpr std::int64_t kYearMs = 365LL * 24 * 3600 * 1000;

struct Party
{
    PrivateKey key;
    Certificate certificate;
};

Party MakeParty(const std::string& name, std::optional<Issuer> issuer = {}, bool authority = false,
                std::int64_t notAfterMs = kNowMs + kYearMs)
{
    static const PrivateKey key = *PrivateKey::GenerateRsa(2048); // one key for all: the certificates differ
    CertificateRequest request { name, "Tavrel tests",   "urn:test:" + name, {},
                                 {},   kNowMs - kYearMs, notAfterMs,         authority };
    return { key, *MakeCertificate(request, key, issuer) };
}

void WriteFile(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

/// A revocation list by `issuer` naming `revoked`, as DER.
std::vector<std::uint8_t> RevocationList(const Party& issuer, const Certificate& revoked)
{
    X509_CRL* list = X509_CRL_new();
    X509_CRL_set_version(list, 1);
    X509_CRL_set_issuer_name(list, X509_get_subject_name(issuer.certificate.Handle()));
    ASN1_TIME* from = ASN1_TIME_set(nullptr, static_cast<time_t>(kNowMs / 1000 - 3600));
    ASN1_TIME* to = ASN1_TIME_set(nullptr, static_cast<time_t>(kNowMs / 1000 + 86400));
    X509_CRL_set1_lastUpdate(list, from);
    X509_CRL_set1_nextUpdate(list, to);
    X509_REVOKED* entry = X509_REVOKED_new();
    X509_REVOKED_set_serialNumber(entry, X509_get_serialNumber(revoked.Handle()));
    X509_REVOKED_set_revocationDate(entry, from);
    X509_CRL_add0_revoked(list, entry);
    X509_CRL_sign(list, issuer.key.Handle(), EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509_CRL(list, &der);
    std::vector<std::uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    ASN1_TIME_free(from);
    ASN1_TIME_free(to);
    X509_CRL_free(list);
    return bytes;
}

std::unique_ptr<Pki> OpenPki(const fs::path& root, bool autoAccept = false)
{
    auto pki
        = Pki::Open(root, { "plant-pc", "urn:plant-pc:Tavrel", { "plant-pc" }, { "127.0.0.1" } }, autoAccept, kNowMs);
    EXPECT_TRUE(pki) << pki.error();
    return pki ? std::move(*pki) : nullptr;
}

TEST(Pki, MakesItsCertificateOnceAndKeepsTheKeyPrivate)
{
    tavrel::test::TempDir dir;
    const auto pki = OpenPki(dir.Path());
    const Certificate& own = *pki->OwnCertificate();
    EXPECT_EQ(own.ApplicationUri(), "urn:plant-pc:Tavrel");
    EXPECT_NE(own.Subject().find("CN = Tavrel@plant-pc"), std::string::npos) << own.Subject();
    EXPECT_EQ(own.KeyBytes(), 256U);
    EXPECT_GT(own.NotAfterMs(), kNowMs + 9 * kYearMs);
    const fs::path key = dir / "own/private/tavrel.pem";
    EXPECT_EQ(fs::status(key).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    for (const char* folder : { "trusted/certs", "trusted/crl", "issuers/certs", "issuers/crl", "rejected/certs" }) {
        EXPECT_TRUE(fs::is_directory(dir / folder)) << folder;
    }

    EXPECT_EQ(OpenPki(dir.Path())->Thumbprint(), pki->Thumbprint());

    fs::permissions(key, fs::perms::others_read, fs::perm_options::add);
    const auto readable = Pki::Open(dir.Path(), {}, false, kNowMs);
    ASSERT_FALSE(readable);
    EXPECT_NE(readable.error().find("chmod 600"), std::string::npos) << readable.error();
    fs::remove(key);
    EXPECT_FALSE(Pki::Open(dir.Path(), {}, false, kNowMs));
    EXPECT_TRUE(fs::exists(dir / "own/certs/tavrel.der"));
}

TEST(Pki, UntrustedClientsWaitInRejectedUntilTrusted)
{
    tavrel::test::TempDir dir;
    const auto pki = OpenPki(dir.Path());
    const Party client = MakeParty("client");
    const auto refused = pki->Validate(client.certificate, kNowMs);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->error, status::kBadSecurityChecksFailed);
    const fs::path rejected = dir / "rejected/certs" / (client.certificate.ThumbprintHex() + ".der");
    EXPECT_TRUE(fs::exists(rejected));
    EXPECT_EQ(pki->RejectedCount(), 1U);
    EXPECT_EQ(pki->Validate(client.certificate, kNowMs)->error, status::kBadSecurityChecksFailed); // once in rejected

    ASSERT_TRUE(pki->Trust(rejected));
    EXPECT_EQ(pki->RejectedCount(), 0U);
    EXPECT_FALSE(pki->Validate(client.certificate, kNowMs));
    EXPECT_EQ(pki->Validate(client.certificate, kNowMs + 2 * kYearMs)->error, status::kBadCertificateTimeInvalid);
    EXPECT_FALSE(pki->Trust(dir / "no-such.der"));

    const auto accepting = OpenPki(dir.Path(), true);
    EXPECT_FALSE(accepting->Validate(MakeParty("stranger").certificate, kNowMs));
}

TEST(Pki, IssuedCertificatesFollowTheirIssuerAndItsRevocationList)
{
    tavrel::test::TempDir dir;
    const auto pki = OpenPki(dir.Path());
    const Party authority = MakeParty("plant-ca", std::nullopt, true);
    const Party client = MakeParty("client", Issuer { authority.certificate, authority.key });
    const Party revoked = MakeParty("revoked", Issuer { authority.certificate, authority.key });
    const fs::path anchor = dir / "issuers/certs/plant-ca.der";
    WriteFile(anchor, authority.certificate.Der());
    // An issuer only completes chains: its certificates are not trusted for it.
    EXPECT_EQ(pki->Validate(client.certificate, kNowMs)->error, status::kBadSecurityChecksFailed);

    fs::rename(anchor, dir / "trusted/certs/plant-ca.der");
    EXPECT_FALSE(pki->Validate(client.certificate, kNowMs));
    WriteFile(dir / "trusted/crl/plant-ca.crl", RevocationList(authority, revoked.certificate));
    EXPECT_FALSE(pki->Validate(client.certificate, kNowMs));
    EXPECT_EQ(pki->Validate(revoked.certificate, kNowMs)->error, status::kBadCertificateRevoked);
    EXPECT_EQ(pki->RejectedCount(), 1U); // the first refusal only
}

} // namespace
