#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::app {

/// One write or command of a client, carried out or refused.
struct AuditRecord
{
    std::chrono::system_clock::time_point time;
    std::string surface; ///< "window", "headless", "link", "mqtt", "opcua"
    std::string user; ///< the user or token name; the account name for the window
    std::string peer; ///< the client's address and port, where there is one
    std::string item; ///< the item's name ("lblDDE(7)"), or "execute" for a command
    std::string oldValue; ///< the item's text before the poke; empty for a command
    std::string newValue; ///< the text poked, or the command
    bool accepted = false;
    std::string reason; ///< why it was refused; empty when accepted
};

/// The audit trail: one JSON line per record,
///   {"ts":"2026-12-07T18:04:44.123Z","surface":…,"user":…,"peer":…,"item":…,"old":…,"new":…,
///    "outcome":"accepted"|"refused","reason":…}
/// appended to a file that is its owner's alone; a file that would grow past its limit is rotated first (FILE.1 the
/// newest of the old ones, FILE.5 the oldest, older ones dropped). A line that cannot be written is counted, and the
/// next line written carries "lost":N, the number lost before it.
class AuditTrail
{
public:
    static constexpr std::uint64_t kDefaultMaxBytes = 10ULL * 1024 * 1024;
    static constexpr int kKeptFiles = 5;

    /// A trail in `file`, rotated when it would grow past `maxBytes`.
    explicit AuditTrail(std::filesystem::path file, std::uint64_t maxBytes = kDefaultMaxBytes);

    const std::filesystem::path& File() const { return m_file; }

    /// Appends the record's line, or says why it could not (the line is then counted as lost).
    [[nodiscard]] tl::expected<void, std::string> Write(const AuditRecord& record);
    /// The lines lost since the last one written.
    std::uint64_t Lost() const { return m_lost; }

    /// The lines whose time is at or after `since` (a time as the lines write it, or any leading part of one, such as
    /// "2026-12-07T18"), oldest first, at most `limit` of them; without `since`, the newest `limit` lines.
    std::vector<std::string> Since(std::string_view since, std::size_t limit) const;

private:
    std::filesystem::path Rotated(int number) const;
    /// Moves FILE to FILE.1, FILE.1 to FILE.2 …, dropping the oldest; or why not.
    tl::expected<void, std::string> Rotate();

    std::filesystem::path m_file;
    std::uint64_t m_maxBytes;
    std::uint64_t m_lost = 0;
};

/// The JSON line of a record (without the line end); "lost":N at its end when `lost` is not 0.
std::string AuditLine(const AuditRecord& record, std::uint64_t lost = 0);

/// Whether `text` is a time as audit lines write it ("2026-12-07T18:04:44.123Z"), or a leading part of one of
/// four characters or more.
bool IsAuditTime(std::string_view text);

} // namespace tavrel::app
