#include "ui/DefinePlcLists.h"

#include "common/OperandCatalogue.h"
#include "ui/WindowTools.h"

#include <QComboBox>

#include <array>
#include <string_view>
#include <utility>

namespace tavrel::ui::defineplc {

namespace {

/// Marks the list entries that stand for a stored value the list does not offer.
constexpr int kUnknownEntryRole = Qt::UserRole + 1;

using Entry = std::pair<const char*, int>;

constexpr std::array<int, 7> kBaudRates { 2400, 4800, 9600, 19200, 38400, 57600, 115200 };
constexpr std::array<int, 2> kDataBits { 7, 8 };
constexpr std::array<Entry, 3> kParities { { { "None", 0 }, { "Odd", 1 }, { "Even", 2 } } };
constexpr std::array<int, 2> kStopBits { 1, 2 };
constexpr std::array<Entry, 7> kTimeOuts { { { "0.5 sec", 500 },
                                             { "1 sec", 1000 },
                                             { "1.5 sec", 1500 },
                                             { "2 sec", 2000 },
                                             { "4 sec", 4000 },
                                             { "6 sec", 6000 },
                                             { "10 sec", 10000 } } };
constexpr std::array<int, 5> kRetries { 1, 3, 5, 8, 12 };
constexpr std::array<int, 3> kDirections { common::direction::Read, common::direction::Write,
                                           common::direction::ReadWrite };
constexpr int kUnitCount = 128;
constexpr int kLastCanBusUnit = 63;
constexpr int kComPortCount = 16;

QString FromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template<std::size_t N> void AddNumbers(QComboBox& list, const std::array<int, N>& numbers)
{
    for (const int number : numbers) {
        list.addItem(QString::number(number), number);
    }
}

template<std::size_t N> void AddEntries(QComboBox& list, const std::array<Entry, N>& entries)
{
    for (const auto& [text, code] : entries) {
        list.addItem(QString::fromLatin1(text), code);
    }
}

} // namespace

std::optional<int> ChosenCode(const QComboBox& list)
{
    if (list.currentIndex() < 0) {
        return std::nullopt;
    }
    return list.currentData().toInt();
}

bool IsUnknownChosen(const QComboBox& list)
{
    return list.currentIndex() >= 0 && list.currentData(kUnknownEntryRole).toBool();
}

void ShowCode(QComboBox& list, int code)
{
    SelectComboByItemData(list, code);
    if (list.currentIndex() >= 0 && list.currentData().toInt() == code) {
        return;
    }
    // A stored value the list does not offer is shown as what it is; OK refuses it until a valid one is chosen.
    list.addItem(QStringLiteral("(unknown: %1)").arg(code), code);
    list.setItemData(list.count() - 1, true, kUnknownEntryRole);
    list.setCurrentIndex(list.count() - 1);
}

void AddPlcTypes(QComboBox& list)
{
    for (const common::PlcFamily& family : common::PlcFamilies()) {
        list.addItem(FromView(family.name), family.code);
    }
}

void AddUnitIds(QComboBox& list)
{
    list.addItem(QStringLiteral("Direct"), 0);
    for (int unit = 1; unit < kUnitCount; ++unit) {
        const QString bus = unit <= kLastCanBusUnit ? QStringLiteral(" (CANbus)") : QStringLiteral(" (RS485)");
        list.addItem(QString::number(unit).leftJustified(4, QLatin1Char(' ')) + bus, unit);
    }
}

void AddComPorts(QComboBox& list)
{
    for (int port = 1; port <= kComPortCount; ++port) {
        list.addItem(QStringLiteral("COM %1").arg(port), port);
    }
}

void AddBaudRates(QComboBox& list)
{
    AddNumbers(list, kBaudRates);
}

void AddTimeOuts(QComboBox& list)
{
    AddEntries(list, kTimeOuts);
}

void AddRetries(QComboBox& list)
{
    AddNumbers(list, kRetries);
}

void AddDataBits(QComboBox& list)
{
    AddNumbers(list, kDataBits);
}

void AddParities(QComboBox& list)
{
    AddEntries(list, kParities);
}

void AddStopBits(QComboBox& list)
{
    AddNumbers(list, kStopBits);
}

void AddDirections(QComboBox& list)
{
    for (const int direction : kDirections) {
        list.addItem(FromView(common::IoDirectionName(direction)), direction);
    }
}

void AddOperandTypes(QComboBox& list, int plcType)
{
    for (const std::int32_t code : common::OfferedOperandTypes(plcType)) {
        list.addItem(FromView(common::OperandTypeName(code)), code);
    }
}

} // namespace tavrel::ui::defineplc
