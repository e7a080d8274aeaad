#include "app/AuditTrail.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrel::app {

namespace fs = std::filesystem;

namespace {

// Where the time lies in every line: {"ts":"2026-12-07T18:04:44.123Z"
constexpr std::string_view kTimeForm = "0000-00-00T00:00:00.000Z";
constexpr std::size_t kTimeOffset = std::string_view(R"({"ts":")").size();

std::string TimeText(std::chrono::system_clock::time_point time)
{
    const auto sinceEpoch = time.time_since_epoch();
    const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    char text[96]; // room for any int the compiler may fear, though times fit 24
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
    return text;
}

void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

std::string_view LineTime(std::string_view line)
{
    return line.size() >= kTimeOffset + kTimeForm.size() ? line.substr(kTimeOffset, kTimeForm.size())
                                                         : std::string_view();
}

std::vector<std::string> ReadLines(const fs::path& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

} // namespace

bool IsAuditTime(std::string_view text)
{
    if (text.size() < 4 || text.size() > kTimeForm.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = kTimeForm[i] == '0';
        if (digit ? (text[i] < '0' || text[i] > '9') : text[i] != kTimeForm[i]) {
            return false;
        }
    }
    return true;
}

std::string AuditLine(const AuditRecord& record, std::uint64_t lost)
{
    std::string line = R"({"ts":")" + TimeText(record.time) + "\"";
    const std::pair<std::string_view, const std::string*> fields[] = {
        { "surface", &record.surface }, { "user", &record.user },    { "peer", &record.peer },
        { "item", &record.item },       { "old", &record.oldValue }, { "new", &record.newValue },
    };
    for (const auto& [key, value] : fields) {
        line += ",\"";
        line += key;
        line += "\":";
        AppendJsonString(line, *value);
    }
    line += R"(,"outcome":)";
    line += record.accepted ? R"("accepted")" : R"("refused")";
    line += R"(,"reason":)";
    AppendJsonString(line, record.reason);
    if (lost != 0) {
        line += ",\"lost\":" + std::to_string(lost);
    }
    line += '}';
    return line;
}

AuditTrail::AuditTrail(fs::path file, std::uint64_t maxBytes)
    : m_file(std::move(file))
    , m_maxBytes(maxBytes)
{
}

fs::path AuditTrail::Rotated(int number) const
{
    return fs::path(m_file.string() + "." + std::to_string(number));
}

tl::expected<void, std::string> AuditTrail::Rotate()
{
    std::error_code error;
    fs::remove(Rotated(kKeptFiles), error);
    for (int number = kKeptFiles - 1; number >= 1; --number) {
        if (fs::exists(Rotated(number), error)) {
            fs::rename(Rotated(number), Rotated(number + 1), error);
        }
    }
    fs::rename(m_file, Rotated(1), error);
    if (error) {
        return tl::make_unexpected("cannot rotate the audit file " + m_file.string() + ": " + error.message());
    }
    return {};
}

tl::expected<void, std::string> AuditTrail::Write(const AuditRecord& record)
{
    const std::string line = AuditLine(record, m_lost) + "\n";
    const auto fail = [this](const std::string& what, int error) {
        ++m_lost;
        return tl::make_unexpected("cannot " + what + " the audit file " + m_file.string() + ": "
                                   + std::strerror(error));
    };
    struct stat status = {};
    if (::stat(m_file.c_str(), &status) == 0 && status.st_size > 0
        && static_cast<std::uint64_t>(status.st_size) + line.size() > m_maxBytes) {
        if (auto rotated = Rotate(); !rotated) {
            ++m_lost;
            return rotated;
        }
    }
    const int descriptor = ::open(m_file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return fail("open", errno);
    }
    // One write of the whole line: lines never interleave, and a short write is a failure, not half a record.
    struct stat before = {};
    const bool sized = ::fstat(descriptor, &before) == 0;
    const ssize_t written = ::write(descriptor, line.data(), line.size());
    const int error = errno;
    if (written != static_cast<ssize_t>(line.size()) && written > 0 && sized) {
        // What did go out is cut back, so that the file holds whole lines only.
        (void)::ftruncate(descriptor, before.st_size);
    }
    ::close(descriptor);
    if (written != static_cast<ssize_t>(line.size())) {
        return fail("write", written < 0 ? error : ENOSPC);
    }
    m_lost = 0;
    return {};
}

std::vector<std::string> AuditTrail::Since(std::string_view since, std::size_t limit) const
{
    // Newest file first; an older file is read only while the lines gathered may not yet reach back to `since`
    // (or, without it, while fewer than `limit` are gathered).
    std::vector<std::string> gathered;
    for (int number = 0; number <= kKeptFiles; ++number) {
        std::vector<std::string> lines = ReadLines(number == 0 ? m_file : Rotated(number));
        gathered.insert(gathered.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
        const bool reachesBack = !gathered.empty() && !since.empty() && LineTime(gathered.front()) < since;
        if (reachesBack || (since.empty() && gathered.size() >= limit)) {
            break;
        }
    }
    if (since.empty()) {
        const std::size_t skip = gathered.size() > limit ? gathered.size() - limit : 0;
        return { std::make_move_iterator(gathered.begin() + static_cast<std::ptrdiff_t>(skip)),
                 std::make_move_iterator(gathered.end()) };
    }
    std::vector<std::string> answer;
    for (std::string& line : gathered) {
        if (answer.size() >= limit) {
            break;
        }
        if (LineTime(line) >= since) {
            answer.push_back(std::move(line));
        }
    }
    return answer;
}

} // namespace tavrel::app
