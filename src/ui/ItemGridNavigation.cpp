#include "ui/ItemGrid.h"

#include <QMouseEvent>

// Which rows carry an item, the current row, and moving it with the keys and the mouse: only rows that carry an item
// can be current, and a folded vector's elements are stepped over.
namespace tavrel::ui {

bool ItemGrid::CarriesItem(int row) const
{
    if (row < 0 || row >= static_cast<int>(m_rows.size())) {
        return false;
    }
    const RowKind kind = Row(row).kind;
    return kind == RowKind::ScalarItem || kind == RowKind::VectorHeader || kind == RowKind::VectorElement;
}

int ItemGrid::CurrentItemRow() const
{
    const int row = currentRow();
    return CarriesItem(row) ? row : -1;
}

void ItemGrid::SetCurrentItemRow(int row)
{
    if (CarriesItem(row) && !IsFoldedAway(row)) {
        setCurrentCell(row, kColAddress);
    } else {
        setCurrentCell(-1, -1);
    }
}

bool ItemGrid::IsFoldedAway(int row) const
{
    return Row(row).kind == RowKind::VectorElement && isRowHidden(row);
}

void ItemGrid::PaintRowSelection(int row, bool selected)
{
    if (row < 0 || row >= rowCount()) {
        return;
    }
    const RowKind kind = Row(row).kind;
    const bool outlineNode = kind == RowKind::ScalarItem || kind == RowKind::VectorHeader;
    for (const int column : { kColAddress, kColLength, kColDdeName }) {
        QTableWidgetItem* cell = item(row, column);
        if (selected) {
            cell->setBackground(palette().color(QPalette::Active, QPalette::Highlight));
            cell->setForeground(Qt::white);
        } else {
            cell->setBackground(outlineNode ? kPeach : kLightYellow);
            cell->setForeground(Qt::black);
        }
    }
}

void ItemGrid::OnCurrentCellChanged(int currentRow, int previousRow)
{
    if (m_filling || currentRow == previousRow) {
        return;
    }
    PaintRowSelection(previousRow, false);
    if (CarriesItem(currentRow)) {
        PaintRowSelection(currentRow, true);
    }
    emit currentItemRowChanged(CarriesItem(currentRow) ? currentRow : -1);
}

int ItemGrid::NextItemRow(int from, int step) const
{
    for (int row = from + step; row >= 0 && row < rowCount(); row += step) {
        if (CarriesItem(row) && !isRowHidden(row)) {
            return row;
        }
    }
    return -1;
}

QModelIndex ItemGrid::moveCursor(CursorAction cursorAction, Qt::KeyboardModifiers modifiers)
{
    const int current = currentRow();
    int target = -1;
    switch (cursorAction) {
    case MoveUp:
    case MovePrevious:
        target = NextItemRow(current < 0 ? rowCount() : current, -1);
        break;
    case MoveDown:
    case MoveNext:
        target = NextItemRow(current, 1);
        break;
    case MoveHome:
        target = NextItemRow(-1, 1);
        break;
    case MoveEnd:
        target = NextItemRow(rowCount(), -1);
        break;
    case MovePageUp:
    case MovePageDown: {
        // Let the table find the row a page away, then settle on the nearest row that carries an item.
        const int paged = QTableWidget::moveCursor(cursorAction, modifiers).row();
        const int step = cursorAction == MovePageDown ? 1 : -1;
        target = CarriesItem(paged) && !isRowHidden(paged) ? paged : NextItemRow(paged, step);
        if (target < 0) {
            target = NextItemRow(paged, -step);
        }
        break;
    }
    case MoveLeft:
    case MoveRight:
        target = current;
        break;
    }
    if (!CarriesItem(target)) {
        return currentIndex();
    }
    return model()->index(target, kColAddress);
}

void ItemGrid::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton && event->button() != Qt::RightButton) {
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const QPoint position = event->position().toPoint();
    const int row = rowAt(position.y());
    if (!CarriesItem(row)) {
        return;
    }
    SetCurrentItemRow(row);
    if (event->button() == Qt::RightButton) {
        emit itemRowRightClicked(row, event->globalPosition().toPoint());
        return;
    }
    if (columnAt(position.x()) == kColOutline && Row(row).kind == RowKind::VectorHeader) {
        SetCollapsed(row, !Row(row).collapsed);
    }
}

void ItemGrid::mouseMoveEvent(QMouseEvent* event)
{
    // Dragging never moves the current row: a merged cell would drag it onto a row without an item.
    event->accept();
}

void ItemGrid::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        return;
    }
    const QPoint position = event->position().toPoint();
    const int row = rowAt(position.y());
    if (!CarriesItem(row) || columnAt(position.x()) == kColOutline) {
        return;
    }
    SetCurrentItemRow(row);
    emit itemRowDoubleClicked(row);
}

} // namespace tavrel::ui
