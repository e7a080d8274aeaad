#include "common/ValueConversions.h"

#include "common/NumberText.h"

#include <bit>
#include <limits>

namespace tavrel::common {

namespace {

constexpr std::int32_t kTicksPerHour = 360000;
constexpr std::int32_t kTicksPerMinute = 6000;
constexpr std::int32_t kTicksPerSecond = 100;

void AppendTwoDigits(std::string& text, std::int32_t value)
{
    if (value < 10) {
        text += '0';
    }
    text += std::to_string(value);
}

} // namespace

void SwapWordHalves(std::uint32_t& word) { word = (word << 16) | (word >> 16); }

std::string FloatTextFromSwappedWord(std::int32_t word, char decimalSeparator)
{
    auto bits = static_cast<std::uint32_t>(word);
    SwapWordHalves(bits);
    return SingleToText(std::bit_cast<float>(bits), decimalSeparator);
}

std::int32_t SwappedWordFromFloat(float value)
{
    auto bits = std::bit_cast<std::uint32_t>(value);
    SwapWordHalves(bits);
    return static_cast<std::int32_t>(bits);
}

std::string TimerTicksToText(std::int32_t ticks)
{
    std::int32_t rest = ClampTimerTicks(ticks);
    const std::int32_t hours = rest / kTicksPerHour;
    rest -= hours * kTicksPerHour;
    const std::int32_t minutes = rest / kTicksPerMinute;
    rest -= minutes * kTicksPerMinute;
    const std::int32_t seconds = rest / kTicksPerSecond;
    const std::int32_t hundredths = rest - seconds * kTicksPerSecond;

    std::string text;
    AppendTwoDigits(text, hours);
    text += ':';
    AppendTwoDigits(text, minutes);
    text += ':';
    AppendTwoDigits(text, seconds);
    text += '.';
    AppendTwoDigits(text, hundredths);
    return text;
}

std::int32_t TimerTextToTicks(std::string_view text)
{
    // Each slice is at most two characters, so every field lies within -9 .. 99 and the sum fits easily.
    const std::int64_t ticks = std::int64_t{MidNumber(text, 1, 2)} * kTicksPerHour
        + std::int64_t{MidNumber(text, 4, 2)} * kTicksPerMinute + std::int64_t{MidNumber(text, 7, 2)} * kTicksPerSecond
        + MidNumber(text, 10, 2);
    return ClampTimerTicks(ticks);
}

tl::expected<std::int32_t, NumberError> ParseTimerText(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    const std::string_view form
        = first == std::string_view::npos ? std::string_view {} : text.substr(first, last - first + 1);
    constexpr std::string_view kPattern = "00:00:00.00";
    if (form.size() != kPattern.size()) {
        return tl::make_unexpected(NumberError::NotANumber);
    }
    for (std::size_t i = 0; i < form.size(); ++i) {
        const bool digit = form[i] >= '0' && form[i] <= '9';
        if (kPattern[i] == '0' ? !digit : form[i] != kPattern[i]) {
            return tl::make_unexpected(NumberError::NotANumber);
        }
    }
    const auto field = [&](std::size_t at) { return (form[at] - '0') * 10 + (form[at + 1] - '0'); };
    const std::int64_t ticks = std::int64_t { field(0) } * kTicksPerHour + std::int64_t { field(3) } * kTicksPerMinute
        + std::int64_t { field(6) } * kTicksPerSecond + field(9);
    if (ticks > kMaxTimerTicks) {
        return tl::make_unexpected(NumberError::OutOfRange);
    }
    return static_cast<std::int32_t>(ticks);
}

std::int32_t ClampTimerTicks(std::int64_t ticks)
{
    if (ticks > kMaxTimerTicks) {
        return kMaxTimerTicks;
    }
    if (ticks < 0) {
        return 0;
    }
    return static_cast<std::int32_t>(ticks);
}

std::int32_t MidNumber(std::string_view text, std::size_t start, std::size_t length)
{
    if (start < 1 || start > text.size()) {
        return 0;
    }
    const auto number = ParseWholeNumber(text.substr(start - 1, length), std::numeric_limits<std::int32_t>::min(),
                                         std::numeric_limits<std::int32_t>::max());
    return number ? static_cast<std::int32_t>(*number) : 0;
}

std::int32_t TimerWordToNumber(std::uint16_t word)
{
    const std::int32_t count = word & 0x3FFF;
    const bool bit14 = (word & 0x4000) != 0;
    const bool bit15 = (word & 0x8000) != 0;
    std::int32_t factor = 10;
    if (bit14 && bit15) {
        factor = 10000;
    } else if (bit14) {
        factor = 1000;
    } else if (bit15) {
        factor = 100;
    }
    return count * factor;
}

bool IsNonNegativeNumberText(std::string_view text)
{
    return ParseWholeNumber(text, 0, std::numeric_limits<std::int32_t>::max()).has_value();
}

bool IsValidIpAddressText(std::string_view text)
{
    int parts = 0;
    std::size_t begin = 0;
    while (true) {
        const std::size_t dot = text.find('.', begin);
        const std::string_view part = text.substr(begin, dot == std::string_view::npos ? text.size() - begin : dot - begin);
        ++parts;
        if (parts > 4 || !ParseWholeNumber(part, 0, 255)) {
            return false;
        }
        if (dot == std::string_view::npos) {
            break;
        }
        begin = dot + 1;
    }
    return parts == 4;
}

} // namespace tavrel::common
