#pragma once

#include <windows.h>

#include <ddeml.h>

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

/// The text without its trailing line breaks (CR and LF), as spreadsheets send a cell.
std::wstring WithoutLineEnd(std::wstring text);

} // namespace tavrel::dde
