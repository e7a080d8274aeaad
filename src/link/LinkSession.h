#pragma once

#include "app/ItemService.h"
#include "link/LabelLinks.h"
#include "link/LinkSettings.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

class QWebSocket;

namespace tavrel::link {

/// What the sessions of one server share: the server owns it and outlives them.
struct SessionContext
{
    app::ItemService& items;
    const LinkLimits& limits;
    LinkStats& stats;
    LabelLinks& links;
};

/// A WebSocket conversation: its links, and the sending to a client that may read slowly or not at all. A client
/// behind by more than the conflation limit gets, for each of its links, only the newest value once it catches up;
/// one past the hard limit, or that takes nothing for the stall time, is closed (1008).
///
/// A write, flush or close of the socket can end the connection and drop the session at once, so a session is
/// deleted later, from the event loop, and code that may outlive such a call holds it by a guarded pointer and checks
/// IsGone() before touching it again.
class LinkSession : public QObject
{
    Q_OBJECT

public:
    /// Takes over an accepted conversation, bounded by the limits of `context`, for a client whose access is `role`
    /// by the token of `user` (empty for none).
    LinkSession(std::unique_ptr<QWebSocket> socket, SessionContext& context, app::Role role, const QString& user,
                QObject* parent);

    /// The client's address and port.
    const QString& Peer() const { return m_peer; }
    /// The client as the item service knows callers.
    const app::Caller& Caller() const { return m_caller; }
    /// Whether the connection has ended.
    bool IsGone() const { return m_gone; }
    /// Whether the session still takes messages: neither ended nor closing.
    bool IsOpen() const { return !m_gone && !m_closing; }

    /// Whether label `index` is advised.
    bool Advises(std::int32_t index) const { return m_advised.count(index) != 0; }
    /// The number of labels advised.
    std::size_t LinkCount() const { return m_advised.size(); }
    /// Links label `index` to this session, if it is not yet.
    void Advise(std::int32_t index);
    /// Ends the link to label `index`, if there is one.
    void Unadvise(std::int32_t index);
    /// Forgets the link to label `index`, which has left the server's links already (its item is no more).
    void Forget(std::int32_t index);

    /// Whether the System item of that name (upper case) is advised.
    bool AdvisesSystem(const QString& key) const { return m_systemAdvised.count(key) != 0; }
    /// Advises the System item of that name (upper case).
    void AdviseSystem(const QString& key) { m_systemAdvised.insert(key); }
    /// Ends the advise of the System item of that name (upper case); whether there was one.
    bool UnadviseSystem(const QString& key) { return m_systemAdvised.erase(key) != 0; }

    /// Queues a message; false when the session is gone or has just been closed for it.
    bool Send(const QString& text);
    /// Queues a message and hands it to the network now.
    void SendNow(const QString& text);

    /// Notes that the change at `position` of the batch being sent is one of this session's links; true for the
    /// first of the batch.
    bool AddPending(std::uint32_t position)
    {
        m_pending.push_back(position);
        return m_pending.size() == 1;
    }
    /// The positions noted for the batch being sent, which leave the session.
    std::vector<std::uint32_t> TakePending() { return std::exchange(m_pending, {}); }

    /// Whether the client is too far behind to be sent changes as they come.
    bool Behind() const;
    /// Holds back the changes at `positions` of a batch, to send only their newest values once the client has
    /// caught up; a notice for the log when the client has just fallen behind.
    std::optional<QString> HoldBack(const std::vector<std::uint32_t>& positions,
                                    const std::vector<app::ItemChange>& changes);

    /// Closes the session for reading too slowly (1008) with the reason; nothing more is sent.
    void CloseSlow(const QString& reason);
    /// Closes the session with "going away" (1001), the close frame handed to the network at once.
    void SayGoodbye();
    /// The stall watchdog's round for this session, at time `nowMs`: closes one that has taken nothing for the
    /// stall time, and sends the held-back values to one that has caught up.
    void Watch(qint64 nowMs);

    /// Cuts the socket's connections to the session, before the server that owns both goes.
    void Detach();

signals:
    /// A text message from the client.
    void messageReceived(const QString& message);
    /// The connection has ended; the session is deleted later.
    void ended();
    /// Something worth a line in a log: the client fell behind, or was closed for not reading.
    void notice(const QString& text);

private:
    void Drop();
    void UnlinkAll();
    /// Sends the newest value of every link held back while the session was behind.
    void SendStale();

    SessionContext& m_context;
    QWebSocket* m_socket; ///< a child of the session
    QString m_peer;
    app::Caller m_caller;
    bool m_gone = false;
    bool m_closing = false; ///< closed by the server; nothing more is sent
    std::set<std::int32_t> m_advised;
    /// System items advised, by name in upper case.
    std::set<QString> m_systemAdvised;
    /// While the client is behind: the links whose newest value is still to be sent.
    std::set<std::int32_t> m_stale;
    qint64 m_unsentBefore = 0;
    qint64 m_lastProgressMs = 0;
    /// Positions, in the changes being sent, of the ones this session is linked to.
    std::vector<std::uint32_t> m_pending;
};

} // namespace tavrel::link
