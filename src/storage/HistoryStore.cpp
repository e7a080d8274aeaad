#include "storage/HistoryStore.h"

#include "storage/HistoryReduction.h"
#include "storage/SqliteDatabase.h"
#include "storage/SqliteTransaction.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tavrel::storage {

namespace fs = std::filesystem;

namespace {

/// A day file holds one row per sample, keyed by item and time so that an item's range is read in one sweep and no
/// row number is stored beside it. The time is counted from the day's start (4 bytes on disk rather than 6). The
/// value column has no type, so that each value keeps the smallest form SQLite has for it: a number that is a whole
/// number of thousandths (most PLC values) as that INTEGER of thousandths (1 to 4 bytes rather than 8), any other
/// number as a REAL, a value that is no number as TEXT, none as NULL. The quality is a small integer (0, good, takes
/// no byte).
constexpr char kSchema[] = "PRAGMA journal_mode=WAL;"
                           "PRAGMA synchronous=NORMAL;"
                           "PRAGMA journal_size_limit=1048576;" // the write-ahead log cut back after checkpoints
                           "CREATE TABLE IF NOT EXISTS Samples (Item INTEGER NOT NULL, Time INTEGER NOT NULL, "
                           "Value, Quality INTEGER NOT NULL, PRIMARY KEY (Item, Time)) WITHOUT ROWID;";

/// Two samples of one item in the same millisecond: the later one stands.
constexpr char kInsert[] = "INSERT OR REPLACE INTO Samples (Item, Time, Value, Quality) VALUES (?, ?, ?, ?)";

/// The value column's whole numbers count thousandths.
constexpr double kThousandths = 1000.0;
/// Beyond this a number is kept as a REAL: its thousandths would not fit an integer exactly.
constexpr double kLargestThousandths = 9e12;

/// A finished day is rewritten once, packed (pages filled as the day's interleaved writes leave them only about two
/// thirds full), when it is no larger than this: a larger one would hold the writer for too long.
constexpr std::uint64_t kMaxCompactBytes = 256ULL * 1024 * 1024;

/// How often the thread measures the folder and applies the limits, at most.
constexpr std::int64_t kRetainEveryMs = 1000;

std::int64_t WallClockMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::uint64_t FileBytes(const fs::path& file)
{
    std::error_code error;
    std::uint64_t bytes = 0;
    for (const char* suffix : { "", "-wal", "-shm" }) {
        const auto size = fs::file_size(fs::path(file.string() + suffix), error);
        bytes += error ? 0 : size;
    }
    return bytes;
}

void RemoveDayFile(const fs::path& file)
{
    std::error_code error;
    for (const char* suffix : { "", "-wal", "-shm" }) {
        fs::remove(fs::path(file.string() + suffix), error);
    }
}

std::string Megabytes(std::uint64_t bytes)
{
    return std::to_string((bytes + 1024 * 1024 - 1) / (1024 * 1024)) + " MB";
}

bool IsCorruptCode(int code)
{
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

} // namespace

struct HistoryStore::DayDatabase
{
    SqliteDatabase db;
    SqliteStatement insert;
};

HistoryStore::HistoryStore(fs::path folder, HistoryLimits limits, LogSink log)
    : m_folder(std::move(folder))
    , m_limits(limits.nowMs ? std::move(limits) : HistoryLimits { limits.days, limits.maxBytes, WallClockMs })
    , m_log(std::move(log))
{
    m_thread = std::thread([this] { Run(); });
}

HistoryStore::~HistoryStore()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

fs::path HistoryStore::DayFile(std::int64_t day) const
{
    return m_folder / (DayName(day) + ".sqlite");
}

void HistoryStore::Append(std::vector<HistorySample> batch)
{
    if (batch.empty()) {
        return;
    }
    const std::uint64_t size = batch.size();
    if (m_waiting.load() + size > kMaxWaitingSamples) {
        m_dropped += size; // the disk is slower than the changes: what memory cannot hold is lost, and counted
        return;
    }
    m_waiting += size;
    {
        std::lock_guard lock(m_mutex);
        m_batches.push_back(std::move(batch));
    }
    m_wake.notify_one();
}

void HistoryStore::WaitIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_batches.empty() && !m_busy; });
}

std::string HistoryStore::OldestDay() const
{
    std::lock_guard lock(m_mutex);
    return m_oldestDay;
}

std::string HistoryStore::Problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}

void HistoryStore::SetProblem(std::string problem)
{
    std::string line;
    {
        std::lock_guard lock(m_mutex);
        if (m_problem == problem) {
            return;
        }
        line = problem.empty() ? "History: recording goes on again in " + m_folder.string() : "History: " + problem;
        m_problem = std::move(problem);
    }
    Log(line);
}

void HistoryStore::Log(const std::string& line) const
{
    if (m_log) {
        m_log(line);
    }
}

void HistoryStore::SetAside(const fs::path& file, const std::string& reason) const
{
    std::error_code error;
    const fs::path aside(file.string() + ".corrupt");
    fs::rename(file, aside, error);
    for (const char* suffix : { "-wal", "-shm" }) {
        std::error_code ignored;
        fs::remove(fs::path(file.string() + suffix), ignored);
    }
    Log(error ? "History: " + file.string() + " cannot be read (" + reason + ") nor set aside: " + error.message()
              : "History: " + file.string() + " cannot be read (" + reason + "); set aside as " + aside.string());
}

void HistoryStore::Run()
{
    Retain(true); // busy from the start until this is done: WaitIdle waits for it
    std::unique_lock lock(m_mutex);
    m_busy = false;
    m_idle.notify_all();
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_batches.empty(); });
        if (m_batches.empty()) {
            break; // stopping, and everything handed over is written
        }
        std::vector<HistorySample> batch = std::move(m_batches.front());
        m_batches.pop_front();
        m_busy = true;
        lock.unlock();
        Write(batch);
        lock.lock();
        m_busy = false;
        if (m_batches.empty()) {
            m_idle.notify_all();
        }
    }
    m_open.clear();
}

void HistoryStore::Write(std::vector<HistorySample>& batch)
{
    const std::uint64_t size = batch.size();
    m_waiting -= size;
    const std::int64_t newestOpen = m_open.empty() ? 0 : m_open.rbegin()->first;
    std::stable_sort(batch.begin(), batch.end(),
                     [](const HistorySample& a, const HistorySample& b) { return DayOf(a.timeMs) < DayOf(b.timeMs); });
    // A new day: the limits are applied at once, so that the oldest day goes before the new one grows, and the day
    // before is packed.
    const bool newDay = DayOf(batch.back().timeMs) > newestOpen;
    if (newDay && !m_open.empty()) {
        Compact(newestOpen);
    }
    Retain(newDay);
    if (m_full) {
        m_dropped += size;
        return;
    }
    bool allWritten = true;
    for (auto begin = batch.begin(); begin != batch.end();) {
        const std::int64_t day = DayOf(begin->timeMs);
        const auto end = std::find_if(begin, batch.end(),
                                      [day](const HistorySample& sample) { return DayOf(sample.timeMs) != day; });
        const auto count = static_cast<std::uint64_t>(end - begin);
        if (const auto written = WriteDay(day, &*begin, &*begin + (end - begin)); written) {
            m_written += count;
        } else {
            // A full disk, a folder that cannot be written: these samples are lost, and said; the next batch tries.
            m_dropped += count;
            allWritten = false;
            SetProblem("cannot write " + DayFile(day).string() + ": " + written.error()
                       + "; recording stops until it can");
        }
        begin = end;
    }
    if (allWritten) {
        SetProblem({});
    }
}

tl::expected<HistoryStore::DayDatabase*, std::string> HistoryStore::OpenDay(std::int64_t day)
{
    if (const auto open = m_open.find(day); open != m_open.end()) {
        return open->second.get();
    }
    std::error_code error;
    fs::create_directories(m_folder, error);
    if (error) {
        return tl::make_unexpected("cannot make the folder: " + error.message());
    }
    const fs::path file = DayFile(day);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto db = SqliteDatabase::Open(file, SqliteDatabase::Missing::Create);
        if (!db) {
            return tl::make_unexpected(db.error());
        }
        auto ready = db->Execute(kSchema);
        auto insert = ready ? db->Prepare(kInsert) : tl::expected<SqliteStatement, std::string>(tl::unexpect, "");
        if (insert) {
            // Only the newest days are written: late samples of yesterday, today's.
            while (m_open.size() >= 2) {
                m_open.erase(m_open.begin());
            }
            auto& opened = m_open[day];
            opened = std::make_unique<DayDatabase>(DayDatabase { std::move(*db), std::move(*insert) });
            return opened.get();
        }
        const std::string reason = ready ? insert.error() : ready.error();
        if (attempt > 0 || !IsCorruptCode(db->LastErrorCode())) {
            return tl::make_unexpected(reason);
        }
        db = SqliteDatabase();
        SetAside(file, reason); // and made anew
    }
    return tl::make_unexpected("cannot make " + file.string());
}

tl::expected<void, std::string> HistoryStore::WriteDay(std::int64_t day, const HistorySample* begin,
                                                       const HistorySample* end)
{
    auto opened = OpenDay(day);
    if (!opened) {
        return tl::make_unexpected(opened.error());
    }
    DayDatabase& database = **opened;
    const std::int64_t dayStart = day * kDayMs;
    SqliteTransaction transaction(database.db);
    auto written = transaction.Begin();
    SqliteStatement& insert = database.insert;
    for (const HistorySample* sample = begin; sample != end && written; ++sample) {
        const auto bindValue = [&]() -> tl::expected<void, std::string> {
            if (!sample->value) {
                return sample->text.empty() ? insert.Bind(3, std::optional<double>())
                                            : insert.Bind(3, std::string_view(sample->text));
            }
            const double value = *sample->value;
            if (std::fabs(value) < kLargestThousandths) {
                const auto thousandths = static_cast<std::int64_t>(std::llround(value * kThousandths));
                if (static_cast<double>(thousandths) / kThousandths == value) {
                    return insert.Bind(3, thousandths);
                }
            }
            return insert.Bind(3, sample->value);
        };
        written = insert.Bind(1, std::int64_t { sample->item })
                      .and_then([&] { return insert.Bind(2, sample->timeMs - dayStart); })
                      .and_then(bindValue)
                      .and_then([&] { return insert.Bind(4, std::int64_t { sample->quality }); })
                      .and_then([&]() -> tl::expected<void, std::string> {
                          auto step = insert.Step();
                          insert.Reset();
                          return step ? tl::expected<void, std::string>() : tl::make_unexpected(step.error());
                      });
    }
    if (written) {
        written = transaction.Commit();
    }
    if (!written && IsCorruptCode(database.db.LastErrorCode())) {
        m_open.erase(day);
        SetAside(DayFile(day), written.error());
    }
    return written;
}

void HistoryStore::Compact(std::int64_t day)
{
    m_open.erase(day);
    const fs::path file = DayFile(day);
    if (FileBytes(file) > kMaxCompactBytes) {
        return;
    }
    auto db = SqliteDatabase::Open(file);
    if (db) {
        (void)db->Execute("VACUUM; PRAGMA wal_checkpoint(TRUNCATE);");
    }
}

void HistoryStore::Retain(bool force)
{
    const std::int64_t now = m_limits.nowMs();
    if (!force && now - m_lastRetainMs < kRetainEveryMs && now >= m_lastRetainMs) {
        return;
    }
    m_lastRetainMs = now;
    std::map<std::int64_t, std::uint64_t> days; // day -> bytes
    std::error_code error;
    for (fs::directory_iterator entry(m_folder, error), end; !error && entry != end; entry.increment(error)) {
        const fs::path& path = entry->path();
        if (path.extension() != ".sqlite") {
            continue;
        }
        if (const auto day = ParseDayName(path.stem().string())) {
            days[*day] = FileBytes(path);
        }
    }
    const auto remove = [this, &days](std::int64_t day, const std::string& why) {
        m_open.erase(day);
        RemoveDayFile(DayFile(day));
        days.erase(day);
        Log("History: " + DayName(day) + " deleted: " + why);
    };
    const std::int64_t firstKept = DayOf(now) - std::max(1, m_limits.days) + 1;
    while (!days.empty() && days.begin()->first < firstKept) {
        remove(days.begin()->first, "older than HistoryDays (" + std::to_string(m_limits.days) + ")");
    }
    std::uint64_t total = 0;
    for (const auto& [day, bytes] : days) {
        total += bytes;
    }
    while (total > m_limits.maxBytes && days.size() > 1) {
        total -= days.begin()->second;
        remove(days.begin()->first, "the history is over HistoryMaxMB (" + Megabytes(m_limits.maxBytes) + ")");
    }
    const bool wasFull = std::exchange(m_full, total > m_limits.maxBytes);
    if (m_full) {
        SetProblem("the history of " + DayName(days.begin()->first) + " alone is over HistoryMaxMB ("
                   + Megabytes(m_limits.maxBytes) + "): recording stops until the next day");
    } else if (wasFull) {
        SetProblem({});
    }
    m_sizeBytes = total;
    std::lock_guard lock(m_mutex);
    m_oldestDay = days.empty() ? std::string() : DayName(days.begin()->first);
}

template<typename Visit>
tl::expected<void, std::string> HistoryStore::Scan(std::int32_t item, std::int64_t fromMs, std::int64_t toMs,
                                                   Visit&& visit) const
{
    std::size_t scanned = 0;
    for (std::int64_t day = DayOf(fromMs); fromMs <= toMs && day <= DayOf(toMs); ++day) {
        const fs::path file = DayFile(day);
        std::error_code error;
        if (!fs::exists(file, error)) {
            continue;
        }
        auto db = SqliteDatabase::Open(file);
        if (!db) {
            continue; // deleted by the limits since
        }
        auto select = db->Prepare(
            "SELECT Time, Value, Quality FROM Samples WHERE Item = ? AND Time BETWEEN ? AND ? ORDER BY Time");
        if (!select) {
            if (IsCorruptCode(db->LastErrorCode())) {
                *db = SqliteDatabase();
                SetAside(file, select.error());
                continue;
            }
            if (select.error().starts_with("no such table")) {
                continue; // made by the writer a moment ago
            }
            return tl::make_unexpected("cannot read " + file.string() + ": " + select.error());
        }
        const std::int64_t dayStart = day * kDayMs;
        if (!select->Bind(1, std::int64_t { item }) || !select->Bind(2, std::max(fromMs, dayStart) - dayStart)
            || !select->Bind(3, std::min(toMs, dayStart + kDayMs - 1) - dayStart)) {
            return tl::make_unexpected("cannot read " + file.string());
        }
        while (true) {
            const auto row = select->Step();
            if (!row) {
                if (IsCorruptCode(db->LastErrorCode())) {
                    Log("History: " + file.string() + " is damaged (" + row.error() + "); what it held after "
                        + DayName(day) + " is not read");
                    break;
                }
                return tl::make_unexpected("cannot read " + file.string() + ": " + row.error());
            }
            if (!*row) {
                break;
            }
            if (++scanned > kMaxScannedSamples) {
                return tl::make_unexpected("the range holds more than " + std::to_string(kMaxScannedSamples)
                                           + " samples: ask for a shorter one");
            }
            StoredPoint point { .timeMs = dayStart + select->ColumnInt64(0),
                                .value = std::nullopt,
                                .quality = static_cast<std::uint8_t>(select->ColumnInt64(2)) };
            switch (select->ColumnType(1)) {
            case SQLITE_INTEGER:
                point.value = static_cast<double>(select->ColumnInt64(1)) / kThousandths;
                break;
            case SQLITE_FLOAT:
                point.value = select->ColumnDouble(1);
                break;
            default:
                break; // a text, or none
            }
            if (!visit(point)) {
                return {};
            }
        }
    }
    return {};
}

tl::expected<std::vector<StoredPoint>, std::string> HistoryStore::Read(std::int32_t item, std::int64_t fromMs,
                                                                       std::int64_t toMs, std::size_t maxPoints) const
{
    HistoryReduction reduction(fromMs, toMs, maxPoints);
    auto scanned = Scan(item, fromMs, toMs, [&reduction](const StoredPoint& point) {
        reduction.Add(point);
        return true;
    });
    if (!scanned) {
        return tl::make_unexpected(scanned.error());
    }
    return reduction.Take();
}

tl::expected<std::vector<StoredPoint>, std::string> HistoryStore::ReadRaw(std::int32_t item, std::int64_t fromMs,
                                                                          std::int64_t toMs, std::size_t maxRows) const
{
    std::vector<StoredPoint> points;
    if (maxRows == 0) {
        return points;
    }
    auto scanned = Scan(item, fromMs, toMs, [&points, maxRows](const StoredPoint& point) {
        points.push_back(point);
        return points.size() < maxRows;
    });
    if (!scanned) {
        return tl::make_unexpected(scanned.error());
    }
    return points;
}

} // namespace tavrel::storage
