#include "common/TextCase.h"

#include <cstdint>
#include <locale.h>
#include <wctype.h>

namespace tavrel::common {

namespace {

// Code points from here on stand for single bytes that are not UTF-8, so they never equal a character.
constexpr char32_t kStrayByte = 0x110000;

// The next character of a UTF-8 text, consumed from `text`: the code point, or kStrayByte plus the byte where
// the text is not well-formed UTF-8 (an overlong form, a surrogate or a sequence cut short).
char32_t NextCharacter(std::string_view& text)
{
    const auto lead = static_cast<unsigned char>(text.front());
    std::size_t length = 1;
    char32_t code = lead;
    char32_t smallest = 0;
    if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        smallest = 0x10000;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        smallest = 0x800;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        smallest = 0x80;
    } else if (lead >= 0x80) {
        text.remove_prefix(1);
        return kStrayByte + lead;
    }
    if (length > 1) {
        if (text.size() < length) {
            text.remove_prefix(1);
            return kStrayByte + lead;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[i]);
            if ((next & 0xC0u) != 0x80u) {
                text.remove_prefix(1);
                return kStrayByte + lead;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            text.remove_prefix(1);
            return kStrayByte + lead;
        }
    }
    text.remove_prefix(length);
    return code;
}

// The case mappings of Unicode, whatever locale the process runs in; null where the C library has no such
// locale, and then only A to Z are folded.
locale_t UnicodeCaseLocale()
{
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t {});
    return locale;
}

// One case for every character: upper then lower, so that final sigma, sharp s and the like meet their
// other forms.
char32_t Folded(char32_t code)
{
    if (code >= kStrayByte) {
        return code;
    }
    if (const locale_t locale = UnicodeCaseLocale(); locale != locale_t {}) {
        const auto upper = towupper_l(static_cast<wint_t>(code), locale);
        return static_cast<char32_t>(towlower_l(upper, locale));
    }
    return code >= U'A' && code <= U'Z' ? code - U'A' + U'a' : code;
}

} // namespace

bool SameTextIgnoringCase(std::string_view a, std::string_view b)
{
    while (!a.empty() && !b.empty()) {
        if (Folded(NextCharacter(a)) != Folded(NextCharacter(b))) {
            return false;
        }
    }
    return a.empty() && b.empty();
}

} // namespace tavrel::common
