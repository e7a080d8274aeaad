#include "opcua/SecureChannel.h"

#include "opcua/crypto/CryptoSecurityPolicy.h"

#include <algorithm>

namespace tavrel::opcua {

namespace {

constexpr std::size_t kSymmetricHeaderSize = kFrameHeaderSize + 4 + 4; // frame, channel id, token id
constexpr std::size_t kSequenceHeaderSize = 8; // sequence number, request id
// A sequence number may wrap to below 1024 once it has passed 2^32 - 1024 (UA Secure Conversation).
constexpr std::uint32_t kSequenceWrapFrom = 4294966271U;
constexpr std::uint32_t kSequenceWrapTo = 1024;

ErrorMessage Refuse(std::uint32_t code, std::string reason)
{
    return ErrorMessage { code, std::move(reason) };
}

} // namespace

std::unique_ptr<SecurityPolicy> MakeSecurityPolicy(std::string_view uri, const ChannelSecurity& security)
{
    const auto id = crypto::PolicyFromUri(uri);
    if (id == crypto::PolicyId::None) {
        return std::make_unique<SecurityPolicyNone>();
    }
    if (!id || !security.certificate || !security.key) {
        return nullptr;
    }
    return std::make_unique<crypto::CryptoSecurityPolicy>(*id, security.certificate, security.key);
}

const crypto::Bytes& SecureChannel::ClientCertificate() const
{
    static const crypto::Bytes kNone;
    const crypto::Certificate* certificate = m_policy ? m_policy->RemoteCertificate() : nullptr;
    return certificate != nullptr ? certificate->Der() : kNone;
}

std::uint32_t SecureChannel::SendingTokenId() const
{
    // After a renewal the old token secures what we send until the client has used the new one.
    return m_previousTokenId != 0 ? m_previousTokenId : m_tokenId;
}

std::int64_t SecureChannel::TokenExpiresMs() const
{
    return IsOpen() ? m_tokenCreatedMs + m_tokenLifetimeMs + m_tokenLifetimeMs / 4 : 0;
}

std::optional<ErrorMessage> SecureChannel::CheckSequence(std::uint32_t sequenceNumber)
{
    if (m_lastReceivedSequence) {
        const std::uint32_t last = *m_lastReceivedSequence;
        const bool next = sequenceNumber == last + 1 && last != 0xFFFFFFFFU;
        const bool wrapped = last > kSequenceWrapFrom && sequenceNumber < kSequenceWrapTo;
        if (!next && !wrapped) {
            return Refuse(status::kBadSequenceNumberInvalid,
                          "sequence number " + std::to_string(sequenceNumber) + " after " + std::to_string(last));
        }
    }
    m_lastReceivedSequence = sequenceNumber;
    return std::nullopt;
}

std::uint32_t SecureChannel::NextSequenceNumber()
{
    m_sendSequence = m_sendSequence >= kSequenceWrapFrom ? 1 : m_sendSequence + 1;
    return m_sendSequence;
}

std::optional<ErrorMessage> SecureChannel::Open(std::span<std::uint8_t> chunk, std::int64_t nowMs,
                                                std::vector<std::uint8_t>& out)
{
    if (static_cast<ChunkType>(chunk[3]) != ChunkType::Final) {
        return Refuse(status::kBadTcpMessageTypeInvalid, "OpenSecureChannel split into chunks");
    }
    Decoder header(chunk.subspan(kFrameHeaderSize));
    const std::uint32_t channelId = header.UInt32();
    std::string policyUri;
    ByteString senderCertificate;
    ByteString receiverThumbprint;
    Decode(header, policyUri);
    Decode(header, senderCertificate);
    Decode(header, receiverThumbprint);
    if (!header.Ok()) {
        return Refuse(status::kBadDecodingError, "OpenSecureChannel header: " + header.Reason());
    }
    const bool renew = IsOpen();
    if (renew && (channelId != m_channelId || policyUri != m_policy->Uri())) {
        return Refuse(status::kBadTcpSecureChannelUnknown,
                      "renewal of channel " + std::to_string(channelId) + " on channel " + std::to_string(m_channelId));
    }
    std::unique_ptr<SecurityPolicy> policy = renew ? nullptr : MakeSecurityPolicy(policyUri, *m_security);
    if (!renew && !policy) {
        return Refuse(status::kBadSecurityPolicyRejected, "security policy \"" + policyUri + "\" not offered");
    }
    SecurityPolicy& active = renew ? *m_policy : *policy;
    const std::size_t sequenceStart = kFrameHeaderSize + header.Position();
    const auto bodyEnd = active.Unprotect(chunk, sequenceStart, true);
    if (!bodyEnd) {
        return bodyEnd.error();
    }
    if (!renew && active.RemoteCertificate() != nullptr) {
        if (!m_security->validator) {
            return Refuse(status::kBadCertificateUntrusted, "no client certificate is trusted");
        }
        if (auto fault = m_security->validator(*active.RemoteCertificate(), nowMs)) {
            return fault;
        }
    }
    Decoder sequence(chunk.subspan(sequenceStart, *bodyEnd - sequenceStart));
    const std::uint32_t sequenceNumber = sequence.UInt32();
    const std::uint32_t requestId = sequence.UInt32();
    if (!sequence.Ok()) {
        return Refuse(status::kBadDecodingError, "OpenSecureChannel ends in its sequence header");
    }
    if (auto fault = CheckSequence(sequenceNumber)) {
        return fault;
    }
    const auto request
        = DecodeMessage<OpenSecureChannelRequest>(chunk.subspan(sequenceStart + 8, *bodyEnd - sequenceStart - 8));
    if (!request) {
        return Refuse(request.error().status, "OpenSecureChannel: " + request.error().reason);
    }
    const bool wantsRenew = request->requestType == SecurityTokenRequestType::Renew;
    if (wantsRenew != renew) {
        return Refuse(status::kBadTcpSecureChannelUnknown,
                      renew ? "a second Issue on an open channel" : "Renew of a channel that is not open");
    }
    if (!active.Supports(request->securityMode)) {
        return Refuse(status::kBadSecurityModeRejected,
                      "security mode " + std::to_string(static_cast<int>(request->securityMode)) + " with "
                          + std::string(active.Uri()));
    }
    if (renew && request->securityMode != m_mode) {
        return Refuse(status::kBadSecurityModeRejected, "a renewal that changes the security mode");
    }
    const auto serverNonce = active.StartToken(m_tokenId + 1, request->securityMode, request->clientNonce);
    if (!serverNonce) {
        return serverNonce.error();
    }
    if (!renew) {
        m_policy = std::move(policy);
        m_mode = request->securityMode;
    }
    m_previousTokenId = m_tokenId;
    ++m_tokenId;
    m_tokenCreatedMs = nowMs;
    m_tokenLifetimeMs
        = std::clamp(request->requestedLifetime, m_lifetimes.minTokenLifetimeMs, m_lifetimes.maxTokenLifetimeMs);

    OpenSecureChannelResponse response;
    response.responseHeader.timestamp = DateTime::FromUnixMs(nowMs);
    response.responseHeader.requestHandle = request->requestHeader.requestHandle;
    response.serverProtocolVersion = kProtocolVersion;
    response.securityToken = { m_channelId, m_tokenId, DateTime::FromUnixMs(nowMs), m_tokenLifetimeMs };
    response.serverNonce = *serverNonce;

    Encoder e(out);
    const std::size_t start = out.size();
    WriteFrameHeader(e, MessageType::Open, ChunkType::Final);
    e.UInt32(m_channelId);
    Encode(e, std::string(m_policy->Uri()));
    Encode(e, m_policy->LocalCertificate());
    Encode(e, m_policy->RemoteThumbprint());
    e.UInt32(NextSequenceNumber());
    e.UInt32(requestId);
    EncodeMessage(e, response);
    m_policy->Protect(out, start, true);
    return std::nullopt;
}

tl::expected<ReceivedChunk, ErrorMessage> SecureChannel::Receive(std::span<std::uint8_t> chunk, std::int64_t nowMs)
{
    if (!IsOpen()) {
        return tl::unexpected(Refuse(status::kBadTcpSecureChannelUnknown, "message before OpenSecureChannel"));
    }
    if (chunk.size() < kSymmetricHeaderSize + kSequenceHeaderSize) {
        return tl::unexpected(
            Refuse(status::kBadTcpMessageTypeInvalid, "chunk of " + std::to_string(chunk.size()) + " bytes"));
    }
    Decoder header(chunk.subspan(kFrameHeaderSize, 8));
    const std::uint32_t channelId = header.UInt32();
    const std::uint32_t tokenId = header.UInt32();
    if (channelId != m_channelId) {
        return tl::unexpected(
            Refuse(status::kBadTcpSecureChannelUnknown,
                   "channel " + std::to_string(channelId) + " on channel " + std::to_string(m_channelId)));
    }
    if (tokenId == m_tokenId) {
        m_previousTokenId = 0; // the client has moved to the renewed token
    } else if (tokenId == 0 || tokenId != m_previousTokenId) {
        return tl::unexpected(Refuse(status::kBadSecureChannelTokenUnknown, "token " + std::to_string(tokenId)));
    }
    if (nowMs > TokenExpiresMs()) {
        return tl::unexpected(Refuse(status::kBadSecureChannelTokenUnknown, "token expired without renewal"));
    }
    const auto bodyEnd = m_policy->Unprotect(chunk, kSymmetricHeaderSize, false);
    if (!bodyEnd) {
        return tl::unexpected(bodyEnd.error());
    }
    Decoder sequence(chunk.subspan(kSymmetricHeaderSize, kSequenceHeaderSize));
    const std::uint32_t sequenceNumber = sequence.UInt32();
    ReceivedChunk received;
    received.requestId = sequence.UInt32();
    if (auto fault = CheckSequence(sequenceNumber)) {
        return tl::unexpected(*fault);
    }
    const std::size_t bodyStart = kSymmetricHeaderSize + kSequenceHeaderSize;
    received.body = chunk.subspan(bodyStart, *bodyEnd - bodyStart);
    return received;
}

std::size_t SecureChannel::BodyPerChunk(const BufferSizes& sizes) const
{
    const std::size_t headers = kSymmetricHeaderSize + kSequenceHeaderSize;
    const std::size_t space = sizes.sendBufferSize > headers ? sizes.sendBufferSize - headers : 0;
    return std::max<std::size_t>(m_policy ? m_policy->MaxBodySize(space) : space, 1);
}

void SecureChannel::Send(std::uint32_t requestId, std::span<const std::uint8_t> body, const BufferSizes& sizes,
                         std::vector<std::uint8_t>& out)
{
    const std::size_t perChunk = BodyPerChunk(sizes);
    Encoder e(out);
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(perChunk, body.size() - offset);
        const bool last = offset + length == body.size();
        const std::size_t start = out.size();
        WriteFrameHeader(e, MessageType::Message, last ? ChunkType::Final : ChunkType::Intermediate);
        e.UInt32(m_channelId);
        e.UInt32(SendingTokenId());
        e.UInt32(NextSequenceNumber());
        e.UInt32(requestId);
        e.Bytes(body.data() + offset, length);
        m_policy->Protect(out, start, false);
        offset += length;
    } while (offset < body.size());
}

} // namespace tavrel::opcua
