#pragma once

#include <windows.h>

#include <ddeml.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel::dde {

/// UTF-8 as UTF-16; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view utf8);

/// UTF-16 as UTF-8.
std::string Narrow(std::wstring_view text);

/// UTF-16 in the user's ANSI code page (CF_TEXT); characters it lacks become its default character.
std::string ToAnsi(std::wstring_view text);

/// Text in the user's ANSI code page as UTF-16.
std::wstring FromAnsi(std::string_view text);

/// The text of a DDE string handle.
std::wstring StringOf(DWORD instance, HSZ handle);

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of another
/// form (leading zeros, blanks, an index beyond 32767 included), as the link server reads item names.
std::optional<std::int32_t> ParseItemName(std::wstring_view name);

/// The item name of a label index, as the link server writes it: "lblDDE(7)".
std::string ItemName(std::int32_t index);

/// The text without its trailing line breaks (CR and LF), as spreadsheets send a cell.
std::wstring WithoutLineEnd(std::wstring text);

/// A short, printable excerpt of untrusted text for a log line.
std::string Excerpt(std::string_view text, std::size_t limit = 80);

} // namespace tavrel::dde
