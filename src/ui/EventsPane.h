#pragma once

#include "app/EventLog.h"

#include <QDockWidget>

class QListWidget;

namespace tavrel::ui {

/// The Events pane: what happened lately (PLCs lost and back with the reason and the next try, refused pokes,
/// commands, broker and client events), newest first, bounded, and copyable (Ctrl+C or its menu copy the selected
/// lines, or all of them when none is selected).
class EventsPane : public QDockWidget
{
    Q_OBJECT

public:
    /// The most lines the pane shows; older ones are dropped.
    static constexpr int kMaxLines = 500;

    EventsPane(const app::EventLog& log, QWidget* parent = nullptr);

    /// The lines shown, newest first.
    QStringList Lines() const;
    /// Puts the selected lines (all, when none is selected) on the clipboard, newest first.
    void CopyLines() const;

private:
    void Add(const app::Event& event);

    QListWidget* m_list = nullptr;
};

/// "14:45:01  PLC  PLC 'Line_1' connected": one event as a line of the pane, in local time.
QString EventLine(const app::Event& event);

} // namespace tavrel::ui
