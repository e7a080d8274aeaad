#include "Log.h"

#include "Text.h"

#include <cstdio>

namespace tavrel::dde {

namespace {

constexpr unsigned long long kMaxFileBytes = 1024 * 1024;

} // namespace

Log::~Log()
{
    if (m_file != INVALID_HANDLE_VALUE) {
        CloseHandle(m_file);
    }
}

void Log::SetOutput(HANDLE output)
{
    std::lock_guard lock(m_mutex);
    m_output = output;
    DWORD mode = 0;
    m_outputIsConsole = output != nullptr && GetConsoleMode(output, &mode);
}

std::string Log::OpenFile(const std::wstring& path)
{
    std::lock_guard lock(m_mutex);
    m_path = path;
    OpenFileLocked();
    if (m_file == INVALID_HANDLE_VALUE) {
        return "cannot open the log file '" + Narrow(path) + "' (error " + std::to_string(GetLastError()) + ")";
    }
    return {};
}

void Log::OpenFileLocked()
{
    m_file = CreateFileW(m_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size {};
    m_fileSize = m_file != INVALID_HANDLE_VALUE && GetFileSizeEx(m_file, &size)
        ? static_cast<unsigned long long>(size.QuadPart)
        : 0;
}

void Log::Line(std::string_view text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = stamp;
    line += text;
    line += "\r\n";
    const auto size = static_cast<DWORD>(line.size());

    std::lock_guard lock(m_mutex);
    DWORD written = 0;
    if (m_output != nullptr) {
        if (m_outputIsConsole) {
            const std::wstring wide = Widen(line);
            WriteConsoleW(m_output, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
        } else {
            WriteFile(m_output, line.data(), size, &written, nullptr);
        }
    }
    if (m_file != INVALID_HANDLE_VALUE) {
        if (m_fileSize + size > kMaxFileBytes) {
            CloseHandle(m_file);
            MoveFileExW(m_path.c_str(), (m_path + L".old").c_str(), MOVEFILE_REPLACE_EXISTING);
            OpenFileLocked();
        }
        if (m_file != INVALID_HANDLE_VALUE && WriteFile(m_file, line.data(), size, &written, nullptr)) {
            m_fileSize += written;
        }
    }
}

} // namespace tavrel::dde
