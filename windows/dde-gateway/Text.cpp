#include "Text.h"

#include <vector>

namespace tavrel::dde {

namespace {

std::wstring ToWide(UINT codePage, std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    }
    return wide;
}

std::string FromWide(UINT codePage, std::wstring_view text)
{
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    if (length > 0) {
        WideCharToMultiByte(codePage, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    }
    return narrow;
}

} // namespace

std::wstring Widen(std::string_view utf8)
{
    return ToWide(CP_UTF8, utf8);
}

std::string Narrow(std::wstring_view text)
{
    return FromWide(CP_UTF8, text);
}

std::string ToAnsi(std::wstring_view text)
{
    return FromWide(CP_ACP, text);
}

std::wstring FromAnsi(std::string_view text)
{
    return ToWide(CP_ACP, text);
}

std::wstring StringOf(DWORD instance, HSZ handle)
{
    const DWORD length = DdeQueryStringW(instance, handle, nullptr, 0, CP_WINUNICODE);
    if (length == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(length + 1);
    DdeQueryStringW(instance, handle, buffer.data(), length + 1, CP_WINUNICODE);
    return std::wstring(buffer.data(), length);
}

std::wstring WithoutLineEnd(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace tavrel::dde
