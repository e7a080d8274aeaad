#include "opcua/crypto/Policy.h"

#include <array>

namespace tavrel::opcua::crypto {

namespace {

constexpr std::string_view kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
constexpr std::string_view kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
constexpr std::string_view kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
constexpr std::string_view kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";

constexpr std::array kPolicies {
    PolicyParameters { PolicyId::None,
                       "http://opcfoundation.org/UA/SecurityPolicy#None",
                       AsymmetricSignature::None,
                       AsymmetricEncryption::None,
                       {},
                       {},
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0 },
    PolicyParameters { PolicyId::Basic256Sha256, "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
                       AsymmetricSignature::RsaPkcs1Sha256, AsymmetricEncryption::RsaOaepSha1, kRsaSha256, kRsaOaep, 32,
                       32, 16, 32, 32, 2048, 4096 },
    PolicyParameters { PolicyId::Aes128Sha256RsaOaep,
                       "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
                       AsymmetricSignature::RsaPkcs1Sha256, AsymmetricEncryption::RsaOaepSha1, kRsaSha256, kRsaOaep, 32,
                       16, 16, 32, 32, 2048, 4096 },
    PolicyParameters { PolicyId::Aes256Sha256RsaPss, "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
                       AsymmetricSignature::RsaPssSha256, AsymmetricEncryption::RsaOaepSha256, kRsaPssSha256,
                       kRsaOaepSha256, 32, 32, 16, 32, 32, 2048, 4096 },
};

} // namespace

const PolicyParameters& Parameters(PolicyId id)
{
    return kPolicies.at(static_cast<std::size_t>(id));
}

std::optional<PolicyId> PolicyFromUri(std::string_view uri)
{
    for (const PolicyParameters& policy : kPolicies) {
        if (policy.uri == uri) {
            return policy.id;
        }
    }
    return std::nullopt;
}

} // namespace tavrel::opcua::crypto
