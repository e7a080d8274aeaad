#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

namespace tavrel::app {

/// What an event is about.
enum class EventKind { Run, Plc, Poke, Command, Broker, Client, Audit, History };

/// One thing worth telling the user afterwards: a PLC lost or back, a refused poke, a command, a broker or client
/// event.
struct Event
{
    std::uint64_t sequence = 0; ///< 1 for the first event of the program, one more for each after it
    std::chrono::system_clock::time_point at;
    EventKind kind = EventKind::Run;
    QString text;
};

/// The newest events, newest last, bounded so that a long run never grows it: the window's Events pane and the
/// live page list them. Lives on the main thread.
class EventLog : public QObject
{
    Q_OBJECT

public:
    /// Events kept; older ones are dropped.
    static constexpr std::size_t kCapacity = 1000;
    /// The longest event text kept; a longer one is cut there.
    static constexpr qsizetype kMaxTextLength = 400;

    explicit EventLog(QObject* parent = nullptr)
        : QObject(parent)
    {
    }

    /// Notes an event now and tells the listeners.
    void Add(EventKind kind, const QString& text);
    /// The events kept, oldest first.
    const std::deque<Event>& Events() const { return m_events; }

signals:
    void added(const tavrel::app::Event& event);

private:
    std::deque<Event> m_events;
    std::uint64_t m_sequence = 0;
};

/// "PLC", "poke", … : the kind as a word for lists and messages.
QString EventKindName(EventKind kind);

} // namespace tavrel::app
