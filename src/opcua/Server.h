#pragma once

#include "opcua/Backend.h"
#include "opcua/Identity.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel::opcua {

/// One client connection, as the socket side names it to the server.
using ConnectionId = std::uint64_t;

struct ChannelSecurity;

/// What the server grants at most; each default with the reason it has that value.
struct ServerLimits
{
    std::size_t maxSessions = 100; ///< DESIGN 14; the Micro profile asks for at least 2
    std::size_t maxSubscriptionsPerSession = 10; ///< DESIGN 14; the Micro profile asks for at least 2 in all
    std::size_t maxMonitoredItems = 100000; ///< DESIGN 14, across all sessions: 10,000 items by ten clients
    std::size_t maxMessageSize = 16 * 1024 * 1024; ///< DESIGN 14: one message, all of its chunks
    std::size_t maxChunkCount = 64; ///< DESIGN 14; 64 chunks of 64 KiB hold a Read of 10,000 values
    std::size_t receiveBufferSize = 65535; ///< one chunk, our side; UA-TCP asks for at least 8192
    std::size_t maxNotificationsPerSession = 100000; ///< queued, oldest dropped with the overflow bit: all items once
    std::size_t maxPublishRequestsPerSession
        = 10; ///< queued Publish requests; more are answered Bad_TooManyPublishRequests
    std::size_t maxRetransmissionQueue = 10; ///< notification messages kept per subscription for Republish
    std::size_t maxQueueSize = 100; ///< per monitored item, a client's larger queueSize is revised down to it
    std::size_t maxBrowseContinuationPoints = 10; ///< per session; a client gets Bad_NoContinuationPoints past it
    std::size_t maxReferencesPerNode = 1000; ///< in one Browse answer, unless the client asks for fewer
    std::size_t maxNodesPerRead = 10000; ///< OperationLimits: one Read reads all items at once
    std::size_t maxNodesPerWrite = 10000; ///< OperationLimits
    std::size_t maxNodesPerBrowse = 10000; ///< OperationLimits: browse every item's node in one call
    std::size_t maxNodesPerMethodCall = 100; ///< OperationLimits: methods act on PLCs, a handful at a time
    std::size_t maxNodesPerRegisterNodes = 10000; ///< OperationLimits
    std::size_t maxNodesPerTranslateBrowsePaths = 10000; ///< OperationLimits
    std::size_t maxMonitoredItemsPerCall = 10000; ///< OperationLimits: monitor every item in one call
    std::size_t maxStringLength = 1024 * 1024; ///< any String or ByteString in a request
    std::size_t maxArrayLength = 100000; ///< any array in a request: as many as monitored items
    double minPublishingIntervalMs = 10; ///< DESIGN 14
    double maxPublishingIntervalMs = 3600000; ///< an hour; a longer one is revised down
    double minSamplingIntervalMs = 0; ///< values come once per pass: sampling follows the pass
    double minSessionTimeoutMs = 10000; ///< shorter requests are revised up: a client needs time to reconnect
    double maxSessionTimeoutMs = 3600000; ///< an hour; a session of a vanished client lives no longer
    double activateTimeoutMs = 30000; ///< a session not activated by then is dropped, whatever its time-out
    std::int64_t helloTimeoutMs = 10000; ///< a connection that sends no Hello in this time is closed
    std::int64_t openTimeoutMs = 10000; ///< nor an OpenSecureChannel after its Hello
    std::uint32_t minTokenLifetimeMs = 10000; ///< requested token lifetimes below are revised up
    std::uint32_t maxTokenLifetimeMs = 3600000; ///< and above revised down: clients renew at 75 %
};

/// Who may open sessions: over unsecured channels or not, and without a user name.
struct SessionAccess
{
    bool offerNone = true; ///< SecurityPolicy None: on loopback, or where OpcUaAllowNone says so
    AnonymousAccess anonymous; ///< sessions without a user name
};

/// Who the server is, as FindServers, GetEndpoints and the BuildInfo node tell clients.
struct ServerConfig
{
    std::string applicationUri; ///< urn:HOSTNAME:Tavrel, also namespace 1's URI
    std::string productUri; ///< the product, e.g. urn:tavrel
    std::string applicationName = "Tavrel";
    std::string endpointUrl; ///< opc.tcp://HOST:PORT/
    std::string softwareVersion;
    std::string buildNumber;
    ServerLimits limits;
    /// Our certificate and key and the judge of clients' certificates; none: SecurityPolicy None only.
    std::shared_ptr<const ChannelSecurity> security;
    SessionAccess access;
};

class ServerCore;

/// The OPC UA server without sockets or clocks: bytes in, bytes out, time passed in as milliseconds since
/// 1970-01-01 UTC. The adapter owns the sockets and timers and calls these on one thread.
class Server
{
public:
    /// A server over `backend` (which must outlive it), started at `nowMs`.
    Server(Backend& backend, ServerConfig config, std::int64_t nowMs);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The program's side: the address space follows the project; values arrive once per pass.

    /// Replaces the PLCs and items; what was added, removed or renamed raises a model change event.
    void SetProject(std::vector<PlcNode> plcs, std::vector<ItemNode> items, std::int64_t nowMs);
    /// The run state of `Objects/Tavrel`.
    void SetRun(const RunNode& run, std::int64_t nowMs);
    /// The diagnostics of one PLC, found by its name.
    void SetPlc(const PlcNode& plc, std::int64_t nowMs);
    /// New values of items; monitored items see them as data changes.
    void SetValues(std::span<const ItemSample> samples, std::int64_t nowMs);

    // The socket's side: bytes in, bytes out; no socket here.

    /// A new connection from `peer` (an address for logs and the Backend's Client).
    ConnectionId Accept(std::string peer, std::int64_t nowMs);
    /// Bytes read from connection `id`, in any split; answers queue for TakeOutput.
    void Receive(ConnectionId id, std::span<const std::uint8_t> bytes, std::int64_t nowMs);
    /// All bytes queued for connection `id`, in the order to write them; empty for an unknown id.
    std::vector<std::uint8_t> TakeOutput(ConnectionId id);
    /// True when the connection is to be closed once TakeOutput's bytes are written.
    bool ShouldClose(ConnectionId id) const;
    /// The socket is gone: forgets the connection; its sessions live on until they time out.
    void Closed(ConnectionId id, std::int64_t nowMs);
    /// Publishing, keep-alives, lifetimes and time-outs due at `nowMs`.
    void Tick(std::int64_t nowMs);
    /// When Tick is next due, in the same milliseconds.
    std::int64_t NextTickMs() const;
    /// The connections with bytes waiting in TakeOutput (after Receive, Tick or SetValues).
    std::vector<ConnectionId> ConnectionsWithOutput() const;
    /// The sessions open now, activated or not.
    std::size_t SessionCount() const;

private:
    std::unique_ptr<ServerCore> m_core;
};

} // namespace tavrel::opcua
