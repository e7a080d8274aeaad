#include "app/EventLog.h"

namespace tavrel::app {

void EventLog::Add(EventKind kind, const QString& text)
{
    if (m_events.size() >= kCapacity) {
        m_events.pop_front();
    }
    m_events.push_back(Event { ++m_sequence, std::chrono::system_clock::now(), kind, text });
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
    }
    return {};
}

} // namespace tavrel::app
