#pragma once

#include "common/NumberText.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::common {

/// The highest legal count of 10 ms timer ticks: 99:59:59.99.
inline constexpr std::int32_t kMaxTimerTicks = 35999999;

/// Exchanges the two 16-bit halves of a 32-bit word in place.
void SwapWordHalves(std::uint32_t& word);

/// The single-precision text form of the float held, halves exchanged, in `word`.
std::string FloatTextFromSwappedWord(std::int32_t word, char decimalSeparator = '.');

/// The swapped float word of a float: its bit pattern with the two 16-bit halves exchanged.
std::int32_t SwappedWordFromFloat(float value);

/// "hh:mm:ss.cc" of a count of 10 ms ticks, limited to 00:00:00.00 .. 99:59:59.99.
std::string TimerTicksToText(std::int32_t ticks);

/// The ticks of a timer text: whole numbers at positions 1, 4, 7 and 10 (two characters each), only the
/// total limited to 0 .. 35999999.
std::int32_t TimerTextToTicks(std::string_view text);

/// The ticks of a text in the timer text form "hh:mm:ss.cc" (blanks around allowed), each field two digits;
/// fields are not limited on their own ("00:75:00.00" is 75 minutes). NotANumber for any other text, OutOfRange
/// for a total beyond 35999999: a poke is taken only as a timer text and never limited to some other value.
tl::expected<std::int32_t, NumberError> ParseTimerText(std::string_view text);

/// The ticks limited to 0 .. 35999999.
std::int32_t ClampTimerTicks(std::int64_t ticks);

/// The whole number written in the slice of `length` characters from 1-based `start`, or 0 when the slice
/// is empty or not a number (or does not fit in 32 bits).
std::int32_t MidNumber(std::string_view text, std::size_t start, std::size_t length);

/// The count of a raw timer word (bits 0..13) times the factor of its time base (bits 14, 15).
std::int32_t TimerWordToNumber(std::uint16_t word);

/// True when the text is a whole number (after rounding) from 0 to 2147483647.
bool IsNonNegativeNumberText(std::string_view text);

/// True for four "."-separated numbers from 0 to 255 (after rounding).
bool IsValidIpAddressText(std::string_view text);

} // namespace tavrel::common
