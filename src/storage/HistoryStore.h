#pragma once

#include "storage/HistorySample.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// How much history is kept: days back from today, and bytes on disk; the oldest days go first.
struct HistoryLimits
{
    std::int32_t days = 30;
    std::uint64_t maxBytes = 2048ULL * 1024 * 1024;
    /// The wall clock, in milliseconds since 1970-01-01 UTC; tests set their own.
    std::function<std::int64_t()> nowMs;
};

/// The history of recorded items in a folder of SQLite files, one per UTC day ("2026-12-07.sqlite"), each sample in
/// the file of the day it was read. Written by a thread of its own, one transaction per batch in WAL mode, so that a
/// killed program loses at most the batch being written and the owner's thread never waits for the disk. Samples
/// waiting for the thread are bounded: beyond that whole batches are dropped and counted. Days beyond the limits are
/// deleted, oldest first. A day file that is no database is renamed *.corrupt and said, and the others still read. A
/// folder or disk that cannot take the samples is said (Problem) and what it cannot take dropped and counted; the
/// owner goes on, and the next batch tries again.
class HistoryStore
{
public:
    /// Samples waiting in memory for the thread beyond which batches are dropped.
    static constexpr std::size_t kMaxWaitingSamples = 1'000'000;
    /// Samples a read goes through at most: a read never holds its caller for long, whatever the range.
    static constexpr std::size_t kMaxScannedSamples = 2'000'000;

    /// Where lines for the event log go; called on any thread.
    using LogSink = std::function<void(const std::string&)>;

    /// A store in `folder` (made when missing, by the thread), kept within `limits`.
    HistoryStore(std::filesystem::path folder, HistoryLimits limits, LogSink log = {});
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;
    /// Writes what was handed over, then ends the thread.
    ~HistoryStore();

    /// Hands a batch (one pass's samples) to the thread; never waits for it.
    void Append(std::vector<HistorySample> batch);
    /// Waits until the thread wrote everything handed to it so far (tests and measurements).
    void WaitIdle();

    /// Up to `maxPoints` points of `item` from `fromMs` to `toMs`, reduced as HistoryReduction does; read on the
    /// caller's thread. Fails with the reason when the range holds more than kMaxScannedSamples samples.
    tl::expected<std::vector<StoredPoint>, std::string> Read(std::int32_t item, std::int64_t fromMs, std::int64_t toMs,
                                                             std::size_t maxPoints) const;
    /// The first `maxRows` samples of `item` from `fromMs` to `toMs`, oldest first; read on the caller's thread.
    tl::expected<std::vector<StoredPoint>, std::string> ReadRaw(std::int32_t item, std::int64_t fromMs,
                                                                std::int64_t toMs, std::size_t maxRows) const;

    /// Samples written since the store was made.
    std::uint64_t Written() const { return m_written.load(); }
    /// Samples dropped since the store was made: batches the disk could not take, or memory could not hold.
    std::uint64_t Dropped() const { return m_dropped.load(); }
    /// Bytes of the day files, as the thread last measured them.
    std::uint64_t SizeBytes() const { return m_sizeBytes.load(); }
    /// The oldest day kept ("2026-12-07"); empty when there is none.
    std::string OldestDay() const;
    /// Why samples are not kept, or empty while they are.
    std::string Problem() const;
    const std::filesystem::path& Folder() const { return m_folder; }
    /// The file of a day.
    std::filesystem::path DayFile(std::int64_t day) const;

private:
    struct DayDatabase;
    void Run();
    void Write(std::vector<HistorySample>& batch);
    tl::expected<void, std::string> WriteDay(std::int64_t day, const HistorySample* begin, const HistorySample* end);
    tl::expected<DayDatabase*, std::string> OpenDay(std::int64_t day);
    /// Packs a finished day's file, when it is not too large to pack at once.
    void Compact(std::int64_t day);
    /// Deletes the days beyond the limits and measures what is left; `force` measures even if done lately.
    void Retain(bool force);
    void SetProblem(std::string problem);
    void Log(const std::string& line) const;
    /// Renames a day file that is no database to *.corrupt, and says so.
    void SetAside(const std::filesystem::path& file, const std::string& reason) const;
    template<typename Visit>
    tl::expected<void, std::string> Scan(std::int32_t item, std::int64_t fromMs, std::int64_t toMs,
                                         Visit&& visit) const;

    const std::filesystem::path m_folder;
    const HistoryLimits m_limits;
    const LogSink m_log;

    std::atomic<std::uint64_t> m_written { 0 };
    std::atomic<std::uint64_t> m_dropped { 0 };
    std::atomic<std::uint64_t> m_waiting { 0 };
    std::atomic<std::uint64_t> m_sizeBytes { 0 };

    mutable std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::vector<HistorySample>> m_batches;
    bool m_busy = true;
    bool m_stopping = false;
    std::string m_problem;
    std::string m_oldestDay;

    // The thread's own.
    std::map<std::int64_t, std::unique_ptr<DayDatabase>> m_open;
    std::int64_t m_lastRetainMs = 0;
    bool m_full = false; ///< today alone is over the size: nothing is written until that changes
    std::thread m_thread;
};

} // namespace tavrel::storage
