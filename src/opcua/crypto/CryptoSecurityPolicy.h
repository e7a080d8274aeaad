#pragma once

#include "opcua/SecureChannel.h"
#include "opcua/crypto/Primitives.h"

#include <array>
#include <memory>
#include <optional>

namespace tavrel::opcua::crypto {

/// The signing and encrypting security policies (Basic256Sha256, Aes128_Sha256_RsaOaep, Aes256_Sha256_RsaPss),
/// on the server's side of a channel.
///
/// OpenSecureChannel chunks are signed with the sender's RSA key and encrypted to the receiver's in both Sign and
/// SignAndEncrypt: the client's certificate travels in the header with the thumbprint of ours. Every other chunk
/// carries an HMAC-SHA256 of everything before it, made with keys derived from the two nonces, and in
/// SignAndEncrypt is AES-CBC encrypted from its sequence header on. Padding, where there is encryption:
/// a size byte, that many bytes of the same value, and a high size byte when the RSA key is above 2048 bits;
/// the whole from the sequence header to the signature fills whole blocks.
class CryptoSecurityPolicy final : public SecurityPolicy
{
public:
    CryptoSecurityPolicy(PolicyId id, std::shared_ptr<const Certificate> certificate,
                         std::shared_ptr<const PrivateKey> key);

    PolicyId Id() const override { return m_id; }
    bool Supports(MessageSecurityMode mode) const override;
    std::size_t MaxBodySize(std::size_t space) const override;
    tl::expected<std::size_t, ErrorMessage> Unprotect(std::span<std::uint8_t> chunk, std::size_t bodyStart,
                                                      bool asymmetric) override;
    void Protect(std::vector<std::uint8_t>& out, std::size_t chunkStart, bool asymmetric) override;
    tl::expected<ByteString, ErrorMessage> StartToken(std::uint32_t tokenId, MessageSecurityMode mode,
                                                      const ByteString& clientNonce) override;
    ByteString LocalCertificate() const override;
    ByteString RemoteThumbprint() const override;
    const Certificate* RemoteCertificate() const override { return m_remote ? &*m_remote : nullptr; }

private:
    struct TokenKeys
    {
        std::uint32_t tokenId = 0;
        SymmetricKeys client; ///< what the client signs and encrypts with: we check and decrypt
        SymmetricKeys server; ///< what we sign and encrypt with
    };

    tl::expected<std::size_t, ErrorMessage> UnprotectAsymmetric(std::span<std::uint8_t> chunk, std::size_t bodyStart);
    tl::expected<std::size_t, ErrorMessage> UnprotectSymmetric(std::span<std::uint8_t> chunk, std::size_t bodyStart);
    void ProtectAsymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart);
    void ProtectSymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart);
    const TokenKeys* Keys(std::uint32_t tokenId) const;
    bool Encrypting() const { return m_mode == MessageSecurityMode::SignAndEncrypt; }

    PolicyId m_id;
    const PolicyParameters& m_parameters;
    std::shared_ptr<const Certificate> m_certificate;
    std::shared_ptr<const PrivateKey> m_key;
    std::optional<Certificate> m_remote;
    MessageSecurityMode m_mode = MessageSecurityMode::Invalid;
    std::array<TokenKeys, 2> m_tokens; ///< the newest and the one before it
};

/// Appends padding for encryption in blocks of `blockSize` to `out`, whose encrypted part so far is
/// `encryptedSoFar` bytes and will be followed by a `signatureSize` signature: a size byte, that many bytes of its
/// value and, when `extraByte`, the size's high byte.
void AppendPadding(std::vector<std::uint8_t>& out, std::size_t encryptedSoFar, std::size_t signatureSize,
                   std::size_t blockSize, bool extraByte);
/// Where the padding written by AppendPadding starts in `plain` (which ends where the signature starts), or none
/// when the padding's bytes do not agree with its size.
std::optional<std::size_t> PaddingStart(std::span<const std::uint8_t> plain, bool extraByte);

} // namespace tavrel::opcua::crypto
