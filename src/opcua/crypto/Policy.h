#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tavrel::opcua::crypto {

/// The security policies the server offers.
enum class PolicyId { None, Basic256Sha256, Aes128Sha256RsaOaep, Aes256Sha256RsaPss };

enum class AsymmetricSignature { None, RsaPkcs1Sha256, RsaPssSha256 };
enum class AsymmetricEncryption { None, RsaOaepSha1, RsaOaepSha256 };

/// What a policy asks of the channel: its algorithms, the lengths of the keys derived from the two nonces
/// (HMAC-SHA256 signatures and AES-CBC in every policy but None), and the client key sizes it accepts.
struct PolicyParameters
{
    PolicyId id = PolicyId::None;
    std::string_view uri;
    AsymmetricSignature asymmetricSignature = AsymmetricSignature::None;
    AsymmetricEncryption asymmetricEncryption = AsymmetricEncryption::None;
    std::string_view asymmetricSignatureUri; ///< SignatureData.algorithm
    std::string_view asymmetricEncryptionUri; ///< a user token's encryptionAlgorithm
    std::size_t signingKeyLength = 0; ///< derived HMAC-SHA256 key, bytes
    std::size_t encryptingKeyLength = 0; ///< derived AES key, bytes: 16 for AES-128, 32 for AES-256
    std::size_t blockSize = 0; ///< AES block and initialisation vector, bytes
    std::size_t symmetricSignatureSize = 0; ///< HMAC-SHA256 output, bytes
    std::size_t nonceLength = 0; ///< the OpenSecureChannel nonces, bytes
    std::size_t minKeyBits = 0; ///< RSA keys of certificates accepted
    std::size_t maxKeyBits = 0;
};

/// The parameters of `id`.
const PolicyParameters& Parameters(PolicyId id);
/// The policy whose URI is `uri`, or none for a policy we do not serve (the deprecated Basic128Rsa15 and
/// Basic256 among them).
std::optional<PolicyId> PolicyFromUri(std::string_view uri);
inline std::string_view PolicyUri(PolicyId id)
{
    return Parameters(id).uri;
}

} // namespace tavrel::opcua::crypto
