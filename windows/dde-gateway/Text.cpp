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

std::optional<std::int32_t> ParseItemName(std::wstring_view name)
{
    constexpr std::wstring_view prefix = L"lbldde(";
    if (name.size() <= prefix.size() + 1 || name.back() != L')') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const wchar_t c = name[i];
        const wchar_t lower = (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
        if (lower != prefix[i]) {
            return std::nullopt;
        }
    }
    const std::wstring_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 1);
    if (digits.size() > 5 || (digits.size() > 1 && digits.front() == L'0')) {
        return std::nullopt;
    }
    std::int32_t index = 0;
    for (const wchar_t c : digits) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        index = index * 10 + (c - L'0');
    }
    if (index > 32767) {
        return std::nullopt;
    }
    return index;
}

std::string ItemName(std::int32_t index)
{
    return "lblDDE(" + std::to_string(index) + ")";
}

std::wstring WithoutLineEnd(std::wstring text)
{
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) {
        text.pop_back();
    }
    return text;
}

std::string Excerpt(std::string_view text, std::size_t limit)
{
    std::string excerpt;
    for (const char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        excerpt += (byte < 0x20 || byte == 0x7f) ? '?' : c;
    }
    if (text.size() > limit) {
        excerpt += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return excerpt;
}

} // namespace tavrel::dde
