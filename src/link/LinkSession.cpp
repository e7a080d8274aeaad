#include "link/LinkSession.h"

#include "link/LinkNames.h"
#include "link/LinkWire.h"

#include <QPointer>
#include <QTimer>
#include <QWebSocket>

#include <chrono>

namespace tavrel::link {

namespace {

// A client that reads nothing never takes the close frame either; its connection is cut after this long.
constexpr int kCloseGraceMs = 5000;

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QWebSocketProtocol::CloseCode CloseCode(std::uint16_t code)
{
    return static_cast<QWebSocketProtocol::CloseCode>(code);
}

} // namespace

LinkSession::LinkSession(std::unique_ptr<QWebSocket> socket, SessionContext& context, app::Role role,
                         const QString& user, QObject* parent)
    : QObject(parent)
    , m_context(context)
    , m_socket(socket.release())
    , m_peer(PeerText(m_socket->peerAddress(), m_socket->peerPort()))
    , m_caller(LinkCaller(m_peer, role, user))
    , m_lastProgressMs(NowMs())
{
    m_socket->setParent(this);
    m_socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(m_context.limits.maxMessageBytes));
    m_socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(m_context.limits.maxMessageBytes));
    // The session is the context of each connection: none can call into a deleted session.
    connect(m_socket, &QWebSocket::textMessageReceived, this, &LinkSession::messageReceived);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray&) {
        Send(QStringLiteral("{\"op\":\"%1\",\"error\":\"send JSON text messages\"}").arg(Latin1(kOpError)));
    });
    connect(m_socket, &QWebSocket::disconnected, this, &LinkSession::Drop);
    connect(m_socket, &QWebSocket::bytesWritten, this, [this](qint64) {
        m_lastProgressMs = NowMs();
        if (!m_stale.empty() && m_socket->bytesToWrite() <= m_context.limits.conflateBytes) {
            SendStale();
        }
    });
}

void LinkSession::Advise(std::int32_t index)
{
    if (m_advised.insert(index).second) {
        m_context.links.Link(index, this);
    }
}

void LinkSession::Unadvise(std::int32_t index)
{
    if (m_advised.erase(index) != 0) {
        m_context.links.Unlink(index, this);
    }
}

void LinkSession::Forget(std::int32_t index)
{
    m_advised.erase(index);
    m_stale.erase(index);
}

void LinkSession::UnlinkAll()
{
    for (const std::int32_t index : m_advised) {
        m_context.links.Unlink(index, this);
    }
    m_advised.clear();
}

bool LinkSession::Send(const QString& text)
{
    if (m_gone || m_closing) {
        return false;
    }
    m_socket->sendTextMessage(text);
    if (m_gone) {
        return false;
    }
    // Past this, even answers to its own requests would grow the process without end.
    m_unsentBefore = m_socket->bytesToWrite();
    if (m_unsentBefore > m_context.limits.maxUnsentBytes) {
        CloseSlow(QStringLiteral("the client reads too slowly: more than %1 bytes unsent")
                      .arg(m_context.limits.maxUnsentBytes));
        return false;
    }
    return true;
}

void LinkSession::SendNow(const QString& text)
{
    // A pass that starts next may keep the event loop busy a while.
    if (Send(text)) {
        m_socket->flush();
    }
}

bool LinkSession::Behind() const
{
    return !m_stale.empty() || m_socket->bytesToWrite() > m_context.limits.conflateBytes;
}

std::optional<QString> LinkSession::HoldBack(const std::vector<std::uint32_t>& positions,
                                             const std::vector<app::ItemChange>& changes)
{
    std::optional<QString> notice;
    if (m_stale.empty()) {
        ++m_context.stats.conflated;
        notice = QStringLiteral("link client %1 is behind by %2 bytes; it gets only the newest values")
                     .arg(m_peer)
                     .arg(m_socket->bytesToWrite());
    }
    for (const std::uint32_t i : positions) {
        m_stale.insert(changes[i].index);
    }
    if (m_socket->bytesToWrite() <= m_context.limits.conflateBytes) {
        SendStale();
    }
    return notice;
}

void LinkSession::SendStale()
{
    QByteArray text;
    int count = 0;
    for (const std::int32_t index : std::exchange(m_stale, {})) {
        if (m_advised.count(index) == 0 || !m_context.items.Exists(index)) {
            continue;
        }
        text += (count++ == 0 ? "" : ",") + ItemChangeJson(m_context.items.State(index));
    }
    if (count > 0) {
        Send(QString::fromUtf8(count == 1 ? text : '[' + text + ']'));
    }
}

void LinkSession::CloseSlow(const QString& reason)
{
    if (m_gone || m_closing) {
        return;
    }
    m_closing = true;
    ++m_context.stats.closedSlow;
    // Nothing more is queued for it.
    UnlinkAll();
    m_stale.clear();
    const QPointer<LinkSession> guarded(this);
    m_socket->close(CloseCode(kClosePolicyViolated), reason);
    if (guarded != nullptr && !m_gone) {
        QTimer::singleShot(kCloseGraceMs, this, [this] {
            if (!m_gone) {
                m_socket->abort();
            }
        });
    }
    emit notice(
        QStringLiteral("link client %1 closed (%2): %3").arg(m_peer, QString::number(kClosePolicyViolated), reason));
}

void LinkSession::SayGoodbye()
{
    if (m_gone || m_closing) {
        return;
    }
    m_closing = true;
    const QPointer<LinkSession> guarded(this);
    m_socket->close(
        CloseCode(kCloseGoingAway),
        QString::fromUtf8(protocol::kStoppingReason.data(), static_cast<qsizetype>(protocol::kStoppingReason.size())));
    if (guarded != nullptr && !m_gone) {
        m_socket->flush();
    }
}

void LinkSession::Watch(qint64 nowMs)
{
    if (m_gone || m_closing) {
        return;
    }
    const qint64 unsent = m_socket->bytesToWrite();
    if (unsent == 0 || unsent < m_unsentBefore) {
        m_lastProgressMs = nowMs;
    }
    m_unsentBefore = unsent;
    if (unsent > 0 && nowMs - m_lastProgressMs > m_context.limits.stallMs) {
        CloseSlow(QStringLiteral("the client has taken nothing for %1 s").arg(m_context.limits.stallMs / 1000.0));
    } else if (!m_stale.empty() && unsent <= m_context.limits.conflateBytes) {
        SendStale();
    }
}

void LinkSession::Drop()
{
    if (m_gone) {
        return;
    }
    m_gone = true;
    UnlinkAll();
    m_socket->disconnect(this);
    ++m_context.stats.dropped;
    emit ended();
}

void LinkSession::Detach()
{
    m_socket->disconnect(this);
}

} // namespace tavrel::link
