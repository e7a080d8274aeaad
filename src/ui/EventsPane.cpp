#include "ui/EventsPane.h"

#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QListWidget>

#include <chrono>

namespace tavrel::ui {

QString EventLine(const app::Event& event)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(event.at.time_since_epoch()).count();
    return QStringLiteral("%1  %2  %3")
        .arg(QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             app::EventKindName(event.kind), event.text);
}

EventsPane::EventsPane(const app::EventLog& log, QWidget* parent)
    : QDockWidget(QStringLiteral("Events"), parent)
{
    setObjectName(QStringLiteral("dockEvents"));
    setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("lstEvents"));
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setWordWrap(true);
    m_list->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(QStringLiteral("Copy"), m_list);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &EventsPane::CopyLines);
    m_list->addAction(copy);
    setWidget(m_list);
    for (const app::Event& event : log.Events()) {
        Add(event);
    }
    connect(&log, &app::EventLog::added, this, &EventsPane::Add);
}

void EventsPane::Add(const app::Event& event)
{
    auto* line = new QListWidgetItem(EventLine(event));
    line->setToolTip(event.text);
    m_list->insertItem(0, line);
    while (m_list->count() > kMaxLines) {
        delete m_list->takeItem(m_list->count() - 1);
    }
}

QStringList EventsPane::Lines() const
{
    QStringList lines;
    for (int row = 0; row < m_list->count(); ++row) {
        lines.append(m_list->item(row)->text());
    }
    return lines;
}

void EventsPane::CopyLines() const
{
    QStringList lines;
    for (int row = 0; row < m_list->count(); ++row) {
        if (m_list->item(row)->isSelected()) {
            lines.append(m_list->item(row)->text());
        }
    }
    QGuiApplication::clipboard()->setText((lines.isEmpty() ? Lines() : lines).join(QLatin1Char('\n')));
}

} // namespace tavrel::ui
