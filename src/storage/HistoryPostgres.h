#pragma once

#include "storage/HistorySample.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// The history written into PostgreSQL as well, so that many programs and the tools that read a database share it:
/// the table tavrel_history (source, time, item, value, text, quality), a TimescaleDB hypertable when that extension
/// is installed in the database; each program writes and reads the rows of its own source. Written by a thread of its
/// own from a queue of its own, bounded like the embedded store's: while the database is away or refuses, the samples
/// wait and the thread retries, then writes them in order; beyond the bound whole batches are dropped and counted. A
/// batch the database refuses for what it holds is dropped, counted and said. Reads, on the caller's thread, use a
/// connection of their own.
class HistoryPostgres
{
public:
    /// Samples waiting in memory beyond which batches are dropped.
    static constexpr std::size_t kMaxWaitingSamples = 1'000'000;
    /// Samples one transaction writes at most when the thread catches up.
    static constexpr std::size_t kMaxSamplesPerTransaction = 50'000;
    /// Samples a read fetches at most: a read never holds its caller for long.
    static constexpr std::size_t kMaxScannedSamples = 2'000'000;
    /// The wait before connecting again, doubled after each failure up to the longest.
    static constexpr std::chrono::milliseconds kFirstRetry { 250 };
    static constexpr std::chrono::milliseconds kLongestRetry { 10'000 };

    using LogSink = std::function<void(const std::string&)>;

    /// A writer of `source`'s history (which program: "host/project") to the database of `connection` (a libpq
    /// connection string); the thread connects.
    HistoryPostgres(std::string connection, std::string source, LogSink log = {});
    HistoryPostgres(const HistoryPostgres&) = delete;
    HistoryPostgres& operator=(const HistoryPostgres&) = delete;
    /// Ends the thread; what the database did not take by then is lost (the embedded store holds it).
    ~HistoryPostgres();

    /// Hands a batch to the thread; never waits for it.
    void Append(std::vector<HistorySample> batch);
    /// Waits until the thread wrote everything handed to it, or `timeout` passed; true when written.
    bool WaitWritten(std::chrono::milliseconds timeout);

    /// As HistoryStore::Read and ReadRaw, from the database.
    tl::expected<std::vector<StoredPoint>, std::string> Read(std::int32_t item, std::int64_t fromMs, std::int64_t toMs,
                                                             std::size_t maxPoints) const;
    tl::expected<std::vector<StoredPoint>, std::string> ReadRaw(std::int32_t item, std::int64_t fromMs,
                                                                std::int64_t toMs, std::size_t maxRows) const;

    std::uint64_t Written() const { return m_written.load(); }
    std::uint64_t Dropped() const { return m_dropped.load(); }
    /// Samples waiting for the database.
    std::uint64_t Waiting() const { return m_waiting.load(); }
    /// Why the database does not take the samples now, or empty while it does.
    std::string Problem() const;

private:
    struct Connection;
    void Run();
    /// Connects and makes the table; false, said, when it cannot.
    bool Connect();
    /// Writes `batch`: true when written or dropped for good, false when the connection failed (kept to retry).
    bool Write(const std::vector<HistorySample>& batch);
    void SetProblem(std::string problem);
    template<typename Visit>
    tl::expected<void, std::string> Scan(std::int32_t item, std::int64_t fromMs, std::int64_t toMs, std::size_t limit,
                                         Visit&& visit) const;

    const std::string m_connectionText;
    const std::string m_source;
    const LogSink m_log;

    std::atomic<std::uint64_t> m_written { 0 };
    std::atomic<std::uint64_t> m_dropped { 0 };
    std::atomic<std::uint64_t> m_waiting { 0 };

    mutable std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::vector<HistorySample>> m_batches;
    bool m_stopping = false;
    std::string m_problem;

    std::unique_ptr<Connection> m_writer; ///< the thread's own
    mutable std::mutex m_readMutex; // guards the readers' connection
    mutable std::unique_ptr<Connection> m_reader;
    std::thread m_thread;
};

} // namespace tavrel::storage
