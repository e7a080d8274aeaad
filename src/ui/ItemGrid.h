#pragma once

#include "model/LabelArray.h"

#include <QColor>
#include <QTableWidget>

#include <cstdint>
#include <set>
#include <vector>

namespace tavrel::model {
class clsConfig;
}

namespace tavrel::ui {

/// The grid `vsItems` of the main window: one row per item and per vector element, grouped by PLC, with
/// hidden lead rows and zero-height spacer rows that carry no item and can never become the current row.
/// Row numbers are the table's own: the header is not a row, so the first PLC's lead row is row 0.
class ItemGrid : public QTableWidget, private model::LabelObserver
{
    Q_OBJECT

public:
    enum Column : int {
        kColPlc,
        kColOutline,
        kColOperandType,
        kColAddress,
        kColLength,
        kColDataType,
        kColDdeName,
        kColName,
        kColValue,
        kColUnits,
        kColDirection,
        kColEnabled,
        kColRecord,
        kColCommParams,
        kColumnCount
    };

    enum class RowKind { PlcLead, ScalarItem, VectorSpacer, VectorHeader, VectorElement };

    /// What a row stands for. Rows that carry an item hold the keys to find it in the project: an element
    /// row holds its vector's key and its own label index.
    struct RowInfo
    {
        RowKind kind = RowKind::PlcLead;
        std::int32_t plcKey = 0;
        std::int32_t itemKey = 0;
        std::int32_t labelIndex = 0;
        QString plcName;
        QString commParamsText; ///< the PLC's parameter text as the fill wrote it, without a connection state
        bool collapsed = false; ///< vector header rows: the elements are folded away
    };

    static const QColor kLightYellow;
    static const QColor kPeach;
    static const QColor kNotConnected;
    /// The background of the parameters of a PLC whose program is stopped.
    static const QColor kPlcStopped;
    /// The text colour of values that a PLC which is not connected no longer refreshes.
    static const QColor kStaleValue;

    /// The header texts, tab-separated as the grid's format string.
    static constexpr const char* kHeaderFormat
        = "PLC\t+\tOperand Type\tOperand Address\tVector Length\tData Type\tDDE Name\tName\tValue\tUnits\tDirection\t"
          "Enabled\tRecord\tCommunication Parameters\t";

    explicit ItemGrid(QWidget* parent = nullptr);
    ~ItemGrid() override;

    /// Shows the texts of `labels` in the Value column and follows their changes cell by cell; null stops.
    /// The array must outlive the grid or be replaced first.
    void ShowValuesOf(model::LabelArray* labels);

    /// Rebuilds every row from the project. The current row stays on the same item when it is still there.
    /// The values of a PLC that has not answered in the current run are left empty.
    void Fill(const model::clsConfig& project);
    /// Shows the values of the PLCs that have answered since the fill (or since this was last called), and
    /// empties those of PLCs that no longer count as answered, and marks the parameters of a PLC whose program is
    /// stopped ("PLC in STOP"); called after each pass.
    void FollowAnswers(const model::clsConfig& project);

    /// Shows the PLC's rows as connected: plain parameter text, black on peach, values in black.
    void HighlightConnectedPlc(std::int32_t pPlcKey);
    /// Shows the PLC's rows as not connected: " (NOT CONNECTED)" after the parameters, white on red, and the
    /// reason as the cell's tool tip; the values greyed as stale, with the same tool tip. A PLC that has not
    /// answered in this run has no values to grey: they stay empty, the reason in their tool tip.
    void HighlightNotConnectedPlc(std::int32_t pPlcKey, const QString& reason);

    const RowInfo& Row(int row) const { return m_rows.at(static_cast<std::size_t>(row)); }
    /// True for the rows a user can see and choose: single items, vector headers and elements.
    bool CarriesItem(int row) const;
    /// The current row, or -1 when there is none.
    int CurrentItemRow() const;
    /// Makes an item row the current row; any other row clears the current row.
    void SetCurrentItemRow(int row);

    /// Folds a vector's elements away under its header row, or shows them again.
    void SetCollapsed(int headerRow, bool collapsed);

signals:
    /// The current row changed (to -1 when there is none), after the selection colours moved.
    void currentItemRowChanged(int row);
    void itemRowDoubleClicked(int row);
    /// A right-button click made `row` the current row.
    void itemRowRightClicked(int row, const QPoint& globalPosition);

protected:
    QModelIndex moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void LabelTextChanged(std::int32_t index, const std::string& text) override;
    void LabelUnloaded(std::int32_t index) override;
    void AppendRow(const RowInfo& info, const QStringList& texts, const QColor& plcBackground,
                   const QColor& restBackground);
    void MergeCells();
    void FitColumns();
    /// The background a row's parameters cell was filled with: light below a vector's header, else peach.
    QColor FilledBackground(int row) const;
    void PaintRowSelection(int row, bool selected);
    void OnCurrentCellChanged(int currentRow, int previousRow);
    int NextItemRow(int from, int step) const;
    bool IsFoldedAway(int row) const;
    /// The text of a row's Value cell: the label's text once its PLC has answered, else nothing.
    QString ValueText(int row) const;

    std::vector<RowInfo> m_rows;
    /// The row that shows each label's value, by label index; -1 where none does.
    std::vector<int> m_valueRows;
    model::LabelArray* m_labels = nullptr;
    /// The PLCs, by key, that have not answered in the current run.
    std::set<std::int32_t> m_unanswered;
    /// PLCs whose program the last read found stopped, by key.
    std::set<std::int32_t> m_stopped;
    bool m_filling = false;
};

} // namespace tavrel::ui
