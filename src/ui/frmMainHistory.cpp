// The main window's history commands: the Record flag of a PLC's items, and the Trend window.
#include "app/Program.h"
#include "model/clsConfig.h"
#include "ui/ItemGrid.h"
#include "ui/TrendWindow.h"
#include "ui/frmMain.h"

#include <QStatusBar>

#include <algorithm>

namespace tavrel::ui {

namespace {

/// Sets the Record flag of every item of a PLC (a vector's elements too); true when one changed.
bool SetRecordFlags(model::clsPlc& plc, bool record)
{
    bool changed = false;
    for (const auto& item : plc.colItems()) {
        changed = changed || item->Details.record != record;
        item->Details.record = record;
        for (model::Clsitem& element : item->colItems()) {
            changed = changed || element.Details.record != record;
            element.Details.record = record;
        }
    }
    return changed;
}

} // namespace

void frmMain::RecordPlcItems(bool record)
{
    const int row = m_vsItems->CurrentItemRow();
    if (row < 0) {
        return;
    }
    const ItemGrid::RowInfo info = m_vsItems->Row(row);
    // The program carries out an item edit of its host's and marks the project changed as after the Edit dialog; this
    // edit needs no dialog.
    m_editWithoutDialog = [plcKey = info.plcKey, record](model::clsConfig& project) {
        model::clsPlc* plc = project.FindPlc(plcKey);
        return plc != nullptr && SetRecordFlags(*plc, record);
    };
    const bool changed = m_program.EditItem(info.plcKey, info.itemKey);
    m_editWithoutDialog = nullptr;
    if (changed) {
        m_vsItems->SetCurrentItemRow(row);
        statusBar()->showMessage(record ? QStringLiteral("Every item of %1 is recorded").arg(info.plcName)
                                        : QStringLiteral("No item of %1 is recorded").arg(info.plcName),
                                 15000);
    }
}

void frmMain::OpenTrend()
{
    const int row = m_vsItems->CurrentItemRow();
    if (row < 0) {
        return;
    }
    const model::Clsitem* item = RowItem(row);
    if (item == nullptr) {
        return;
    }
    const app::HistoryReader* reader = m_program.History();
    std::vector<TrendItem> items;
    const auto add = [&](const model::Clsitem& shown) {
        const std::int32_t index = shown.Label.Index();
        const QString name = shown.Details.name.empty() ? QString::fromStdString(model::LabelName(index))
                                                        : QString::fromStdString(shown.Details.name);
        items.push_back({ index, name, QString::fromStdString(shown.Details.units),
                          reader != nullptr && reader->IsRecorded(index) });
    };
    // A vector's header row stands for its elements.
    if (item->IsArray) {
        std::for_each(item->colItems().begin(), item->colItems().end(), add);
    } else {
        add(*item);
    }
    if (items.empty()) {
        return;
    }
    auto* window = new TrendWindow(reader, std::move(items), m_program.Service().DecimalSeparator(), this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    connect(&m_program.Service(), &app::ItemService::changed, window, &TrendWindow::AddLive);
    // A new project may take the items and their history away: the window closes with the old one.
    connect(&m_program, &app::Program::projectChanged, window, &QWidget::close);
    window->show();
}

} // namespace tavrel::ui
