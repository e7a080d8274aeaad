#include "ui/ItemGrid.h"
#include "UiTestTools.h"

#include "common/OperandCatalogue.h"
#include "model/clsConfig.h"
#include "ui/Pictures.h"

#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

#include <map>

using namespace tavrel;
using ui::ItemGrid;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

using test::AddItem;
using test::CellCentre;
using test::Project;
using test::RowKinds;

enum class Shape { Empty, PlcWithoutItems, ScalarVectorScalar, TwoPlcs };

void Build(Project& project, Shape shape)
{
    switch (shape) {
    case Shape::Empty:
        break;
    case Shape::PlcWithoutItems:
        project.AddPlc("Line_1");
        break;
    case Shape::ScalarVectorScalar: {
        model::clsPlc& plc = project.AddPlc("Line_1");
        AddItem(plc, op::MI, 1);
        AddItem(plc, op::MI, 10, 3);
        AddItem(plc, op::MI, 20);
        break;
    }
    case Shape::TwoPlcs:
        AddItem(project.AddPlc("Line_1"), op::MB, 0);
        AddItem(project.AddPlc("Line_2"), op::MI, 0, 2);
        break;
    }
}

QColor Background(const ItemGrid& grid, int row, int column)
{
    return grid.item(row, column)->background().color();
}

QColor Foreground(const ItemGrid& grid, int row, int column)
{
    return grid.item(row, column)->foreground().color();
}

} // namespace

Q_DECLARE_METATYPE(Shape)

class ItemGridTest : public QObject
{
    Q_OBJECT

private slots:
    void RowsFollowTheProject_data()
    {
        QTest::addColumn<Shape>("shape");
        QTest::addColumn<QString>("kinds");
        QTest::newRow("empty project: header only") << Shape::Empty << "";
        QTest::newRow("PLC without items: its hidden lead row") << Shape::PlcWithoutItems << "L";
        QTest::newRow("single, vector of three, single") << Shape::ScalarVectorScalar << "LSpHpEEES";
        QTest::newRow("two PLCs") << Shape::TwoPlcs << "LSLpHpEE";
    }

    void RowsFollowTheProject()
    {
        QFETCH(Shape, shape);
        QFETCH(QString, kinds);
        Project project;
        Build(project, shape);
        ItemGrid grid;
        grid.Fill(project.config);

        QCOMPARE(RowKinds(grid), kinds);
        for (int row = 0; row < grid.rowCount(); ++row) {
            const QChar kind = kinds.at(row);
            QCOMPARE(grid.isRowHidden(row), kind == QLatin1Char('L'));
            if (kind == QLatin1Char('p')) {
                QCOMPARE(grid.rowHeight(row), 0);
            } else if (kind != QLatin1Char('L')) {
                QVERIFY(grid.rowHeight(row) > 0);
            }
            QCOMPARE(grid.CarriesItem(row), QStringLiteral("SHE").contains(kind));
            // Items and vector headers are peach right of the PLC name; the rest light yellow.
            const bool peach = kind == QLatin1Char('S') || kind == QLatin1Char('H');
            QCOMPARE(Background(grid, row, ItemGrid::kColPlc), ItemGrid::kLightYellow);
            QCOMPARE(Background(grid, row, ItemGrid::kColDirection), peach ? ItemGrid::kPeach : ItemGrid::kLightYellow);
        }
    }

    void AnItemShowsThePictureOfItsPlcsFamily()
    {
        Project project;
        // The PLC type, and the picture its items show: none, picQ40 or picOrbis.
        const std::pair<int, const char*> types[] { { 0, "" },      { 1, "Q40" },   { 2, "Q40" }, { 3, "Orbis" },
                                                    { 4, "Orbis" }, { 5, "Orbis" }, { 9, "" } };
        for (const auto& [plcType, picture] : types) {
            model::CommParams params;
            params.PlcType = plcType;
            AddItem(project.AddPlc("Type_" + std::to_string(plcType), params), op::MI, 0);
        }
        ItemGrid grid;
        grid.Fill(project.config);
        QCOMPARE(RowKinds(grid), QStringLiteral("LS").repeated(7));
        for (std::size_t position = 0; position < std::size(types); ++position) {
            const QIcon shown = grid.item(static_cast<int>(position) * 2 + 1, ItemGrid::kColPlc)->icon();
            const QString picture = QString::fromLatin1(types[position].second);
            QCOMPARE(shown.isNull(), picture.isEmpty());
            if (!picture.isEmpty()) {
                QCOMPARE(shown.cacheKey(),
                         (picture == QLatin1String("Q40") ? ui::PicQ40() : ui::PicOrbis()).cacheKey());
            }
        }
    }

    void HeaderAndElementRowsShowTheirOwnTexts()
    {
        Project project;
        model::clsPlc& plc = project.AddPlc("Line_1");
        AddItem(plc, op::MI, 10, 8, 5, dir::ReadWrite);
        ItemGrid grid;
        grid.Fill(project.config);
        QCOMPARE(RowKinds(grid), QStringLiteral("LpHpEEEEEEEE"));

        const QStringList header { "Line_1", "", "MI", "10",         "8",    "",      "lblDDE(5-12)",
                                   "",       "", "",   "Read/Write", "True", "False", "COM 1 ; 57600" };
        for (int column = 0; column < ItemGrid::kColumnCount; ++column) {
            QCOMPARE(grid.item(2, column)->text(), header.at(column));
        }
        for (int element = 0; element < 8; ++element) {
            const int row = 4 + element;
            QCOMPARE(grid.item(row, ItemGrid::kColOutline)->text(), QStringLiteral("1"));
            QCOMPARE(grid.item(row, ItemGrid::kColAddress)->text(), QString::number(10 + element));
            QCOMPARE(grid.item(row, ItemGrid::kColLength)->text(), QStringLiteral("1"));
            QCOMPARE(grid.item(row, ItemGrid::kColDdeName)->text(), QStringLiteral("lblDDE(%1)").arg(5 + element));
            QCOMPARE(grid.Row(row).labelIndex, 5 + element);
        }
    }

    void ItemsShowTheirNameDataTypeAndUnits()
    {
        Project project;
        model::clsPlc& plc = project.AddPlc("Meter");
        model::Clsitem& volts = AddItem(plc, op::MI, 0);
        volts.Details.dataType = common::DataType { common::BaseType::Float32 };
        volts.Details.byteOrder = common::ByteOrder::CDAB;
        volts.Details.name = "Voltage_L1";
        volts.Details.units = "V";
        volts.Details.description = "phase 1 to neutral";
        model::Clsitem& serial = AddItem(plc, op::MI, 10);
        serial.Details.dataType = common::DataType { common::BaseType::String, 16 };
        AddItem(plc, op::Coil, 0); // a device table's own type
        model::Clsitem& amps = AddItem(plc, op::MI, 20, 2);
        amps.colItems()[0].Details.name = "Current";
        amps.colItems()[1].Details.name = "Current[1]";
        for (model::Clsitem& element : amps.colItems()) {
            element.Details.units = "A";
        }
        ItemGrid grid;
        grid.Fill(project.config);
        QCOMPARE(RowKinds(grid), QStringLiteral("LSSSpHpEE"));

        struct Shown
        {
            int row;
            const char* dataType;
            const char* name;
            const char* units;
        };
        for (const Shown& shown : { Shown { 1, "float32 CDAB", "Voltage_L1", "V" }, Shown { 2, "string(16)", "", "" },
                                    Shown { 3, "bool", "", "" }, Shown { 5, "", "Current", "A" },
                                    Shown { 7, "", "Current", "A" }, Shown { 8, "", "Current[1]", "A" } }) {
            QCOMPARE(grid.item(shown.row, ItemGrid::kColDataType)->text(), QString::fromUtf8(shown.dataType));
            QCOMPARE(grid.item(shown.row, ItemGrid::kColName)->text(), QString::fromUtf8(shown.name));
            QCOMPARE(grid.item(shown.row, ItemGrid::kColUnits)->text(), QString::fromUtf8(shown.units));
        }
        QCOMPARE(grid.item(1, ItemGrid::kColName)->toolTip(), QStringLiteral("phase 1 to neutral"));
        QCOMPARE(grid.rowSpan(7, ItemGrid::kColUnits), 2); // the elements share one cell
        QCOMPARE(grid.rowSpan(7, ItemGrid::kColName), 1);
    }

    void EqualNeighboursMergeWithinAVectorAndAPlc()
    {
        Project project;
        Build(project, Shape::ScalarVectorScalar); // L S p H p E E E S, every item MI, Read, enabled
        AddItem(project.AddPlc("Line_2"), op::MI, 30); // L S
        ItemGrid grid;
        grid.Fill(project.config);

        // The PLC name is one cell per PLC, over every row but the lead row.
        QCOMPARE(grid.rowSpan(1, ItemGrid::kColPlc), 8);
        QCOMPARE(grid.rowSpan(10, ItemGrid::kColPlc), 1);
        // The elements share their operand type cell, but neither with the header nor with the next item.
        QCOMPARE(grid.rowSpan(5, ItemGrid::kColOperandType), 3);
        QCOMPARE(grid.rowSpan(3, ItemGrid::kColOperandType), 1);
        QCOMPARE(grid.rowSpan(8, ItemGrid::kColOperandType), 1);
        // The lead row of the next PLC parts equal texts of two PLCs.
        QCOMPARE(grid.rowSpan(8, ItemGrid::kColDirection), 1);
        // Address, length and name never merge.
        for (int column : { ItemGrid::kColAddress, ItemGrid::kColLength, ItemGrid::kColDdeName }) {
            for (int row = 0; row < grid.rowCount(); ++row) {
                QCOMPARE(grid.rowSpan(row, column), 1);
            }
        }
    }

    void NotConnectedAndConnectedAgain()
    {
        Project project;
        Build(project, Shape::TwoPlcs); // L S L p H p E E
        ItemGrid grid;
        grid.Fill(project.config);
        const QString plain = QStringLiteral("COM 1 ; 57600");
        const std::int32_t second = project.config.colPlcs().back()->Key;
        project.config.colPlcs().back()->Answered = true;
        grid.FollowAnswers(project.config);

        std::map<int, QColor> filled;
        for (int row : { 4, 6, 7 }) {
            filled[row] = Background(grid, row, ItemGrid::kColCommParams);
        }
        grid.HighlightNotConnectedPlc(second, QStringLiteral("no answer"));
        grid.HighlightNotConnectedPlc(second, QStringLiteral("no answer")); // a retry that fails again
        for (int row : { 4, 6, 7 }) {
            QCOMPARE(grid.item(row, ItemGrid::kColCommParams)->text(), plain + QStringLiteral(" (NOT CONNECTED)"));
            QCOMPARE(Background(grid, row, ItemGrid::kColCommParams), ItemGrid::kNotConnected);
            QCOMPARE(Foreground(grid, row, ItemGrid::kColValue), ItemGrid::kStaleValue);
            QVERIFY(grid.item(row, ItemGrid::kColValue)->toolTip().contains(QStringLiteral("no answer")));
        }
        QCOMPARE(grid.item(1, ItemGrid::kColCommParams)->text(), plain); // the other PLC
        QCOMPARE(Foreground(grid, 1, ItemGrid::kColValue), QColor(Qt::black));
        QCOMPARE(grid.item(3, ItemGrid::kColCommParams)->text(), QString()); // a spacer row

        grid.HighlightConnectedPlc(second);
        for (int row : { 4, 6, 7 }) {
            QCOMPARE(grid.item(row, ItemGrid::kColCommParams)->text(), plain);
            QCOMPARE(Background(grid, row, ItemGrid::kColCommParams), filled[row]); // as filled, elements light
            QCOMPARE(Foreground(grid, row, ItemGrid::kColValue), QColor(Qt::black));
            QVERIFY(grid.item(row, ItemGrid::kColValue)->toolTip().isEmpty());
        }

        grid.HighlightNotConnectedPlc(99, QString());
        for (int row = 0; row < grid.rowCount(); ++row) {
            QVERIFY(!grid.item(row, ItemGrid::kColCommParams)->text().contains(QStringLiteral("NOT CONNECTED")));
        }
    }

    void ValuesFollowTheirLabelsCellByCell()
    {
        Project project;
        Build(project, Shape::TwoPlcs); // L S L p H p E E: lblDDE(1) single, lblDDE(2..3) the vector
        for (const auto& plc : project.config.colPlcs()) {
            plc->Answered = true;
        }
        ItemGrid grid;
        QVERIFY(project.labels.SetText(1, "7"));
        grid.ShowValuesOf(&project.labels);
        grid.Fill(project.config);
        QCOMPARE(grid.item(1, ItemGrid::kColValue)->text(), QStringLiteral("7")); // the text before the fill
        grid.SetCurrentItemRow(6);

        QList<QTableWidgetItem*> cells;
        for (int row = 0; row < grid.rowCount(); ++row) {
            cells << grid.item(row, ItemGrid::kColValue);
        }
        QVERIFY(project.labels.SetText(1, "-12"));
        QVERIFY(project.labels.SetText(3, "1.5"));
        QVERIFY(project.labels.SetText(2, "0"));
        QCOMPARE(grid.item(1, ItemGrid::kColValue)->text(), QStringLiteral("-12"));
        QCOMPARE(grid.item(6, ItemGrid::kColValue)->text(), QStringLiteral("0"));
        QCOMPARE(grid.item(7, ItemGrid::kColValue)->text(), QStringLiteral("1.5"));
        QCOMPARE(grid.item(4, ItemGrid::kColValue)->text(), QString()); // the vector's header row
        // Changed in place: the same cells, the same rows and the same current row.
        for (int row = 0; row < grid.rowCount(); ++row) {
            QCOMPARE(grid.item(row, ItemGrid::kColValue), cells.at(row));
        }
        QCOMPARE(grid.CurrentItemRow(), 6);

        QVERIFY(project.labels.Unload(3).has_value());
        QCOMPARE(grid.item(7, ItemGrid::kColValue)->text(), QString());
        QVERIFY(project.labels.SetText(9, "x") == false); // a label no row shows changes nothing
        grid.ShowValuesOf(nullptr);
        QVERIFY(project.labels.SetText(1, "5"));
        QCOMPARE(grid.item(1, ItemGrid::kColValue)->text(), QString());
    }

    void APlcThatHasNotAnsweredShowsNoValuesRatherThanStaleOnes()
    {
        Project project;
        Build(project, Shape::TwoPlcs); // L S L p H p E E: Line_1 has lblDDE(1), Line_2 lblDDE(2..3)
        model::clsPlc& second = *project.config.colPlcs().back();
        project.config.colPlcs().front()->Answered = true;
        QVERIFY(project.labels.SetText(1, "7"));
        QVERIFY(project.labels.SetText(2, "5")); // what an earlier run left
        ItemGrid grid;
        grid.ShowValuesOf(&project.labels);
        grid.Fill(project.config);
        QCOMPARE(grid.item(1, ItemGrid::kColValue)->text(), QStringLiteral("7"));
        QCOMPARE(grid.item(6, ItemGrid::kColValue)->text(), QString());

        grid.HighlightNotConnectedPlc(second.Key, QStringLiteral("no answer"));
        QVERIFY(project.labels.SetText(3, "9"));
        for (int row : { 6, 7 }) {
            QCOMPARE(grid.item(row, ItemGrid::kColValue)->text(), QString());
            QCOMPARE(Foreground(grid, row, ItemGrid::kColValue), QColor(Qt::black));
            QVERIFY(grid.item(row, ItemGrid::kColValue)->toolTip().contains(QStringLiteral("no answer")));
        }

        second.Answered = true;
        grid.FollowAnswers(project.config);
        QCOMPARE(grid.item(6, ItemGrid::kColValue)->text(), QStringLiteral("5"));
        QCOMPARE(grid.item(7, ItemGrid::kColValue)->text(), QStringLiteral("9"));
        grid.HighlightNotConnectedPlc(second.Key, QStringLiteral("lost")); // read, then lost: stale
        QCOMPARE(grid.item(6, ItemGrid::kColValue)->text(), QStringLiteral("5"));
        QCOMPARE(Foreground(grid, 6, ItemGrid::kColValue), ItemGrid::kStaleValue);

        for (const auto& plc : project.config.colPlcs()) {
            plc->Answered = false; // a new run
        }
        grid.FollowAnswers(project.config);
        QCOMPARE(grid.item(1, ItemGrid::kColValue)->text(), QString());
        QCOMPARE(grid.item(7, ItemGrid::kColValue)->text(), QString());
    }

    void KeysVisitOnlyRowsWithAnItemAndTheCurrentOneIsMarked()
    {
        Project project;
        Build(project, Shape::ScalarVectorScalar); // L S p H p E E E S
        ItemGrid grid;
        grid.Fill(project.config);
        QCOMPARE(grid.CurrentItemRow(), -1);
        QSignalSpy changes(&grid, &ItemGrid::currentItemRowChanged);
        const auto visit = [&grid](int key, int steps, Qt::KeyboardModifiers modifiers = {}) {
            QList<int> visited;
            for (int step = 0; step < steps; ++step) {
                QTest::keyClick(&grid, Qt::Key(key), modifiers);
                visited << grid.CurrentItemRow();
            }
            return visited;
        };

        QCOMPARE(visit(Qt::Key_Down, 7), (QList<int> { 1, 3, 5, 6, 7, 8, 8 }));
        QCOMPARE(changes.count(), 6);
        QCOMPARE(changes.last().at(0).toInt(), 8);
        const QColor highlight = grid.palette().color(QPalette::Active, QPalette::Highlight);
        for (int column : { ItemGrid::kColAddress, ItemGrid::kColLength, ItemGrid::kColDdeName }) {
            QCOMPARE(Background(grid, 8, column), highlight);
            QCOMPARE(Foreground(grid, 8, column), QColor(Qt::white));
            QCOMPARE(Background(grid, 1, column), ItemGrid::kPeach); // an outline node again
            QCOMPARE(Background(grid, 5, column), ItemGrid::kLightYellow); // an element again
            QCOMPARE(Foreground(grid, 5, column), QColor(Qt::black));
        }
        QCOMPARE(Background(grid, 8, ItemGrid::kColOperandType), ItemGrid::kPeach);

        grid.SetCurrentItemRow(5);
        QCOMPARE(visit(Qt::Key_Up, 3), (QList<int> { 3, 1, 1 }));
        QCOMPARE(visit(Qt::Key_End, 1, Qt::ControlModifier), QList<int> { 8 });
        grid.SetCurrentItemRow(2); // a spacer row cannot be made current
        QCOMPARE(grid.CurrentItemRow(), -1);

        grid.SetCollapsed(3, true);
        grid.SetCurrentItemRow(3);
        QCOMPARE(visit(Qt::Key_Down, 1), QList<int> { 8 });
    }

    void MouseClicksActOnTheRowUnderTheMouse()
    {
        Project project;
        Build(project, Shape::ScalarVectorScalar); // L S p H p E E E S
        ItemGrid grid;
        grid.resize(900, 400);
        grid.Fill(project.config);
        grid.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grid));
        QSignalSpy rightClicks(&grid, &ItemGrid::itemRowRightClicked);
        QSignalSpy doubleClicks(&grid, &ItemGrid::itemRowDoubleClicked);
        const auto centre = [&grid](int row, int column) { return CellCentre(grid, row, column); };

        // The PLC name is one merged cell starting at a spacer row; a click on it takes the row under the mouse.
        QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, centre(6, ItemGrid::kColPlc));
        QCOMPARE(grid.CurrentItemRow(), 6);

        QTest::mouseClick(grid.viewport(), Qt::RightButton, {}, centre(8, ItemGrid::kColDdeName));
        QCOMPARE(grid.CurrentItemRow(), 8);
        QCOMPARE(rightClicks.count(), 1);
        QCOMPARE(rightClicks.last().at(0).toInt(), 8);

        const QPoint belowTheRows(50, grid.rowViewportPosition(8) + grid.rowHeight(8) + 40);
        QTest::mouseClick(grid.viewport(), Qt::RightButton, {}, belowTheRows);
        QCOMPARE(rightClicks.count(), 1);
        QCOMPARE(grid.CurrentItemRow(), 8);

        QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, centre(5, ItemGrid::kColAddress));
        QCOMPARE(doubleClicks.count(), 1);
        QCOMPARE(doubleClicks.last().at(0).toInt(), 5);

        QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, centre(3, ItemGrid::kColOutline));
        QVERIFY(grid.isRowHidden(5) && grid.isRowHidden(7) && !grid.isRowHidden(8));
        QCOMPARE(grid.CurrentItemRow(), 3);
        QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, centre(3, ItemGrid::kColOutline));
        QVERIFY(!grid.isRowHidden(5));
    }
};

QTEST_MAIN(ItemGridTest)
#include "ItemGridTest.moc"
