#include "app/EventLog.h"

namespace tavrel::app {

void EventLog::Add(EventKind kind, const QString& text)
{
    if (m_events.size() >= kCapacity) {
        m_events.pop_front();
    }
    // A client's text can be long (a poke or a command of 64 KiB): an event keeps its beginning, so that the log stays
    // small whatever clients send.
    const QString kept = text.size() > kMaxTextLength ? text.left(kMaxTextLength) + QStringLiteral("…") : text;
    m_events.push_back(Event { ++m_sequence, std::chrono::system_clock::now(), kind, kept });
    emit added(m_events.back());
}

QString EventKindName(EventKind kind)
{
    switch (kind) {
    case EventKind::Run:
        return QStringLiteral("run");
    case EventKind::Plc:
        return QStringLiteral("PLC");
    case EventKind::Poke:
        return QStringLiteral("poke");
    case EventKind::Command:
        return QStringLiteral("command");
    case EventKind::Broker:
        return QStringLiteral("broker");
    case EventKind::Client:
        return QStringLiteral("client");
    case EventKind::Audit:
        return QStringLiteral("audit");
    case EventKind::History:
        return QStringLiteral("history");
    }
    return {};
}

} // namespace tavrel::app
