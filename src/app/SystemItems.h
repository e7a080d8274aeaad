#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace tavrel::app {

class Program;

/// The items of the topic "System": the run's and each PLC's health as texts that clients request and advise
/// like label texts.
///   Running        1 while a run goes on, else 0
///   PassCount      passes of the current (or last) run
///   PassMs         how long the last pass took, in milliseconds
///   NAME.Connected 1 or 0 for PLC NAME
///   NAME.Answered  1 once a read of the current run has succeeded, else 0: the PLC's values are this run's
///   NAME.PlcRunning 1 while the PLC's program runs, 0 while it is stopped, as its last good read found it; empty
///                  when unknown (a family without a run state, not connected, no good read yet)
///   NAME.LastError why its last exchange failed; empty while all is well
///   NAME.Errors    how many times it failed in the current run
///   NAME.PassMs    how long its last exchange took, in milliseconds
/// and the items the client surfaces keep here (OpcUaEndpoint, OpcUaSessions: where the OPC UA server listens,
/// empty when it does not, and its sessions).
class SystemItems : public QObject
{
    Q_OBJECT

public:
    explicit SystemItems(Program& program, QObject* parent = nullptr);

    /// Every item and its text: the run's three, then six per PLC in project order.
    std::vector<std::pair<QString, QString>> Items() const;
    /// The item's name as listed and its text, for a name in any letter case; nothing for an unknown name.
    std::optional<std::pair<QString, QString>> Find(const QString& name) const;
    /// Sets an item that a client surface keeps (its sessions), listed after the run's three.
    void SetSurfaceItem(const QString& name, const QString& value);

signals:
    /// An item's text changed, or it came to be; told after passes, run changes and connection changes.
    void changed(const QString& name, const QString& value);
    /// An item is no more: its PLC left the project, or was renamed.
    void removed(const QString& name);

private:
    void Renew();

    Program& m_program;
    /// Failures per PLC key in the current run.
    std::map<std::int32_t, std::uint64_t> m_errors;
    /// The surfaces' items in the order they were first set.
    std::vector<std::pair<QString, QString>> m_surfaceItems;
    /// The names and texts last told, by name in upper case.
    std::map<QString, std::pair<QString, QString>> m_told;
};

} // namespace tavrel::app
