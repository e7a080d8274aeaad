#pragma once

#include "mqtt/MqttMessage.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrel::mqtt {

/// Messages kept on disk while the broker is away, to be published later oldest first: an SQLite file (WAL, so a
/// killed program loses nothing it committed, and a power loss at most the last transaction) written by a thread of
/// its own, so that the owner's thread never waits for the disk. Messages are ordered by a sequence number that only
/// grows, never by a clock. The file is kept under a size: when it is full the oldest messages are dropped, and
/// counted. A file that cannot be opened or written is said (Problem), and what cannot be kept is dropped and
/// counted; the owner goes on.
class MqttQueue
{
public:
    /// A message read back, with its place in the queue.
    struct Entry
    {
        std::int64_t sequence = 0;
        MqttMessage message;
    };

    /// What the queue holds of one PLC's items, and has dropped of them.
    struct PlcFigures
    {
        std::uint64_t buffered = 0;
        std::uint64_t dropped = 0;
        friend bool operator==(const PlcFigures&, const PlcFigures&) = default;
    };

    /// Messages waiting in memory for the thread, beyond which whole batches are dropped (and counted): the disk
    /// may be slower than the changes, the memory stays bounded.
    static constexpr std::size_t kMaxWaitingMessages = 1'000'000;

    /// A queue in `file` (made when missing) of at most `maxBytes` of topics and payloads; the thread opens it.
    MqttQueue(std::filesystem::path file, std::uint64_t maxBytes);
    MqttQueue(const MqttQueue&) = delete;
    MqttQueue& operator=(const MqttQueue&) = delete;
    /// Writes what was handed over, then ends the thread.
    ~MqttQueue();

    /// Hands a batch (one pass's changes) to the thread, which writes it in one transaction; never waits for it.
    void Append(std::vector<MqttMessage> batch);
    /// Reads up to `count` of the oldest messages after `afterSequence` on the thread, and gives them to `done` on
    /// the owner's thread (none when the queue holds no more), unless the queue is gone by then.
    void Read(std::int64_t afterSequence, std::size_t count, std::function<void(std::vector<Entry>)> done);
    /// Removes the messages up to `sequence` (they were published).
    void Remove(std::int64_t sequence);
    /// Waits until the thread did everything handed to it so far (tests and measurements).
    void WaitIdle();

    /// Messages in the queue, those waiting to be written included.
    std::uint64_t Count() const { return m_count.load() + m_waitingCount.load(); }
    /// Messages dropped since the queue was made: the oldest when it was full, or batches it could not keep.
    std::uint64_t Dropped() const { return m_dropped.load(); }
    /// Count and Dropped for each PLC that has had messages in the queue since it was made, by PLC name.
    std::map<std::string, PlcFigures> Plcs() const;
    /// Why the queue cannot keep messages, or empty while it can.
    std::string Problem() const;
    const std::filesystem::path& File() const { return m_file; }

private:
    struct Work;
    void Run();
    void Open();
    void Write(std::vector<MqttMessage>& batch);
    /// Drops the oldest messages until the queue fits its size.
    void Trim();
    std::vector<Entry> ReadOldest(std::int64_t afterSequence, std::size_t count);
    void RemoveUpTo(std::int64_t sequence);
    void SetProblem(std::string problem);
    /// Moves `counts` of each PLC from buffered to dropped (`drop`), or takes them off buffered.
    void Settle(const std::map<std::string, std::uint64_t>& counts, bool drop);
    /// The messages of each PLC up to `sequence`.
    std::map<std::string, std::uint64_t> CountsUpTo(std::int64_t sequence);

    const std::filesystem::path m_file;
    const std::uint64_t m_maxBytes;
    /// Lives on the owner's thread: what is posted to it runs there, and is dropped with it.
    QObject m_context;

    std::atomic<std::uint64_t> m_count { 0 };
    std::atomic<std::uint64_t> m_waitingCount { 0 };
    std::atomic<std::uint64_t> m_dropped { 0 };

    mutable std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_work;
    bool m_busy = false;
    bool m_stopping = false;
    std::string m_problem;
    std::map<std::string, PlcFigures> m_plcs;

    // The thread's own.
    struct Database;
    std::unique_ptr<Database> m_db;
    std::uint64_t m_bytes = 0; ///< bytes of topics and payloads in the file
    std::thread m_thread;
};

} // namespace tavrel::mqtt
