#include "Options.h"

#include "Text.h"

#include <windows.h>

#include <cwchar>
#include <utility>

namespace tavrel::dde {

const char* const kUsage
    = "usage: tavrel-dde [--server [https://]HOST:PORT] [--ca-file FILE | --pin-sha256 HEX] [--token-file FILE]\n"
      "                  [--log FILE]\n"
      "\n"
      "The DDE server \"Tavrel\" (topics Items and System) for spreadsheets on this PC. Every request, link,\n"
      "poke and execute goes to a Tavrel link server, which may run on a Linux machine, in WSL or here.\n"
      "\n"
      "  --server HOST:PORT   the link server (default 127.0.0.1:7410; [::1]:7410 for IPv6); https://HOST:PORT\n"
      "                       for one that serves TLS (HTTPS and WSS)\n"
      "  --ca-file FILE       trust the link server's certificate when the certificate in FILE (PEM) signed it\n"
      "  --pin-sha256 HEX     trust the link server's certificate when its SHA-256 is HEX, as\n"
      "                       'openssl x509 -in CERT -outform der | sha256sum' prints it\n"
      "  --token-file FILE    send the access token in FILE to the link server\n"
      "  --log FILE           log to FILE (default: the console, or %LOCALAPPDATA%\\Tavrel\\tavrel-dde.log)\n"
      "  --help               this text\n"
      "\n"
      "In a spreadsheet cell: =Tavrel|Items!'lblDDE(7)'\n";

namespace {

std::optional<std::string> ReadServer(std::wstring value, Options& options)
{
    const std::string refusal
        = "--server takes [https://]HOST:PORT, such as 127.0.0.1:7410, not '" + Narrow(value) + "'";
    for (const auto& [scheme, tls] : { std::pair(L"https://", true), std::pair(L"http://", false) }) {
        if (value.rfind(scheme, 0) == 0) {
            value = value.substr(std::wcslen(scheme));
            options.tls = tls;
        }
    }
    if (!value.empty() && value.back() == L'/') {
        value.pop_back();
    }
    const auto colon = value.rfind(L':');
    if (colon == std::wstring::npos || colon == 0 || colon + 1 == value.size() || value.size() - colon > 6) {
        return refusal;
    }
    std::wstring host = value.substr(0, colon);
    if (host.front() == L'[') {
        if (host.size() < 3 || host.back() != L']') {
            return refusal;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(L':') != std::wstring::npos) {
        return refusal + " (write an IPv6 address in brackets)";
    }
    unsigned port = 0;
    for (const wchar_t c : value.substr(colon + 1)) {
        if (c < L'0' || c > L'9') {
            return refusal;
        }
        port = port * 10 + static_cast<unsigned>(c - L'0');
    }
    if (port == 0 || port > 65535) {
        return refusal + " (the port is 1 to 65535)";
    }
    options.host = host;
    options.port = static_cast<std::uint16_t>(port);
    return std::nullopt;
}

} // namespace

std::optional<std::string> ReadOptions(const std::vector<std::wstring>& arguments, Options& options)
{
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& name = arguments[i];
        if (name == L"--help" || name == L"-h" || name == L"/?") {
            options.help = true;
            continue;
        }
        if (name != L"--server" && name != L"--token-file" && name != L"--log" && name != L"--ca-file"
            && name != L"--pin-sha256") {
            return "unknown option '" + Narrow(name) + "'";
        }
        if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
            return Narrow(name) + " needs a value";
        }
        const std::wstring& value = arguments[++i];
        if (name == L"--server") {
            if (auto error = ReadServer(value, options)) {
                return error;
            }
        } else if (name == L"--token-file") {
            options.tokenFile = value;
        } else if (name == L"--ca-file") {
            options.caFile = value;
        } else if (name == L"--pin-sha256") {
            // As tools print it: any case, with or without colons.
            std::string pin;
            for (const wchar_t c : value) {
                if (c != L':') {
                    pin += static_cast<char>(c >= L'A' && c <= L'F' ? c - L'A' + L'a' : c);
                }
            }
            if (pin.size() != 64 || pin.find_first_not_of("0123456789abcdef") != std::string::npos) {
                return "--pin-sha256 takes the 64 hex digits of a SHA-256, not '" + Narrow(value) + "'";
            }
            options.pinSha256 = pin;
        } else {
            options.logFile = value;
        }
    }
    if ((!options.caFile.empty() || !options.pinSha256.empty()) && !options.tls) {
        return "--ca-file and --pin-sha256 judge a TLS server's certificate: give --server https://HOST:PORT";
    }
    return std::nullopt;
}

std::optional<std::string> ReadToken(const std::wstring& path, std::string& token)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "cannot open the token file '" + Narrow(path) + "' (error " + std::to_string(GetLastError()) + ")";
    }
    char buffer[4096];
    DWORD read = 0;
    const BOOL ok = ReadFile(file, buffer, sizeof buffer, &read, nullptr);
    CloseHandle(file);
    if (!ok) {
        return "cannot read the token file '" + Narrow(path) + "'";
    }
    std::string text(buffer, read);
    text = text.substr(0, text.find_first_of("\r\n"));
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    token = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    if (token.empty()) {
        return "the token file '" + Narrow(path) + "' holds no token";
    }
    for (const char c : token) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) {
            return "the token in '" + Narrow(path) + "' holds characters an HTTP header cannot carry";
        }
    }
    return std::nullopt;
}

} // namespace tavrel::dde
