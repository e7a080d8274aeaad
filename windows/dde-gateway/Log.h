#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <string_view>

namespace tavrel::dde {

/// Timestamped lines to the console, a file, or both; safe to use from any thread. A file that grows beyond
/// a megabyte is moved aside to FILE.old and started again, so a long run never fills the disk.
class Log
{
public:
    Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    ~Log();

    /// Also writes to the console or pipe behind `output` (may be null).
    void SetOutput(HANDLE output);
    /// Also appends to the file at `path`; the reason when it cannot be opened.
    std::string OpenFile(const std::wstring& path);

    /// Writes one line.
    void Line(std::string_view text);

private:
    void OpenFileLocked();

    std::mutex m_mutex;
    HANDLE m_output = nullptr;
    bool m_outputIsConsole = false;
    std::wstring m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    unsigned long long m_fileSize = 0;
};

} // namespace tavrel::dde
