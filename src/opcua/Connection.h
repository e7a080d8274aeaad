#pragma once

#include "opcua/Chunking.h"
#include "opcua/SecureChannel.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tavrel::opcua {

/// A whole service request as the secure channel delivered it: the body holds the request's NodeId and fields.
struct ServiceRequest
{
    std::uint32_t requestId = 0;
    std::vector<std::uint8_t> body;
};

/// One client connection's state machine: Hello, then OpenSecureChannel, then messages; bytes in any split in,
/// whole requests out; answers chunked into the output. Any fault sends Error and marks the connection to close.
class Connection
{
public:
    enum class State { AwaitHello, AwaitOpen, Open, Closing };

    struct Settings
    {
        TransportLimits transport;
        SecureChannel::Lifetimes lifetimes;
        std::int64_t helloTimeoutMs = 10000;
        std::int64_t openTimeoutMs = 10000;
        std::shared_ptr<const ChannelSecurity> security; ///< none: SecurityPolicy None only
    };

    Connection(std::string peer, std::uint32_t channelId, const Settings& settings, std::int64_t nowMs);

    /// Takes bytes as they arrive; each complete request is appended to `requests`.
    void Receive(std::span<const std::uint8_t> bytes, std::int64_t nowMs, std::vector<ServiceRequest>& requests);
    /// Whether a response body of `size` bytes is within what the client takes (its Hello's limits).
    bool Fits(std::size_t size) const;
    /// Chunks `body` (an encoded response) answering `requestId` into the output; nothing after an Error.
    void Send(std::uint32_t requestId, std::span<const std::uint8_t> body);
    /// Sends Error with `error` and marks the connection to close.
    void Fail(const ErrorMessage& error);
    /// Closes on a time-out due at `nowMs`: no Hello, no OpenSecureChannel, a token not renewed.
    void Tick(std::int64_t nowMs);
    /// When Tick next has something to check; INT64_MAX when nothing.
    std::int64_t DeadlineMs() const;

    std::vector<std::uint8_t> TakeOutput();
    bool HasOutput() const { return !m_output.empty(); }
    bool ShouldClose() const { return m_state == State::Closing; }
    State CurrentState() const { return m_state; }
    std::uint32_t ChannelId() const { return m_channel.ChannelId(); }
    /// The secure channel: its policy, mode and the client's certificate.
    const SecureChannel& Channel() const { return m_channel; }
    const std::string& Peer() const { return m_peer; }

private:
    void HandleChunk(const FrameHeader& header, std::span<std::uint8_t> chunk, std::int64_t nowMs,
                     std::vector<ServiceRequest>& requests);
    void HandleHello(std::span<std::uint8_t> body);
    void HandleMessage(const FrameHeader& header, std::span<std::uint8_t> chunk, std::int64_t nowMs,
                       std::vector<ServiceRequest>& requests);

    std::string m_peer;
    Settings m_settings;
    State m_state = State::AwaitHello;
    bool m_failed = false; ///< an Error went out: nothing follows it
    std::int64_t m_stateSinceMs;
    BufferSizes m_sizes;
    SecureChannel m_channel;
    ChunkAssembler m_assembler;
    std::uint32_t m_assemblingRequestId = 0;
    std::vector<std::uint8_t> m_input;
    std::vector<std::uint8_t> m_output;
};

} // namespace tavrel::opcua
