#include "opcua/crypto/CryptoSecurityPolicy.h"

#include "opcua/StatusCodes.h"

#include <algorithm>

namespace tavrel::opcua::crypto {

namespace {

constexpr std::size_t kSymmetricHeaderSize = kFrameHeaderSize + 8; // frame, channel id, token id
constexpr std::size_t kSequenceHeaderSize = 8;
constexpr std::size_t kLargeKeyBytes = 256; ///< keys above 2048 bits add the padding size's high byte

tl::unexpected<ErrorMessage> Refuse(std::uint32_t code, std::string reason)
{
    return tl::unexpected(ErrorMessage { code, std::move(reason) });
}

std::uint32_t ReadUInt32(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8
        | static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void WriteFrameSize(std::vector<std::uint8_t>& out, std::size_t chunkStart, std::size_t size)
{
    Encoder(out).PatchUInt32(chunkStart + 4, static_cast<std::uint32_t>(size));
}

ByteString ToByteString(std::span<const std::uint8_t> bytes)
{
    return ByteString { std::string(bytes.begin(), bytes.end()) };
}

std::span<const std::uint8_t> AsBytes(const ByteString& value)
{
    return { reinterpret_cast<const std::uint8_t*>(value.bytes.data()), value.bytes.size() };
}

} // namespace

void AppendPadding(std::vector<std::uint8_t>& out, std::size_t encryptedSoFar, std::size_t signatureSize,
                   std::size_t blockSize, bool extraByte)
{
    const std::size_t length = encryptedSoFar + signatureSize + (extraByte ? 2 : 1);
    const std::size_t count = (blockSize - length % blockSize) % blockSize;
    const auto low = static_cast<std::uint8_t>(count & 0xFF);
    out.push_back(low);
    out.insert(out.end(), count, low);
    if (extraByte) {
        out.push_back(static_cast<std::uint8_t>(count >> 8));
    }
}

std::optional<std::size_t> PaddingStart(std::span<const std::uint8_t> plain, bool extraByte)
{
    const std::size_t trailer = extraByte ? 2 : 1;
    if (plain.size() < trailer) {
        return std::nullopt;
    }
    const std::uint8_t low = plain[plain.size() - trailer];
    const std::size_t count = (extraByte ? std::size_t { plain.back() } << 8 : 0) | low;
    if (plain.size() < count + trailer) {
        return std::nullopt;
    }
    const std::size_t start = plain.size() - count - trailer;
    const auto padding = plain.subspan(start, count + 1);
    if (!std::all_of(padding.begin(), padding.end(), [low](std::uint8_t byte) { return byte == low; })) {
        return std::nullopt;
    }
    return start;
}

CryptoSecurityPolicy::CryptoSecurityPolicy(PolicyId id, std::shared_ptr<const Certificate> certificate,
                                           std::shared_ptr<const PrivateKey> key)
    : m_id(id)
    , m_parameters(Parameters(id))
    , m_certificate(std::move(certificate))
    , m_key(std::move(key))
{
}

bool CryptoSecurityPolicy::Supports(MessageSecurityMode mode) const
{
    return mode == MessageSecurityMode::Sign || mode == MessageSecurityMode::SignAndEncrypt;
}

std::size_t CryptoSecurityPolicy::MaxBodySize(std::size_t space) const
{
    const std::size_t signature = m_parameters.symmetricSignatureSize;
    if (!Encrypting()) {
        return space > signature ? space - signature : 0;
    }
    // The sequence header, body, padding (at least its size byte) and signature fill whole blocks.
    const std::size_t blocks = (space + kSequenceHeaderSize) / m_parameters.blockSize * m_parameters.blockSize;
    const std::size_t overhead = kSequenceHeaderSize + signature + 1;
    return blocks > overhead ? blocks - overhead : 0;
}

tl::expected<ByteString, ErrorMessage> CryptoSecurityPolicy::StartToken(std::uint32_t tokenId, MessageSecurityMode mode,
                                                                        const ByteString& clientNonce)
{
    if (clientNonce.bytes.size() != m_parameters.nonceLength) {
        return Refuse(status::kBadNonceInvalid,
                      "a client nonce of " + std::to_string(clientNonce.bytes.size()) + " bytes where "
                          + std::string(m_parameters.uri) + " takes " + std::to_string(m_parameters.nonceLength));
    }
    m_mode = mode;
    const Bytes serverNonce = RandomBytes(m_parameters.nonceLength);
    const auto client = AsBytes(clientNonce);
    m_tokens[1] = std::move(m_tokens[0]);
    m_tokens[0] = { tokenId, DeriveKeys(m_id, serverNonce, client), DeriveKeys(m_id, client, serverNonce) };
    return ToByteString(serverNonce);
}

const CryptoSecurityPolicy::TokenKeys* CryptoSecurityPolicy::Keys(std::uint32_t tokenId) const
{
    for (const TokenKeys& keys : m_tokens) {
        if (keys.tokenId == tokenId && tokenId != 0) {
            return &keys;
        }
    }
    return nullptr;
}

ByteString CryptoSecurityPolicy::LocalCertificate() const
{
    return ToByteString(m_certificate->Der());
}

ByteString CryptoSecurityPolicy::RemoteThumbprint() const
{
    return m_remote ? ToByteString(m_remote->Sha1Thumbprint()) : ByteString {};
}

tl::expected<std::size_t, ErrorMessage> CryptoSecurityPolicy::Unprotect(std::span<std::uint8_t> chunk,
                                                                        std::size_t bodyStart, bool asymmetric)
{
    return asymmetric ? UnprotectAsymmetric(chunk, bodyStart) : UnprotectSymmetric(chunk, bodyStart);
}

void CryptoSecurityPolicy::Protect(std::vector<std::uint8_t>& out, std::size_t chunkStart, bool asymmetric)
{
    if (asymmetric) {
        ProtectAsymmetric(out, chunkStart);
    } else {
        ProtectSymmetric(out, chunkStart);
    }
}

tl::expected<std::size_t, ErrorMessage> CryptoSecurityPolicy::UnprotectAsymmetric(std::span<std::uint8_t> chunk,
                                                                                  std::size_t bodyStart)
{
    Decoder header(chunk.subspan(kFrameHeaderSize + 4, bodyStart - kFrameHeaderSize - 4));
    std::string policyUri;
    ByteString sender;
    ByteString receiverThumbprint;
    Decode(header, policyUri);
    Decode(header, sender);
    Decode(header, receiverThumbprint);
    if (!header.Ok()) {
        return Refuse(status::kBadDecodingError, "OpenSecureChannel header: " + header.Reason());
    }
    auto certificate = Certificate::FromDer(AsBytes(sender));
    if (!certificate) {
        return Refuse(status::kBadCertificateInvalid, "the client's certificate: " + certificate.error());
    }
    if (m_remote && m_remote->Sha1Thumbprint() != certificate->Sha1Thumbprint()) {
        return Refuse(status::kBadSecurityChecksFailed, "a renewal signed with another certificate");
    }
    const std::size_t keyBits = certificate->KeyBytes() * 8;
    if (keyBits < m_parameters.minKeyBits || keyBits > m_parameters.maxKeyBits) {
        return Refuse(status::kBadCertificatePolicyCheckFailed,
                      "a client key of " + std::to_string(keyBits) + " bits with " + std::string(m_parameters.uri));
    }
    if (!SameBytes(AsBytes(receiverThumbprint), m_certificate->Sha1Thumbprint())) {
        return Refuse(status::kBadSecurityChecksFailed, "the client encrypted to a certificate that is not ours");
    }
    const auto plain = Decrypt(m_id, *m_key, chunk.subspan(bodyStart));
    const std::size_t signatureSize = certificate->KeyBytes();
    if (!plain || plain->size() < kSequenceHeaderSize + signatureSize + 1) {
        return Refuse(status::kBadSecurityChecksFailed, "OpenSecureChannel does not decrypt with our key");
    }
    std::copy(plain->begin(), plain->end(), chunk.begin() + static_cast<std::ptrdiff_t>(bodyStart));
    const std::size_t signedEnd = bodyStart + plain->size() - signatureSize;
    if (!Verify(m_id, *certificate, chunk.first(signedEnd), chunk.subspan(signedEnd, signatureSize))) {
        return Refuse(status::kBadSecurityChecksFailed, "OpenSecureChannel's signature does not match its certificate");
    }
    const auto padding
        = PaddingStart(chunk.subspan(bodyStart, signedEnd - bodyStart), m_key->KeyBytes() > kLargeKeyBytes);
    if (!padding || *padding < kSequenceHeaderSize) {
        return Refuse(status::kBadSecurityChecksFailed, "OpenSecureChannel's padding is wrong");
    }
    m_remote = std::move(*certificate);
    return bodyStart + *padding;
}

tl::expected<std::size_t, ErrorMessage> CryptoSecurityPolicy::UnprotectSymmetric(std::span<std::uint8_t> chunk,
                                                                                 std::size_t bodyStart)
{
    const std::size_t signatureSize = m_parameters.symmetricSignatureSize;
    const TokenKeys* keys = Keys(ReadUInt32(chunk, kFrameHeaderSize + 4));
    if (keys == nullptr) {
        return Refuse(status::kBadSecureChannelTokenUnknown, "a chunk under a token without keys");
    }
    if (chunk.size() < bodyStart + kSequenceHeaderSize + signatureSize) {
        return Refuse(status::kBadSecurityChecksFailed, "a chunk too short for its signature");
    }
    const auto encrypted = chunk.subspan(bodyStart);
    if (Encrypting() && !AesCbcDecrypt(keys->client.encryptingKey, keys->client.iv, encrypted)) {
        return Refuse(status::kBadSecurityChecksFailed, "a chunk that is not whole cipher blocks");
    }
    const std::size_t signedEnd = chunk.size() - signatureSize;
    const Sha256Digest signature = HmacSha256(keys->client.signingKey, chunk.first(signedEnd));
    if (!SameBytes(signature, chunk.subspan(signedEnd))) {
        return Refuse(status::kBadSecurityChecksFailed, "a chunk whose signature does not match");
    }
    if (!Encrypting()) {
        return signedEnd;
    }
    const auto padding = PaddingStart(chunk.subspan(bodyStart, signedEnd - bodyStart), false);
    if (!padding || *padding < kSequenceHeaderSize) {
        return Refuse(status::kBadSecurityChecksFailed, "a chunk whose padding is wrong");
    }
    return bodyStart + *padding;
}

void CryptoSecurityPolicy::ProtectAsymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart)
{
    Decoder header(std::span<const std::uint8_t>(out).subspan(chunkStart + kFrameHeaderSize + 4));
    std::string policyUri;
    ByteString skipped;
    Decode(header, policyUri);
    Decode(header, skipped);
    Decode(header, skipped);
    const std::size_t bodyStart = chunkStart + kFrameHeaderSize + 4 + header.Position();
    const std::size_t remoteKeyBytes = m_remote->KeyBytes();
    const std::size_t plainBlock = PlainBlockSize(m_id, remoteKeyBytes);
    const std::size_t signatureSize = m_key->KeyBytes();
    AppendPadding(out, out.size() - bodyStart, signatureSize, plainBlock, remoteKeyBytes > kLargeKeyBytes);
    const std::size_t blocks = (out.size() - bodyStart + signatureSize) / plainBlock;
    WriteFrameSize(out, chunkStart, bodyStart - chunkStart + blocks * remoteKeyBytes);
    const auto signature = Sign(m_id, *m_key, std::span(out).subspan(chunkStart));
    if (!signature) {
        out.resize(chunkStart); // never send unprotected what was to be protected
        return;
    }
    out.insert(out.end(), signature->begin(), signature->end());
    const auto cipher = Encrypt(m_id, *m_remote, std::span(out).subspan(bodyStart));
    out.resize(cipher ? bodyStart : chunkStart);
    if (cipher) {
        out.insert(out.end(), cipher->begin(), cipher->end());
    }
}

void CryptoSecurityPolicy::ProtectSymmetric(std::vector<std::uint8_t>& out, std::size_t chunkStart)
{
    const TokenKeys* keys = Keys(ReadUInt32(out, chunkStart + kFrameHeaderSize + 4));
    if (keys == nullptr) {
        out.resize(chunkStart);
        return;
    }
    const std::size_t bodyStart = chunkStart + kSymmetricHeaderSize;
    const std::size_t signatureSize = m_parameters.symmetricSignatureSize;
    if (Encrypting()) {
        AppendPadding(out, out.size() - bodyStart, signatureSize, m_parameters.blockSize, false);
    }
    WriteFrameSize(out, chunkStart, out.size() - chunkStart + signatureSize);
    const Sha256Digest signature = HmacSha256(keys->server.signingKey, std::span(out).subspan(chunkStart));
    out.insert(out.end(), signature.begin(), signature.end());
    if (Encrypting()
        && !AesCbcEncrypt(keys->server.encryptingKey, keys->server.iv, std::span(out).subspan(bodyStart))) {
        out.resize(chunkStart);
    }
}

} // namespace tavrel::opcua::crypto
