#pragma once

#include "comm/CommDriver.h"
#include "comm/CommEnvironment.h"
#include "common/BinaryMix.h"
#include "common/ItemValue.h"
#include "common/Refusal.h"
#include "model/Clsitem.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavrel::comm {

/// The value an item of `operandType` takes from one batched-read record.
common::ItemValue ToOperandValueVariant(std::int32_t operandType, const common::OperandValue& value,
                                        char decimalSeparator = '.');

/// Takes the values of a batched read, one per operand, and publishes them on the item's labels (the engineering
/// value of a scaled item); a Read/Write label holding a client's poke is left alone and the poke noted. False, and
/// nothing changed, when the number of values does not match the item.
bool UpdateValues(model::Clsitem& item, std::span<const common::OperandValue> pValues, char decimalSeparator = '.');

/// Takes a Modbus device item's entry of a batched read and publishes its values as UpdateValues does; a value the
/// device would not give leaves its label as it was and gets the reason in BadReason (cleared when it reads again),
/// and the label's observers are told either way.
void UpdateDeviceValues(model::Clsitem& item, const common::BinaryMixEntry& entry);

/// Reads the item (each child of a vector, stopping at the first failure) one operand at a time and
/// publishes the values. False when a driver read failed or threw.
bool ReadAsciiFromPlcAndUpdateItem(model::Clsitem& item, CommDriver& pCommDrv, char decimalSeparator = '.');

/// Reads one operand with the driver operation of its type. Nothing when the type has no read; false when the
/// driver failed or threw. Touches no item: it may run away from the model.
std::optional<bool> ReadOperand(CommDriver& driver, std::int32_t operandType, std::int32_t address,
                                common::ItemValue& value);

/// Publishes what ReadOperand gave for a single item or child of a vector (`result` and `read`), as the
/// item-by-item read does. False when the read failed.
bool PublishOperandRead(model::Clsitem& item, const std::optional<bool>& result, const common::ItemValue& read,
                        char decimalSeparator = '.');

/// The one check of a text poked into a single item or an element of a vector, made before anything is
/// noted: the item takes pokes (else NotWritable); the text is a value of the operand's kind (else BadValue: not
/// a number or timer text, an empty text) within its range (else OutOfRange); and, when `driver` is given, the
/// PLC's operand can hold it (a bit 0 or 1, a double word a whole number from 0 to 4294967295, ...: OutOfRange,
/// or NotWritable for an operand that takes no value at all). A scaled item takes its engineering value, a Modbus
/// device item a value of its data type (EncodeDevicePoke). Nothing when it can be written.
std::optional<common::Refusal> CheckPoke(const model::Clsitem& item, std::string_view text, const CommDriver* driver,
                                         char decimalSeparator = '.');

/// Keeps the pokes waiting on the item's labels (each child's of a vector) pending for a later write pass:
/// the read that noted them would otherwise take them for published values and write over them.
void KeepPokesPending(model::Clsitem& item, char decimalSeparator = '.');

/// A refused poke, as the write pass reports it.
struct RefusedPoke
{
    const model::Clsitem* item;
    std::string reason;
};

/// What the write pass did with one single item or child of a vector.
struct OperandWrite
{
    enum class Outcome {
        Idle, ///< nothing was pending; the idle request was sent
        Written,
        Dropped, ///< the poke can never be written (refused by the checks or by the driver); `reason` says why
        Failed ///< the exchange failed; the poke stays pending
    };
    Outcome outcome;
    std::string reason;
};

/// The driver's half of writing one operand whose label shows `labelText` and whose last published value is
/// `publishedText`, with the item's `details` (scaling, a device item's data type): writes a pending poke, or sends
/// the idle request (none to a Modbus device, which may not have the register it reads). Touches no item: it may
/// run away from the model.
OperandWrite WriteOperand(CommDriver& driver, std::int32_t operandType, std::int32_t address,
                          const std::string& labelText, const std::string& publishedText, char decimalSeparator = '.',
                          const model::ItemDetails& details = {});

/// The item's half: drops a refused poke, keeps a failed one pending, clears a written write-only label. False
/// when the write failed.
bool FinishOperandWrite(model::Clsitem& item, const OperandWrite& write, char decimalSeparator = '.',
                        const std::function<void(const RefusedPoke&)>& refused = {});

/// Writes what a client poked into the item's labels (each child of a vector, stopping at the first
/// failure). A text that CheckPoke refuses is dropped without a write, and so is one the driver refuses when
/// asked to write it: the label goes back to the last published value and `refused` is called; neither
/// counts as a failure. False when a driver write failed in the exchange or threw; that poke stays pending.
bool WriteToPlcAndUpdateItem(model::Clsitem& item, CommDriver& pCommDrv, char decimalSeparator = '.',
                             const std::function<void(const RefusedPoke&)>& refused = {});

} // namespace tavrel::comm
