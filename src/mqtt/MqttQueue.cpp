#include "mqtt/MqttQueue.h"

#include "storage/SqliteDatabase.h"
#include "storage/SqliteTransaction.h"

#include <algorithm>
#include <limits>

namespace tavrel::mqtt {

namespace {

/// What a message costs in the file beside its topic and payload: its sequence, the record's header, its share of
/// the index. Counted so that a queue of short messages is held to its size too.
constexpr std::uint64_t kRowOverheadBytes = 16;

/// The schema: the sequence is SQLite's row number, one more than the largest there is, so that it only grows
/// while any message waits; a retained flag and the message's PLC kept beside the topic and payload.
constexpr char kSchema[] = "PRAGMA journal_mode=WAL;"
                           "PRAGMA synchronous=NORMAL;"
                           "CREATE TABLE IF NOT EXISTS Queue (Sequence INTEGER PRIMARY KEY, Topic TEXT NOT NULL, "
                           "Payload TEXT NOT NULL, Retained INTEGER NOT NULL, Plc TEXT NOT NULL DEFAULT '');";
/// A queue kept by an older Tavrel has no PLC column: its messages count for no PLC.
constexpr char kHasPlcColumn[] = "SELECT COUNT(*) FROM pragma_table_info('Queue') WHERE name = 'Plc'";
constexpr char kAddPlcColumn[] = "ALTER TABLE Queue ADD COLUMN Plc TEXT NOT NULL DEFAULT ''";

/// The messages of each PLC in a batch.
std::map<std::string, std::uint64_t> CountByPlc(const std::vector<MqttMessage>& batch)
{
    std::map<std::string, std::uint64_t> counts;
    for (const MqttMessage& message : batch) {
        if (!message.plc.empty()) {
            ++counts[message.plc];
        }
    }
    return counts;
}

std::uint64_t Cost(const std::string& topic, const std::string& payload)
{
    return topic.size() + payload.size() + kRowOverheadBytes;
}

} // namespace

struct MqttQueue::Database
{
    storage::SqliteDatabase db;
    storage::SqliteStatement insert;
};

MqttQueue::MqttQueue(std::filesystem::path file, std::uint64_t maxBytes)
    : m_file(std::move(file))
    , m_maxBytes(maxBytes)
{
    m_thread = std::thread([this] { Run(); });
}

MqttQueue::~MqttQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void MqttQueue::Append(std::vector<MqttMessage> batch)
{
    if (batch.empty()) {
        return;
    }
    const std::uint64_t size = batch.size();
    const std::map<std::string, std::uint64_t> counts = CountByPlc(batch);
    if (m_waitingCount.load() + size > kMaxWaitingMessages) {
        m_dropped += size; // the disk is too slow, or stuck: what memory cannot hold is lost, and counted
        std::lock_guard lock(m_mutex);
        for (const auto& [plc, count] : counts) {
            m_plcs[plc].dropped += count;
        }
        return;
    }
    m_waitingCount += size;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [plc, count] : counts) {
            m_plcs[plc].buffered += count;
        }
        m_work.push_back([this, batch = std::move(batch)]() mutable { Write(batch); });
    }
    m_wake.notify_one();
}

void MqttQueue::Read(std::int64_t afterSequence, std::size_t count, std::function<void(std::vector<Entry>)> done)
{
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back([this, afterSequence, count, done = std::move(done)]() mutable {
            std::vector<Entry> entries = ReadOldest(afterSequence, count);
            QMetaObject::invokeMethod(
                &m_context,
                [done = std::move(done), entries = std::move(entries)]() mutable { done(std::move(entries)); },
                Qt::QueuedConnection);
        });
    }
    m_wake.notify_one();
}

void MqttQueue::Remove(std::int64_t sequence)
{
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back([this, sequence] { RemoveUpTo(sequence); });
    }
    m_wake.notify_one();
}

void MqttQueue::WaitIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_work.empty() && !m_busy; });
}

std::string MqttQueue::Problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}

void MqttQueue::SetProblem(std::string problem)
{
    std::lock_guard lock(m_mutex);
    m_problem = std::move(problem);
}

std::map<std::string, MqttQueue::PlcFigures> MqttQueue::Plcs() const
{
    std::lock_guard lock(m_mutex);
    return m_plcs;
}

void MqttQueue::Settle(const std::map<std::string, std::uint64_t>& counts, bool drop)
{
    std::lock_guard lock(m_mutex);
    for (const auto& [plc, count] : counts) {
        PlcFigures& figures = m_plcs[plc];
        figures.buffered -= std::min(figures.buffered, count);
        if (drop) {
            figures.dropped += count;
        }
    }
}

std::map<std::string, std::uint64_t> MqttQueue::CountsUpTo(std::int64_t sequence)
{
    std::map<std::string, std::uint64_t> counts;
    auto select = m_db->db.Prepare("SELECT Plc, COUNT(*) FROM Queue WHERE Sequence <= ? AND Plc <> '' GROUP BY Plc");
    if (select && select->Bind(1, sequence)) {
        while (select->Step().value_or(false)) {
            counts[select->ColumnText(0)] = static_cast<std::uint64_t>(select->ColumnInt64(1));
        }
    }
    return counts;
}

void MqttQueue::Run()
{
    Open();
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
        if (m_work.empty()) {
            break; // stopping, and everything handed over is done
        }
        std::function<void()> work = std::move(m_work.front());
        m_work.pop_front();
        m_busy = true;
        lock.unlock();
        work(); // without a database, each says so: a write drops and counts its batch, a read finds nothing
        lock.lock();
        m_busy = false;
        if (m_work.empty()) {
            m_idle.notify_all();
        }
    }
    m_db.reset();
}

void MqttQueue::Open()
{
    std::error_code error;
    std::filesystem::create_directories(m_file.parent_path(), error);
    auto db = storage::SqliteDatabase::Open(m_file, storage::SqliteDatabase::Missing::Create);
    tl::expected<void, std::string> ready = db ? db->Execute(kSchema) : tl::make_unexpected(db.error());
    if (ready) {
        auto hasPlc = db->Prepare(kHasPlcColumn);
        if (hasPlc && hasPlc->Step().value_or(false) && hasPlc->ColumnInt64(0) == 0) {
            ready = db->Execute(kAddPlcColumn);
        }
    }
    auto insert = ready ? db->Prepare("INSERT INTO Queue (Topic, Payload, Retained, Plc) VALUES (?, ?, ?, ?)")
                        : tl::expected<storage::SqliteStatement, std::string>(tl::unexpect, ready.error());
    if (!insert) {
        SetProblem("cannot open the MQTT queue " + m_file.string() + ": " + insert.error());
        return;
    }
    m_db = std::make_unique<Database>(Database { std::move(*db), std::move(*insert) });
    auto totals = m_db->db.Prepare("SELECT COUNT(*), COALESCE(SUM(LENGTH(CAST(Topic AS BLOB)) "
                                   "+ LENGTH(CAST(Payload AS BLOB))), 0) FROM Queue");
    if (totals && totals->Step().value_or(false)) {
        m_count = static_cast<std::uint64_t>(totals->ColumnInt64(0));
        m_bytes = static_cast<std::uint64_t>(totals->ColumnInt64(1)) + m_count.load() * kRowOverheadBytes;
    }
    // Added to what was handed over before the file was open.
    const std::map<std::string, std::uint64_t> kept = CountsUpTo(std::numeric_limits<std::int64_t>::max());
    std::lock_guard lock(m_mutex);
    for (const auto& [plc, count] : kept) {
        m_plcs[plc].buffered += count;
    }
}

void MqttQueue::Write(std::vector<MqttMessage>& batch)
{
    const std::uint64_t size = batch.size();
    if (!m_db) {
        m_waitingCount -= size;
        m_dropped += size; // the file could not be opened: said once, by Open
        Settle(CountByPlc(batch), true);
        return;
    }
    storage::SqliteTransaction transaction(m_db->db);
    auto written = transaction.Begin();
    std::uint64_t bytes = 0;
    for (const MqttMessage& message : batch) {
        if (!written) {
            break;
        }
        storage::SqliteStatement& insert = m_db->insert;
        written = insert.Bind(1, std::string_view(message.topic))
                      .and_then([&] { return insert.Bind(2, std::string_view(message.payload)); })
                      .and_then([&] { return insert.Bind(3, std::int64_t { message.retained ? 1 : 0 }); })
                      .and_then([&] { return insert.Bind(4, std::string_view(message.plc)); })
                      .and_then([&]() -> tl::expected<void, std::string> {
                          auto step = insert.Step();
                          insert.Reset();
                          return step ? tl::expected<void, std::string>() : tl::make_unexpected(step.error());
                      });
        bytes += Cost(message.topic, message.payload);
    }
    if (written) {
        written = transaction.Commit();
    }
    m_waitingCount -= size;
    if (!written) {
        // A full disk, a file taken away: the batch is dropped, and said; the next batch tries again.
        m_dropped += size;
        Settle(CountByPlc(batch), true);
        SetProblem("cannot write the MQTT queue " + m_file.string() + ": " + written.error());
        return;
    }
    SetProblem({});
    m_count += size;
    m_bytes += bytes;
    if (m_bytes > m_maxBytes) {
        Trim();
    }
}

void MqttQueue::Trim()
{
    // The oldest go first, in slices, until the queue fits with a tenth to spare: a full queue is not trimmed
    // again at every pass.
    const std::uint64_t target = m_maxBytes - m_maxBytes / 10;
    auto oldest = m_db->db.Prepare("SELECT Sequence, LENGTH(CAST(Topic AS BLOB)) + LENGTH(CAST(Payload AS BLOB)) "
                                   "FROM Queue ORDER BY Sequence LIMIT 10000");
    if (!oldest) {
        SetProblem("cannot trim the MQTT queue " + m_file.string() + ": " + oldest.error());
        return;
    }
    while (m_bytes > target && m_count.load() > 0) {
        std::int64_t last = -1;
        std::uint64_t freed = 0;
        std::uint64_t rows = 0;
        while (m_bytes - freed > target && oldest->Step().value_or(false)) {
            last = oldest->ColumnInt64(0);
            freed += static_cast<std::uint64_t>(oldest->ColumnInt64(1)) + kRowOverheadBytes;
            ++rows;
        }
        oldest->Reset();
        if (last < 0) {
            break;
        }
        const std::map<std::string, std::uint64_t> counts = CountsUpTo(last);
        auto remove = m_db->db.Prepare("DELETE FROM Queue WHERE Sequence <= ?");
        if (!remove || !remove->Bind(1, last) || !remove->Step()) {
            SetProblem("cannot trim the MQTT queue " + m_file.string());
            return;
        }
        Settle(counts, true);
        m_bytes -= std::min(m_bytes, freed);
        m_count -= std::min<std::uint64_t>(m_count.load(), rows);
        m_dropped += rows;
    }
}

std::vector<MqttQueue::Entry> MqttQueue::ReadOldest(std::int64_t afterSequence, std::size_t count)
{
    std::vector<Entry> entries;
    if (!m_db) {
        return entries;
    }
    auto select = m_db->db.Prepare(
        "SELECT Sequence, Topic, Payload, Retained, Plc FROM Queue WHERE Sequence > ? ORDER BY Sequence LIMIT ?");
    if (!select || !select->Bind(1, afterSequence) || !select->Bind(2, static_cast<std::int64_t>(count))) {
        return entries;
    }
    while (select->Step().value_or(false)) {
        Entry& entry = entries.emplace_back();
        entry.sequence = select->ColumnInt64(0);
        entry.message.topic = select->ColumnText(1);
        entry.message.payload = select->ColumnText(2);
        entry.message.retained = select->ColumnInt64(3) != 0;
        entry.message.plc = select->ColumnText(4);
    }
    return entries;
}

void MqttQueue::RemoveUpTo(std::int64_t sequence)
{
    if (!m_db) {
        return;
    }
    // One sweep of what goes: its rows and bytes, and each PLC's share.
    auto totals = m_db->db.Prepare("SELECT Plc, COUNT(*), COALESCE(SUM(LENGTH(CAST(Topic AS BLOB)) "
                                   "+ LENGTH(CAST(Payload AS BLOB))), 0) FROM Queue WHERE Sequence <= ? GROUP BY Plc");
    auto remove = m_db->db.Prepare("DELETE FROM Queue WHERE Sequence <= ?");
    if (!totals || !remove || !totals->Bind(1, sequence)) {
        SetProblem("cannot remove published messages from the MQTT queue " + m_file.string());
        return;
    }
    std::map<std::string, std::uint64_t> counts;
    std::uint64_t rows = 0;
    std::uint64_t bytes = 0;
    while (totals->Step().value_or(false)) {
        const auto plcRows = static_cast<std::uint64_t>(totals->ColumnInt64(1));
        if (std::string plc = totals->ColumnText(0); !plc.empty()) {
            counts[std::move(plc)] = plcRows;
        }
        rows += plcRows;
        bytes += static_cast<std::uint64_t>(totals->ColumnInt64(2)) + plcRows * kRowOverheadBytes;
    }
    if (!remove->Bind(1, sequence) || !remove->Step()) {
        SetProblem("cannot remove published messages from the MQTT queue " + m_file.string());
        return;
    }
    Settle(counts, false);
    m_count -= std::min<std::uint64_t>(m_count.load(), rows);
    m_bytes -= std::min(m_bytes, bytes);
}

} // namespace tavrel::mqtt
