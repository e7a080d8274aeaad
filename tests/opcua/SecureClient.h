#pragma once

#include "opcua/Chunking.h"
#include "opcua/Messages.h"
#include "opcua/crypto/CryptoSecurityPolicy.h"
#include "opcua/crypto/Primitives.h"

#include <optional>
#include <span>
#include <vector>

namespace tavrel::opcua::test {

/// A client's side of a signed or encrypted channel for tests, built from the primitives as the client's
/// stack would: OpenSecureChannel signed with its key and encrypted to the server's certificate, then chunks
/// signed (and encrypted) with the keys both derive from the nonces.
class SecureClient
{
public:
    using Bytes = crypto::Bytes;

    SecureClient(crypto::PolicyId policyId, MessageSecurityMode securityMode, crypto::PrivateKey clientKey,
                 crypto::Certificate clientCertificate, crypto::Certificate serverCertificate)
        : policy(policyId)
        , mode(securityMode)
        , key(std::move(clientKey))
        , certificate(std::move(clientCertificate))
        , server(std::move(serverCertificate))
    {
    }

    crypto::PolicyId policy;
    MessageSecurityMode mode;
    crypto::PrivateKey key;
    crypto::Certificate certificate;
    crypto::Certificate server;
    std::uint32_t channelId = 0;
    std::uint32_t tokenId = 0;
    std::uint32_t sequenceNumber = 0;
    std::uint32_t requestId = 0;
    Bytes clientNonce = crypto::RandomBytes(32);
    Bytes thumbprint = Bytes(server.Sha1Thumbprint().begin(), server.Sha1Thumbprint().end()); ///< of the receiver
    crypto::SymmetricKeys sending; ///< the client's keys
    crypto::SymmetricKeys receiving; ///< the server's keys

    Bytes Open(SecurityTokenRequestType type = SecurityTokenRequestType::Issue)
    {
        OpenSecureChannelRequest request;
        request.requestType = type;
        request.securityMode = mode;
        request.clientNonce.bytes.assign(clientNonce.begin(), clientNonce.end());
        request.requestedLifetime = 600000;
        Bytes bytes;
        Encoder e(bytes);
        WriteFrameHeader(e, MessageType::Open, ChunkType::Final);
        e.UInt32(channelId);
        Encode(e, std::string(crypto::PolicyUri(policy)));
        Encode(e, ByteString { std::string(certificate.Der().begin(), certificate.Der().end()) });
        Encode(e, ByteString { std::string(thumbprint.begin(), thumbprint.end()) });
        const std::size_t bodyStart = bytes.size();
        e.UInt32(++sequenceNumber);
        e.UInt32(++requestId);
        EncodeMessage(e, request);
        const std::size_t block = crypto::PlainBlockSize(policy, server.KeyBytes());
        crypto::AppendPadding(bytes, bytes.size() - bodyStart, key.KeyBytes(), block, server.KeyBytes() > 256);
        const std::size_t blocks = (bytes.size() - bodyStart + key.KeyBytes()) / block;
        e.PatchUInt32(4, static_cast<std::uint32_t>(bodyStart + blocks * server.KeyBytes()));
        const Bytes signature = *crypto::Sign(policy, key, bytes);
        bytes.insert(bytes.end(), signature.begin(), signature.end());
        const Bytes cipher = *crypto::Encrypt(policy, server, std::span(bytes).subspan(bodyStart));
        bytes.resize(bodyStart);
        bytes.insert(bytes.end(), cipher.begin(), cipher.end());
        return bytes;
    }

    /// Checks the server's OpenSecureChannel answer and derives the keys; false for anything wrong in it.
    bool TakeOpen(std::span<const std::uint8_t> chunk)
    {
        Decoder header(chunk.subspan(12));
        std::string uri;
        ByteString sender;
        ByteString receiver;
        Decode(header, uri);
        Decode(header, sender);
        Decode(header, receiver);
        const std::size_t bodyStart = 12 + header.Position();
        const auto plain = crypto::Decrypt(policy, key, chunk.subspan(bodyStart));
        if (!header.Ok() || !plain || sender.bytes != std::string(server.Der().begin(), server.Der().end())
            || receiver.bytes
                != std::string(certificate.Sha1Thumbprint().begin(), certificate.Sha1Thumbprint().end())) {
            return false;
        }
        Bytes whole(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(bodyStart));
        whole.insert(whole.end(), plain->begin(), plain->end() - static_cast<std::ptrdiff_t>(server.KeyBytes()));
        if (!crypto::Verify(policy, server, whole, std::span(*plain).last(server.KeyBytes()))) {
            return false;
        }
        const auto padding = crypto::PaddingStart(std::span(whole).subspan(bodyStart), key.KeyBytes() > 256);
        const auto response = DecodeMessage<OpenSecureChannelResponse>(
            std::span(whole).subspan(bodyStart + 8, padding.value_or(8) - 8));
        if (!padding || !response) {
            return false;
        }
        channelId = response->securityToken.channelId;
        tokenId = response->securityToken.tokenId;
        const auto& nonce = response->serverNonce.bytes;
        const Bytes serverNonce(nonce.begin(), nonce.end());
        sending = crypto::DeriveKeys(policy, serverNonce, clientNonce);
        receiving = crypto::DeriveKeys(policy, clientNonce, serverNonce);
        return true;
    }

    /// One MSG chunk carrying `body`; `paddingFault` spoils one padding byte before signing.
    Bytes Message(std::span<const std::uint8_t> body, bool paddingFault = false)
    {
        Bytes bytes;
        Encoder e(bytes);
        WriteFrameHeader(e, MessageType::Message, ChunkType::Final);
        e.UInt32(channelId);
        e.UInt32(tokenId);
        e.UInt32(++sequenceNumber);
        e.UInt32(++requestId);
        e.Bytes(body.data(), body.size());
        const bool encrypt = mode == MessageSecurityMode::SignAndEncrypt;
        if (encrypt) {
            crypto::AppendPadding(bytes, bytes.size() - 16, 32, 16, false);
            bytes.back() = static_cast<std::uint8_t>(bytes.back() ^ (paddingFault ? 1 : 0));
        }
        e.PatchUInt32(4, static_cast<std::uint32_t>(bytes.size() + 32));
        const auto signature = crypto::HmacSha256(sending.signingKey, bytes);
        bytes.insert(bytes.end(), signature.begin(), signature.end());
        if (encrypt) {
            crypto::AesCbcEncrypt(sending.encryptingKey, sending.iv, std::span(bytes).subspan(16));
        }
        return bytes;
    }

    /// The body of one MSG chunk from the server, or none when its signature or padding is wrong.
    std::optional<Bytes> Read(std::span<const std::uint8_t> chunk) const
    {
        Bytes bytes(chunk.begin(), chunk.end());
        const bool encrypt = mode == MessageSecurityMode::SignAndEncrypt;
        if (encrypt && !crypto::AesCbcDecrypt(receiving.encryptingKey, receiving.iv, std::span(bytes).subspan(16))) {
            return std::nullopt;
        }
        const std::size_t signedEnd = bytes.size() - 32;
        if (!crypto::SameBytes(crypto::HmacSha256(receiving.signingKey, std::span(bytes).first(signedEnd)),
                               std::span(bytes).subspan(signedEnd))) {
            return std::nullopt;
        }
        std::size_t end = signedEnd;
        if (encrypt) {
            const auto padding = crypto::PaddingStart(std::span(bytes).subspan(16, signedEnd - 16), false);
            if (!padding) {
                return std::nullopt;
            }
            end = 16 + *padding;
        }
        return Bytes(bytes.begin() + 24, bytes.begin() + static_cast<std::ptrdiff_t>(end));
    }
};

} // namespace tavrel::opcua::test
