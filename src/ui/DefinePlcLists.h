#pragma once

#include <optional>

class QComboBox;

/// The pick lists of the Define PLC dialog: each entry a text and the code the model stores, and the few rules for
/// reading a choice back.
namespace tavrel::ui::defineplc {

/// The code of the chosen entry, or nothing when none is chosen.
std::optional<int> ChosenCode(const QComboBox& list);

/// True when the chosen entry stands for a stored value the list does not offer.
bool IsUnknownChosen(const QComboBox& list);

/// Chooses the entry of a code; a code the list does not offer gets an entry "(unknown: code)" of its own.
void ShowCode(QComboBox& list, int code);

/// The PLC families, in the order of the family table.
void AddPlcTypes(QComboBox& list);
/// "Direct", then units 1 to 63 on CANbus and 64 to 127 on RS485.
void AddUnitIds(QComboBox& list);
/// COM 1 to COM 16.
void AddComPorts(QComboBox& list);
void AddBaudRates(QComboBox& list);
void AddTimeOuts(QComboBox& list);
void AddRetries(QComboBox& list);
void AddDataBits(QComboBox& list);
void AddParities(QComboBox& list);
void AddStopBits(QComboBox& list);
void AddDirections(QComboBox& list);
/// The operand types a PLC type's family offers, in the family's order.
void AddOperandTypes(QComboBox& list, int plcType);

} // namespace tavrel::ui::defineplc
