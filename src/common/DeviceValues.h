#pragma once

#include "common/Refusal.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::common {

// The values of a Modbus device item (PLC family 6) as its registers hold them: the data type and byte order
// stored with the item, the value texts every surface shows, and the registers a poke writes.

/// The kinds of value a device item holds.
enum class BaseType { Bool, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64, String, Bit };

/// The most characters a string(N) holds: 125 registers, the most one read of holding registers returns
/// (Modbus Application Protocol V1.1b3, 6.3).
inline constexpr int kMaxStringCharacters = 250;

/// A data type: the kind, and for String the number of characters (1-250), for Bit the bit index (0-15).
struct DataType
{
    BaseType base = BaseType::Int16;
    int size = 0; ///< characters of a string(N), index of a bit(K), 0 otherwise
    friend bool operator==(const DataType&, const DataType&) = default;
};

/// The data type of a stored text ("int32", "string(10)", "bit(3)"; case and blanks around ignored), or why not.
tl::expected<DataType, std::string> ParseDataType(std::string_view text);

/// The stored text of a data type, as ParseDataType reads it ("float32", "string(10)").
std::string DataTypeText(const DataType& type);

/// The registers one value of the type takes: 1 for bool, bit, int16, uint16; 2 for 32-bit; 4 for 64-bit;
/// N/2 rounded up for string(N).
std::size_t RegisterCount(const DataType& type);

/// How a value's bytes lie in its registers. With the value's bytes ABCD (A most significant), ABCD puts AB in
/// the first register; CDAB swaps the words, BADC the bytes in each word, DCBA both. 64-bit values extend the
/// pattern: ABCDEFGH, CDAB is GHEFCDAB, BADC is BADCFEHG, DCBA is HGFEDCBA. Strings use ABCD (stored "AB", the
/// first character in the high byte) or BADC ("BA"). One-register numbers swap bytes under BADC and DCBA; bool
/// and bit(K) ignore the order (K numbers the bits of the register as the device sends it).
enum class ByteOrder { ABCD, CDAB, BADC, DCBA };

/// The byte order of a stored text for a type: ABCD, CDAB, BADC or DCBA, for strings AB or BA; an empty text is
/// the default (ABCD, or AB for strings).
tl::expected<ByteOrder, std::string> ParseByteOrder(std::string_view text, const DataType& type);

/// The stored text of a byte order for a type ("CDAB"; "AB" or "BA" for strings).
std::string ByteOrderText(ByteOrder order, const DataType& type);

/// A linear scaling of a numeric raw value: value = low + (raw - rawLow) * (high - low) / (rawHigh - rawLow).
struct Scaling
{
    double rawLow = 0;
    double rawHigh = 1;
    double low = 0;
    double high = 1;
    friend bool operator==(const Scaling&, const Scaling&) = default;
};

/// The scaling of four finite numbers, or why not: rawLow equal to rawHigh divides by zero, low equal to high
/// could never be written back.
tl::expected<Scaling, std::string> MakeScaling(double rawLow, double rawHigh, double low, double high);

/// The engineering value of a raw value.
double ScaledValue(const Scaling& scaling, double raw);

/// The raw value of an engineering value, unrounded.
double RawValue(const Scaling& scaling, double value);

/// A value read from registers.
struct DecodedValue
{
    std::string text; ///< the value text every surface shows
    std::optional<double> number; ///< the value as a number (bool and bit 0 or 1), none for strings
};

/// The value of `registers` (exactly RegisterCount(type) of them) as value text: integers as they are; float32
/// and scaled values with seven significant digits (SingleToText), float64 with fifteen; "NaN", "Inf", "-Inf" for
/// the floats that are no numbers; bool and bit(K) "0" or "1"; strings with trailing NULs and blanks cut, and
/// every byte that is not UTF-8, or is a control character, written "\xNN", a backslash "\\". A scaling applies
/// to the numeric types only. Fails when the count of registers does not fit the type.
tl::expected<DecodedValue, std::string> DecodeValue(std::span<const std::uint16_t> registers, const DataType& type,
                                                    ByteOrder order, const std::optional<Scaling>& scaling = {});

/// The registers that hold the value of `text` (the value text form above; "NaN", "Inf", "-Inf" any case for the
/// floats; "\xNN" and "\\" in strings; "1"/"0" for bool and bit). With a scaling (numeric types only) the text is
/// the engineering value, and the raw value is rounded half away from zero to an integer type. Refuses with
/// BadValue a text that is no value of the type (a fraction for an unscaled integer), with OutOfRange a value the
/// type cannot hold (`units` names the engineering units in that reason). A bit(K) comes back in place in a
/// register whose other bits are 0: the caller merges it with the register's other bits (mask 1 << K).
tl::expected<std::vector<std::uint16_t>, Refusal> EncodeValue(std::string_view text, const DataType& type,
                                                              ByteOrder order,
                                                              const std::optional<Scaling>& scaling = {},
                                                              std::string_view units = {});

} // namespace tavrel::common
