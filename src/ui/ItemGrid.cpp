#include "ui/ItemGrid.h"

#include "common/DeviceItems.h"
#include "common/OperandCatalogue.h"
#include "model/clsConfig.h"
#include "ui/Pictures.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>

#include <algorithm>
#include <array>

namespace tavrel::ui {

const QColor ItemGrid::kLightYellow(255, 255, 240);
const QColor ItemGrid::kPeach(255, 224, 192);
const QColor ItemGrid::kNotConnected(255, 0, 0);
const QColor ItemGrid::kStaleValue(150, 150, 150);
const QColor ItemGrid::kPlcStopped(255, 191, 0);

namespace {

// Column widths in twips, 15 twips to the pixel.
constexpr std::array<int, ItemGrid::kColumnCount> kWidthsInTwips { 3000, 270,  1200, 1410, 1185, 1200, 1740,
                                                                   1500, 1500, 765,  1620, 765,  765,  765 };
constexpr std::array<int, 9> kMergedColumns {
    ItemGrid::kColOutline, ItemGrid::kColPlc,         ItemGrid::kColEnabled,
    ItemGrid::kColRecord,  ItemGrid::kColOperandType, ItemGrid::kColDataType,
    ItemGrid::kColUnits,   ItemGrid::kColCommParams,  ItemGrid::kColDirection
};
const QString kNotConnectedSuffix = QStringLiteral(" (NOT CONNECTED)");
const QString kStoppedSuffix = QStringLiteral(" (PLC in STOP)");

/// Paints the grid without a selection highlight or focus frame (the program colours the current row
/// itself), the Enabled and Record columns as check boxes and the outline buttons of vector header rows.
class GridDelegate : public QStyledItemDelegate
{
public:
    explicit GridDelegate(ItemGrid* grid)
        : QStyledItemDelegate(grid)
        , m_grid(grid)
    {
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QStyleOptionViewItem plain(option);
        plain.state &= ~(QStyle::State_Selected | QStyle::State_HasFocus);
        if (index.column() == ItemGrid::kColEnabled || index.column() == ItemGrid::kColRecord) {
            PaintCheckBox(painter, plain, index);
            return;
        }
        QStyledItemDelegate::paint(painter, plain, index);
        if (index.column() == ItemGrid::kColOutline
            && m_grid->Row(index.row()).kind == ItemGrid::RowKind::VectorHeader) {
            PaintOutlineButton(painter, plain.rect, m_grid->Row(index.row()).collapsed);
        }
    }

private:
    void PaintCheckBox(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
    {
        const QVariant background = index.data(Qt::BackgroundRole);
        if (background.canConvert<QBrush>()) {
            painter->fillRect(option.rect, background.value<QBrush>());
        }
        const QString text = index.data(Qt::DisplayRole).toString();
        if (text.isEmpty()) {
            return;
        }
        QStyleOptionButton box;
        const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
        const QSize indicator(style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, option.widget),
                              style->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, option.widget));
        box.rect = QRect(option.rect.center() - QPoint(indicator.width() / 2, indicator.height() / 2), indicator);
        box.state = QStyle::State_Enabled | (text == QLatin1String("True") ? QStyle::State_On : QStyle::State_Off);
        style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &box, painter, option.widget);
    }

    static void PaintOutlineButton(QPainter* painter, const QRect& cell, bool collapsed)
    {
        const int side = std::min({ 9, cell.width() - 4, cell.height() - 4 });
        if (side < 5) {
            return;
        }
        const QRect box(cell.center().x() - side / 2, cell.center().y() - side / 2, side, side);
        painter->save();
        painter->setPen(QColor(110, 110, 110));
        painter->setBrush(Qt::white);
        painter->drawRect(box);
        painter->setPen(Qt::black);
        const int middleY = box.top() + side / 2;
        const int middleX = box.left() + side / 2;
        painter->drawLine(box.left() + 2, middleY, box.right() - 2, middleY);
        if (collapsed) {
            painter->drawLine(middleX, box.top() + 2, middleX, box.bottom() - 2);
        }
        painter->restore();
    }

    ItemGrid* m_grid;
};

QString BoolText(bool value)
{
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

QString DdeName(std::int32_t labelIndex)
{
    return QStringLiteral("lblDDE(%1)").arg(labelIndex);
}

/// The name of a code, or "(unknown: N)" for a stored code the program does not know.
QString NameOrUnknown(std::string_view name, std::int32_t code)
{
    return name.empty() ? QStringLiteral("(unknown: %1)").arg(code)
                        : QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

/// The data type of an item that has one, with its byte order where that is not the usual one: "float32 CDAB". A
/// Modbus device item without a type of its own shows its table's (bool or int16).
QString DataTypeText(const model::Clsitem& item)
{
    const model::ItemDetails& details = item.Details;
    if (!details.dataType && !common::IsDeviceOperand(item.OperandType)) {
        return QString();
    }
    const common::DataType type = common::DeviceDataType(item.OperandType, details);
    QString text = QString::fromStdString(common::DataTypeText(type));
    if (details.byteOrder != common::ByteOrder::ABCD) {
        text += QLatin1Char(' ') + QString::fromStdString(common::ByteOrderText(details.byteOrder, type));
    }
    return text;
}

/// Texts of the columns right of the PLC name for one item or element; the value is filled in later.
QStringList ItemTexts(const QString& outline, const model::Clsitem& item, const QString& length, const QString& ddeName,
                      const QString& commText)
{
    return { outline,
             NameOrUnknown(common::OperandTypeName(item.OperandType), item.OperandType),
             QString::number(item.OperandAddress),
             length,
             DataTypeText(item),
             ddeName,
             QString::fromStdString(item.Details.name),
             QString(),
             QString::fromStdString(item.Details.units),
             NameOrUnknown(common::IoDirectionName(item.IoDirection), item.IoDirection),
             BoolText(item.IsEnable),
             BoolText(item.Details.record),
             commText };
}

} // namespace

ItemGrid::ItemGrid(QWidget* parent)
    : QTableWidget(parent)
{
    setObjectName(QStringLiteral("vsItems"));
    setColumnCount(kColumnCount);
    QStringList headers = QString::fromLatin1(kHeaderFormat).split(QLatin1Char('\t'));
    headers.removeLast(); // the format ends with a tab
    setHorizontalHeaderLabels(headers);
    // The widths were chosen for a small font: a wider font widens a column to its header text.
    const QFontMetrics headerMetrics(horizontalHeader()->font());
    for (int column = 0; column < kColumnCount; ++column) {
        const int headerWidth = headerMetrics.horizontalAdvance(headers.at(column)) + 12;
        setColumnWidth(column, std::max(kWidthsInTwips[static_cast<std::size_t>(column)] / 15, headerWidth));
    }
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(false);
    verticalHeader()->hide();
    verticalHeader()->setMinimumSectionSize(0);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setItemDelegate(new GridDelegate(this));
    QPalette colours = palette();
    colours.setColor(QPalette::Base, kLightYellow);
    setPalette(colours);
    connect(this, &QTableWidget::currentCellChanged, this,
            [this](int currentRow, int, int previousRow, int) { OnCurrentCellChanged(currentRow, previousRow); });
}

ItemGrid::~ItemGrid()
{
    ShowValuesOf(nullptr);
}

void ItemGrid::ShowValuesOf(model::LabelArray* labels)
{
    if (m_labels) {
        m_labels->RemoveObserver(this);
    }
    m_labels = labels;
    if (m_labels) {
        m_labels->AddObserver(this);
    }
    for (const int row : m_valueRows) {
        if (row >= 0) {
            item(row, kColValue)->setText(ValueText(row));
        }
    }
}

QString ItemGrid::ValueText(int row) const
{
    const RowInfo& info = Row(row);
    if (m_labels == nullptr || m_unanswered.contains(info.plcKey)) {
        return QString();
    }
    return QString::fromStdString(m_labels->Text(info.labelIndex));
}

void ItemGrid::FollowAnswers(const model::clsConfig& project)
{
    // A PLC in STOP still answers: its parameters say so, in amber, until its program runs again.
    for (const auto& plc : project.colPlcs()) {
        const bool stopped = plc->Connected && plc->PlcRunning == false;
        if (stopped == m_stopped.contains(plc->Key)) {
            continue;
        }
        stopped ? (void)m_stopped.insert(plc->Key) : (void)m_stopped.erase(plc->Key);
        for (int row = 0; row < rowCount(); ++row) {
            if (CarriesItem(row) && Row(row).plcKey == plc->Key) {
                QTableWidgetItem* cell = item(row, kColCommParams);
                cell->setText(Row(row).commParamsText + (stopped ? kStoppedSuffix : QString()));
                cell->setBackground(stopped ? kPlcStopped : FilledBackground(row));
                cell->setToolTip(stopped ? QStringLiteral("The PLC answers, but its program is stopped") : QString());
            }
        }
    }
    std::set<std::int32_t> changed;
    for (const auto& plc : project.colPlcs()) {
        const bool unanswered = m_unanswered.contains(plc->Key);
        if (plc->Answered == unanswered) {
            changed.insert(plc->Key);
            if (plc->Answered) {
                m_unanswered.erase(plc->Key);
            } else {
                m_unanswered.insert(plc->Key);
            }
        }
    }
    if (changed.empty()) {
        return;
    }
    for (const int row : m_valueRows) {
        if (row >= 0 && changed.count(Row(row).plcKey) != 0) {
            item(row, kColValue)->setText(ValueText(row));
        }
    }
}

void ItemGrid::LabelTextChanged(std::int32_t index, const std::string&)
{
    // Only the one cell changes: a pass that moves many values must not rebuild rows, spans or the selection.
    if (index >= 0 && static_cast<std::size_t>(index) < m_valueRows.size()
        && m_valueRows[static_cast<std::size_t>(index)] >= 0) {
        const int row = m_valueRows[static_cast<std::size_t>(index)];
        item(row, kColValue)->setText(ValueText(row));
    }
}

void ItemGrid::LabelUnloaded(std::int32_t index)
{
    LabelTextChanged(index, std::string());
}

void ItemGrid::Fill(const model::clsConfig& project)
{
    const int oldCurrent = CurrentItemRow();
    const RowInfo previous = oldCurrent >= 0 ? Row(oldCurrent) : RowInfo {};

    m_filling = true;
    setCurrentCell(-1, -1);
    clearSpans();
    setRowCount(0);
    m_rows.clear();
    m_valueRows.clear();
    m_unanswered.clear();
    m_stopped.clear();
    for (const auto& plc : project.colPlcs()) {
        if (!plc->Answered) {
            m_unanswered.insert(plc->Key);
        }
    }

    for (const auto& plcPointer : project.colPlcs()) {
        const model::clsPlc& plc = *plcPointer;
        const QString name = QString::fromStdString(plc.Name);
        const QString commText = QString::fromStdString(plc.GetCommParamsAsString());
        const QIcon picture = PlcTypePicture(plc.Params().PlcType);
        RowInfo base { RowKind::PlcLead, plc.Key, 0, 0, name, commText, false };

        AppendRow(base, {}, kLightYellow, kLightYellow);
        setRowHidden(rowCount() - 1, true);
        // The family's picture beside the PLC name; the description of an item where its name is.
        const auto finishItemRow = [&](const model::Clsitem& shown) {
            this->item(rowCount() - 1, kColPlc)->setIcon(picture);
            this->item(rowCount() - 1, kColName)->setToolTip(QString::fromStdString(shown.Details.description));
        };

        for (const auto& itemPointer : plc.colItems()) {
            const model::Clsitem& item = *itemPointer;
            RowInfo info = base;
            info.itemKey = item.Key;
            if (!item.IsArray) {
                info.kind = RowKind::ScalarItem;
                info.labelIndex = item.Label.Index();
                QStringList texts { name };
                texts << ItemTexts(QString(), item, QStringLiteral("1"), DdeName(item.Label.Index()), commText);
                AppendRow(info, texts, kLightYellow, kPeach);
                finishItemRow(item);
                continue;
            }
            if (item.colItems().empty()) {
                continue; // a vector always has elements; nothing to show otherwise
            }
            RowInfo spacer = base;
            spacer.kind = RowKind::VectorSpacer;
            spacer.itemKey = item.Key;
            const auto appendSpacer = [&] {
                AppendRow(spacer, { name }, kLightYellow, kLightYellow);
                this->item(rowCount() - 1, kColPlc)->setIcon(picture);
                setRowHeight(rowCount() - 1, 0);
            };
            appendSpacer();
            const model::Clsitem& first = item.colItems().front();
            const auto count = static_cast<std::int32_t>(item.colItems().size());
            info.kind = RowKind::VectorHeader;
            info.labelIndex = first.Label.Index();
            QStringList headerTexts { name };
            headerTexts << ItemTexts(
                QString(), first, QString::number(count),
                QStringLiteral("lblDDE(%1-%2)").arg(first.Label.Index()).arg(first.Label.Index() + count - 1),
                commText);
            AppendRow(info, headerTexts, kLightYellow, kPeach);
            finishItemRow(first);
            appendSpacer();
            for (const model::Clsitem& element : item.colItems()) {
                RowInfo elementInfo = info;
                elementInfo.kind = RowKind::VectorElement;
                elementInfo.labelIndex = element.Label.Index();
                QStringList texts { name };
                texts << ItemTexts(QStringLiteral("1"), element, QStringLiteral("1"), DdeName(element.Label.Index()),
                                   commText);
                AppendRow(elementInfo, texts, kLightYellow, kLightYellow);
                finishItemRow(element);
            }
        }
    }
    MergeCells();
    FitColumns();
    for (int row = 0; row < rowCount(); ++row) {
        const RowKind kind = Row(row).kind;
        if (kind != RowKind::ScalarItem && kind != RowKind::VectorElement) {
            continue;
        }
        const auto index = static_cast<std::size_t>(Row(row).labelIndex);
        if (Row(row).labelIndex <= 0) {
            continue;
        }
        if (index >= m_valueRows.size()) {
            m_valueRows.resize(index + 1, -1);
        }
        m_valueRows[index] = row;
        item(row, kColValue)->setText(ValueText(row));
    }
    m_filling = false;

    int restored = -1;
    if (oldCurrent >= 0) {
        for (int row = 0; row < rowCount(); ++row) {
            const RowInfo& info = Row(row);
            if (info.kind == previous.kind && info.plcKey == previous.plcKey && info.itemKey == previous.itemKey
                && info.labelIndex == previous.labelIndex) {
                restored = row;
                break;
            }
        }
    }
    if (restored >= 0) {
        SetCurrentItemRow(restored);
    } else {
        emit currentItemRowChanged(-1);
    }
}

void ItemGrid::AppendRow(const RowInfo& info, const QStringList& texts, const QColor& plcBackground,
                         const QColor& restBackground)
{
    const int row = rowCount();
    setRowCount(row + 1);
    m_rows.push_back(info);
    const bool carriesItem = CarriesItem(row);
    for (int column = 0; column < kColumnCount; ++column) {
        auto* cell = new QTableWidgetItem(column < texts.size() ? texts.at(column) : QString());
        cell->setBackground(column == kColPlc ? plcBackground : restBackground);
        cell->setForeground(Qt::black);
        cell->setFlags(carriesItem ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::ItemIsEnabled);
        if (column == kColAddress || column == kColLength) {
            cell->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        }
        setItem(row, column, cell);
    }
}

QColor ItemGrid::FilledBackground(int row) const
{
    return Row(row).kind == RowKind::VectorElement ? kLightYellow : kPeach;
}

void ItemGrid::FitColumns()
{
    // Each column as wide as its header or its widest cell, whichever is wider (the outline's is fixed); a cell that
    // spans several rows or columns does not widen a column of its own.
    const QFontMetrics headerMetrics(horizontalHeader()->font());
    const QFontMetrics cellMetrics(font());
    constexpr int kPadding = 16;
    for (int column = 0; column < kColumnCount; ++column) {
        if (column == kColOutline) {
            continue;
        }
        int width = headerMetrics.horizontalAdvance(horizontalHeaderItem(column)->text()) + kPadding;
        if (column == kColValue) {
            width = std::max(
                width, cellMetrics.horizontalAdvance(QStringLiteral("-2147483648.0")) + kPadding); // values come later
        }
        for (int row = 0; row < rowCount(); ++row) {
            const QTableWidgetItem* cell = item(row, column);
            if (cell == nullptr || columnSpan(row, column) != 1) {
                continue;
            }
            const int icon
                = cell->icon().isNull() ? 0 : style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this) + 8;
            width = std::max(width, cellMetrics.horizontalAdvance(cell->text()) + icon + kPadding);
        }
        setColumnWidth(column, width);
    }
}

void ItemGrid::MergeCells()
{
    clearSpans();
    const int rows = rowCount();
    for (const int column : kMergedColumns) {
        int start = -1;
        int last = -1;
        QString text;
        const auto close = [&] {
            if (start >= 0 && last > start) {
                setSpan(start, column, last - start + 1, 1);
            }
            start = -1;
        };
        for (int row = 0; row < rows; ++row) {
            if (IsFoldedAway(row)) {
                continue; // folded elements neither join nor split the cells around them
            }
            const QString cellText = item(row, column)->text();
            // Apart from the PLC name, a vector's element cells never merge with the rows around them.
            const bool sameLevel = column == kColPlc || start < 0
                || (Row(row).kind == RowKind::VectorElement) == (Row(last).kind == RowKind::VectorElement);
            if (start >= 0 && sameLevel && !cellText.isEmpty() && cellText == text) {
                last = row;
                continue;
            }
            close();
            if (!cellText.isEmpty()) {
                start = row;
                last = row;
                text = cellText;
            }
        }
        close();
    }
}

void ItemGrid::SetCollapsed(int headerRow, bool collapsed)
{
    if (headerRow < 0 || headerRow >= rowCount() || Row(headerRow).kind != RowKind::VectorHeader) {
        return;
    }
    m_rows[static_cast<std::size_t>(headerRow)].collapsed = collapsed;
    const int current = currentRow();
    // Below the header: one spacer row, then the elements.
    for (int row = headerRow + 2; row < rowCount() && Row(row).kind == RowKind::VectorElement; ++row) {
        setRowHidden(row, collapsed);
    }
    MergeCells();
    if (collapsed && current > headerRow && CarriesItem(current) && isRowHidden(current)) {
        SetCurrentItemRow(headerRow);
    }
    viewport()->update();
}

void ItemGrid::HighlightConnectedPlc(std::int32_t pPlcKey)
{
    for (int row = 0; row < rowCount(); ++row) {
        if (!CarriesItem(row) || Row(row).plcKey != pPlcKey) {
            continue;
        }
        QTableWidgetItem* cell = item(row, kColCommParams);
        cell->setText(Row(row).commParamsText);
        // Back to the colour the row was filled with: a vector's elements share a light cell below its header.
        cell->setBackground(FilledBackground(row));
        cell->setForeground(Qt::black);
        cell->setToolTip(QString());
        QTableWidgetItem* value = item(row, kColValue);
        value->setForeground(Qt::black);
        value->setToolTip(QString());
    }
}

void ItemGrid::HighlightNotConnectedPlc(std::int32_t pPlcKey, const QString& reason)
{
    m_stopped.erase(pPlcKey); // not connected says more than stopped
    for (int row = 0; row < rowCount(); ++row) {
        if (!CarriesItem(row) || Row(row).plcKey != pPlcKey) {
            continue;
        }
        QTableWidgetItem* cell = item(row, kColCommParams);
        cell->setText(Row(row).commParamsText + kNotConnectedSuffix); // once, however often it fails
        cell->setBackground(kNotConnected);
        cell->setForeground(Qt::white);
        cell->setToolTip(reason.isEmpty() ? QString() : QStringLiteral("Not connected: %1").arg(reason));
        QTableWidgetItem* value = item(row, kColValue);
        if (m_unanswered.contains(pPlcKey)) {
            value->setToolTip(reason.isEmpty()
                                  ? QStringLiteral("No value yet: the PLC has not answered")
                                  : QStringLiteral("No value yet: the PLC has not answered: %1").arg(reason));
            continue;
        }
        value->setForeground(kStaleValue);
        value->setToolTip(reason.isEmpty() ? QStringLiteral("Stale: the PLC is not connected")
                                           : QStringLiteral("Stale: the PLC is not connected: %1").arg(reason));
    }
}

} // namespace tavrel::ui
