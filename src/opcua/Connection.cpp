#include "opcua/Connection.h"

#include <limits>

namespace tavrel::opcua {

namespace {

// The smallest chunk of each kind: a Hello holds 5 numbers and a string length, an OPN at least the channel id
// and three lengths, a MSG or CLO the channel id, token id and sequence header.
constexpr std::size_t kMinChunkSize = kFrameHeaderSize + 8;

} // namespace

Connection::Connection(std::string peer, std::uint32_t channelId, const Settings& settings, std::int64_t nowMs)
    : m_peer(std::move(peer))
    , m_settings(settings)
    , m_stateSinceMs(nowMs)
    , m_channel(channelId, settings.lifetimes, settings.security)
    , m_assembler(settings.transport.maxMessageSize, settings.transport.maxChunkCount)
{
    m_sizes.receiveBufferSize = static_cast<std::uint32_t>(settings.transport.receiveBufferSize);
}

void Connection::Receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs, std::vector<ServiceRequest>& requests)
{
    if (m_state == State::Closing) {
        return; // the client sends after a fault: nothing more is read
    }
    m_input.insert(m_input.end(), bytes.begin(), bytes.end());
    std::size_t consumed = 0;
    while (m_state != State::Closing && m_input.size() - consumed >= kFrameHeaderSize) {
        const auto header = ReadFrameHeader(
            std::span<const std::uint8_t, kFrameHeaderSize>(m_input.data() + consumed, kFrameHeaderSize));
        if (!header) {
            Fail({ status::kBadTcpMessageTypeInvalid, header.error() });
            break;
        }
        if (header->size < kMinChunkSize) {
            Fail({ status::kBadTcpMessageTypeInvalid, "chunk of " + std::to_string(header->size) + " bytes" });
            break;
        }
        if (header->size > m_sizes.receiveBufferSize) {
            Fail({ status::kBadTcpMessageTooLarge,
                   "chunk of " + std::to_string(header->size) + " bytes, more than the buffer of "
                       + std::to_string(m_sizes.receiveBufferSize) });
            break;
        }
        if (m_input.size() - consumed < header->size) {
            break; // the rest of the chunk is still on its way
        }
        const std::span<std::uint8_t> chunk(m_input.data() + consumed, header->size);
        consumed += header->size;
        HandleChunk(*header, chunk, nowMs, requests);
    }
    if (m_state == State::Closing) {
        m_input.clear();
    } else {
        m_input.erase(m_input.begin(), m_input.begin() + static_cast<std::ptrdiff_t>(consumed));
    }
}

void Connection::HandleChunk(const FrameHeader& header, std::span<std::uint8_t> chunk, std::int64_t nowMs,
                             std::vector<ServiceRequest>& requests)
{
    if (header.type == MessageType::Error) {
        m_state = State::Closing; // the client gives up; it expects no answer
        return;
    }
    switch (m_state) {
    case State::AwaitHello:
        if (header.type != MessageType::Hello || header.chunk != ChunkType::Final) {
            Fail({ status::kBadTcpMessageTypeInvalid, "expected Hello first" });
            return;
        }
        HandleHello(chunk.subspan(kFrameHeaderSize));
        if (m_state != State::Closing) {
            m_state = State::AwaitOpen;
            m_stateSinceMs = nowMs;
        }
        return;
    case State::AwaitOpen:
    case State::Open:
        if (header.type == MessageType::Open) {
            if (auto fault = m_channel.Open(chunk, nowMs, m_output)) {
                Fail(*fault);
                return;
            }
            m_state = State::Open;
            m_stateSinceMs = nowMs;
            return;
        }
        if (m_state == State::AwaitOpen || (header.type != MessageType::Message && header.type != MessageType::Close)) {
            Fail({ status::kBadTcpMessageTypeInvalid,
                   m_state == State::AwaitOpen ? "expected OpenSecureChannel after Hello"
                                               : "unexpected message type on an open channel" });
            return;
        }
        HandleMessage(header, chunk, nowMs, requests);
        return;
    case State::Closing:
        return;
    }
}

void Connection::HandleHello(std::span<std::uint8_t> body)
{
    DecodeLimits limits;
    limits.maxStringLength = kMaxEndpointUrlLength;
    Decoder decoder(body, limits);
    HelloMessage hello;
    Decode(decoder, hello);
    if (!decoder.Ok()) {
        Fail({ status::kBadTcpMessageTypeInvalid, "malformed Hello: " + decoder.Reason() });
        return;
    }
    AcknowledgeMessage ack;
    const auto sizes = Negotiate(hello, m_settings.transport, ack);
    if (!sizes) {
        Fail(sizes.error());
        return;
    }
    m_sizes = *sizes;
    Encoder e(m_output);
    WriteFrame(e, MessageType::Acknowledge, ack);
}

void Connection::HandleMessage(const FrameHeader& header, std::span<std::uint8_t> chunk, std::int64_t nowMs,
                               std::vector<ServiceRequest>& requests)
{
    const auto received = m_channel.Receive(chunk, nowMs);
    if (!received) {
        Fail(received.error());
        return;
    }
    if (header.type == MessageType::Close) {
        m_state = State::Closing; // CloseSecureChannel has no answer
        return;
    }
    if (!m_assembler.Empty() && received->requestId != m_assemblingRequestId) {
        Fail({ status::kBadTcpMessageTypeInvalid,
               "chunks of requests " + std::to_string(m_assemblingRequestId) + " and "
                   + std::to_string(received->requestId) + " interleaved" });
        return;
    }
    if (header.chunk == ChunkType::Abort) {
        m_assembler.Clear(); // the client gave up on this request; it expects no answer
        return;
    }
    m_assemblingRequestId = received->requestId;
    if (auto fault = m_assembler.Add(received->body)) {
        Fail(*fault);
        return;
    }
    if (header.chunk == ChunkType::Final) {
        requests.push_back({ received->requestId, m_assembler.Take() });
    }
}

bool Connection::Fits(std::size_t size) const
{
    if (m_sizes.peerMaxMessageSize != 0 && size > m_sizes.peerMaxMessageSize) {
        return false;
    }
    const std::size_t perChunk = m_channel.BodyPerChunk(m_sizes);
    const std::size_t chunks = (size + perChunk - 1) / perChunk;
    return m_sizes.peerMaxChunkCount == 0 || chunks <= m_sizes.peerMaxChunkCount;
}

void Connection::Send(std::uint32_t requestId, std::span<const std::uint8_t> body)
{
    if (!m_channel.IsOpen() || m_failed) {
        return; // after CloseSecureChannel the answers to the requests before it still go out
    }
    m_channel.Send(requestId, body, m_sizes, m_output);
}

void Connection::Fail(const ErrorMessage& error)
{
    if (m_state == State::Closing) {
        return;
    }
    ErrorMessage message = error;
    if (message.reason.size() > kMaxErrorReasonLength) {
        message.reason.resize(kMaxErrorReasonLength);
    }
    Encoder e(m_output);
    WriteFrame(e, MessageType::Error, message);
    m_state = State::Closing;
    m_failed = true;
}

std::int64_t Connection::DeadlineMs() const
{
    switch (m_state) {
    case State::AwaitHello:
        return m_stateSinceMs + m_settings.helloTimeoutMs;
    case State::AwaitOpen:
        return m_stateSinceMs + m_settings.openTimeoutMs;
    case State::Open:
        return m_channel.TokenExpiresMs();
    case State::Closing:
        break;
    }
    return std::numeric_limits<std::int64_t>::max();
}

void Connection::Tick(std::int64_t nowMs)
{
    if (nowMs < DeadlineMs()) {
        return;
    }
    switch (m_state) {
    case State::AwaitHello:
        Fail({ status::kBadTimeout, "no Hello within " + std::to_string(m_settings.helloTimeoutMs) + " ms" });
        break;
    case State::AwaitOpen:
        Fail({ status::kBadTimeout,
               "no OpenSecureChannel within " + std::to_string(m_settings.openTimeoutMs) + " ms of Hello" });
        break;
    case State::Open:
        Fail({ status::kBadSecureChannelTokenUnknown, "security token expired without renewal" });
        break;
    case State::Closing:
        break;
    }
}

std::vector<std::uint8_t> Connection::TakeOutput()
{
    return std::exchange(m_output, {});
}

} // namespace tavrel::opcua
