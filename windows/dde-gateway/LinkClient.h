#pragma once

#include "Handles.h"
#include "LinkMessages.h"
#include "LinkTable.h"
#include "LinkTransport.h"
#include "Log.h"
#include "Options.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::dde {

/// The link server's answer to one transaction.
struct Answer
{
    bool ok = false;
    std::string value; ///< a request's value
    std::string error; ///< why it failed
    bool refused = false; ///< failed because the link server said no (not for want of an answer)
};

/// The conversation with a Tavrel link server over one WebSocket (LinkTransport), kept on a thread of its own:
/// it connects, renews every link when the server is back (backoff up to 5 s), matches the server's answers to
/// the transactions waiting for them, and keeps the newest value of every linked item (LinkTable). The calls below
/// are made from the DDE thread; none waits longer than kAnswerTimeout.
///
/// Links are known by a key: lblDDE(key) of the topic Items for a key from 0, a System item (named by
/// SystemKey) for a negative one.
class LinkClient
{
public:
    /// The longest a transaction waits for the link server's answer.
    static constexpr std::chrono::milliseconds kAnswerTimeout { 3000 };
    /// The longest message the link server takes (its limit on a WebSocket message).
    static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

    /// `notify` is called on the link thread whenever linked values or the connection state changed; it must
    /// only hand the news to the DDE thread (TakeChanged and Connected tell the rest).
    LinkClient(const Options& options, std::string token, Log& log, std::function<void()> notify);
    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;
    ~LinkClient();

    /// Starts the link thread.
    void Start();

    /// The current text of an item; fails at once while the link server is away.
    Answer Request(std::int32_t index);
    /// Pokes a text into an item; ok only when the link server took it.
    Answer Poke(std::int32_t index, const std::string& text);
    /// Sends an execute command; ok when the link server received it.
    Answer Execute(const std::string& command);
    /// The current text of the link server's System item `name`; fails at once while it is away.
    Answer RequestSystem(const std::string& name);
    /// The names of the link server's System items, separated by tabs; fails at once while it is away.
    Answer SystemItemNames();

    /// The link key of the System item `name` (without regard to case): the key of its links, or with `add` a
    /// new one for a name not linked yet, which AddLink must take at once; nothing when there is none, or with
    /// `add` when LinkTable::kMaxSystemLinks names are linked already.
    std::optional<std::int32_t> SystemKey(const std::string& name, bool add);
    /// "lblDDE(7)" or "System!NAME", for messages.
    std::string KeyName(std::int32_t key) const;

    /// One more DDE link on an item; the first one asks the link server to advise. Fails only when the link
    /// server refuses the item; a link made while it is away is kept and advised when it is back.
    Answer AddLink(std::int32_t key);
    /// One DDE link fewer on an item; the last one ends the link server's advise.
    void RemoveLink(std::int32_t key);

    /// The newest value of a linked item; nothing while it is not known to be current (link server away,
    /// item refused or removed).
    std::optional<std::string> LinkedValue(std::int32_t key) const;
    /// The linked items whose value (or freshness) changed since the last call, in the order they changed.
    std::vector<std::int32_t> TakeChanged();
    /// True while the WebSocket to the link server is open.
    bool Connected() const;
    /// True once after each change of Connected().
    bool TakeConnectionChanged();

    /// The server's address as a URL, for messages.
    std::string Url() const;

private:
    using Op = protocol::Operation;

    struct Pending
    {
        Op op = Op::Request;
        std::int32_t index = -1;
        bool done = false;
        bool renewal = false; ///< an advise renewed after a reconnection, which no one waits for
        Answer answer;
    };

    void Run();
    void Converse(HINTERNET socket);
    /// Takes one message of the link server; false when it is none of the link server's, and the connection must
    /// be made again.
    bool Handle(const std::string& text);
    /// Takes the answer to the transaction at the head of the queue; what the message is instead when it is none.
    std::optional<std::string> TakeAnswerLocked(const ServerMessage& message, std::string& refusedRenewal);
    void Disconnected();
    std::shared_ptr<Pending> Send(Op op, std::int32_t index, const std::string& message, bool renewal = false);
    Answer Transact(Op op, std::int32_t index, const std::string& message);
    Answer Wait(const std::shared_ptr<Pending>& pending);
    void Notify();

    LinkTransport m_transport;
    Log& m_log;
    std::function<void()> m_notify;
    KernelHandle m_stop;
    KernelHandle m_finished;
    std::thread m_thread;

    std::mutex m_sendMutex; ///< one sender at a time; guards m_socket
    HINTERNET m_socket = nullptr; ///< the open WebSocket (owned by the link thread), or null

    mutable std::mutex m_mutex; ///< guards everything below
    std::condition_variable m_answered;
    std::deque<std::shared_ptr<Pending>> m_pending; ///< sent and not yet answered, in order
    LinkTable m_links;
    bool m_connected = false;
    bool m_connectionChanged = false;
    bool m_notified = false; ///< the DDE thread has news it has not taken yet
};

} // namespace tavrel::dde
