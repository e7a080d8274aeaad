#include "storage/HistoryPostgres.h"

#include "storage/HistoryReduction.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tavrel::storage {

namespace {

// One row per sample, keyed by source (which program, of the many that may share the table), item and time, so
// that an item's range is one index sweep and a batch written again after a lost answer changes nothing.
constexpr char kSchema[]
    = "CREATE TABLE IF NOT EXISTS tavrel_history (source text NOT NULL, time timestamptz NOT NULL, "
      "item integer NOT NULL, value double precision, text text, quality smallint NOT NULL, "
      "PRIMARY KEY (source, item, time))";
constexpr char kHasTimescale[] = "SELECT 1 FROM pg_extension WHERE extname = 'timescaledb'";
constexpr char kHypertable[] = "SELECT create_hypertable('tavrel_history', 'time', if_not_exists => TRUE, "
                               "migrate_data => TRUE)";
// Samples come in through COPY into a table of the session, then join the history; two samples of one item in the
// same millisecond: the later one stands, as in the embedded store.
constexpr char kIncoming[] = "CREATE TEMP TABLE IF NOT EXISTS tavrel_incoming (LIKE tavrel_history) "
                             "ON COMMIT DELETE ROWS";
constexpr char kCopy[] = "COPY tavrel_incoming (source, time, item, value, text, quality) FROM STDIN";
constexpr char kMerge[] = "INSERT INTO tavrel_history SELECT DISTINCT ON (source, item, time) * FROM tavrel_incoming "
                          "ON CONFLICT (source, item, time) DO UPDATE SET value = EXCLUDED.value, "
                          "text = EXCLUDED.text, quality = EXCLUDED.quality";
// The time as milliseconds through date_part's float8 (exact to the millisecond for any time of this era), a third
// cheaper than EXTRACT's numeric.
constexpr char kSelect[]
    = "SELECT round(date_part('epoch', time) * 1000)::bigint, value, quality FROM tavrel_history "
      "WHERE source = $5 AND item = $1 AND time >= timestamptz 'epoch' + $2::bigint * interval '1 millisecond' "
      "AND time <= timestamptz 'epoch' + $3::bigint * interval '1 millisecond' "
      "ORDER BY time LIMIT $4";

/// A libpq result, cleared when it goes.
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

Result Exec(PGconn* connection, const char* sql)
{
    return Result(PQexec(connection, sql), &PQclear);
}

bool Is(const Result& result, ExecStatusType status)
{
    return result && PQresultStatus(result.get()) == status;
}

/// A connection to `text` that keeps the server's notices ("already exists, skipping") to itself.
PGconn* ConnectQuietly(const std::string& text)
{
    PGconn* connection = PQconnectdb(text.c_str());
    PQsetNoticeProcessor(
        connection, [](void*, const char*) {}, nullptr);
    return connection;
}

std::string Message(PGconn* connection)
{
    std::string text = PQerrorMessage(connection);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "no answer" : text;
}

/// Whether a failed statement may work when tried again: the connection, the server going down or busy.
bool IsPassing(PGconn* connection, const Result& result)
{
    if (PQstatus(connection) != CONNECTION_OK) {
        return true;
    }
    const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
    const std::string sqlState = state != nullptr ? state : "";
    for (const char* passing : { "08", "57", "53", "40" }) {
        if (sqlState.starts_with(passing)) {
            return true;
        }
    }
    return sqlState.empty();
}

void AppendTime(std::string& out, std::int64_t timeMs)
{
    const std::int64_t day = DayOf(timeMs);
    std::int64_t inDay = timeMs - day * kDayMs;
    out += DayName(day);
    char text[24];
    const auto hours = inDay / 3'600'000;
    inDay %= 3'600'000;
    const auto minutes = inDay / 60'000;
    inDay %= 60'000;
    std::snprintf(text, sizeof text, " %02d:%02d:%02d.%03d+00", static_cast<int>(hours), static_cast<int>(minutes),
                  static_cast<int>(inDay / 1000), static_cast<int>(inDay % 1000));
    out += text;
}

void AppendValue(std::string& out, const std::optional<double>& value)
{
    if (!value) {
        out += "\\N";
    } else if (std::isnan(*value)) {
        out += "NaN";
    } else if (std::isinf(*value)) {
        out += *value > 0 ? "Infinity" : "-Infinity";
    } else {
        char text[32];
        const auto [end, error] = std::to_chars(std::begin(text), std::end(text), *value);
        out.append(text, error == std::errc() ? end : text);
    }
}

// COPY's text format: a backslash and the characters that end fields and rows are escaped.
void AppendText(std::string& out, const std::string& text)
{
    if (text.empty()) {
        out += "\\N";
        return;
    }
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

} // namespace

struct HistoryPostgres::Connection
{
    std::unique_ptr<PGconn, decltype(&PQfinish)> handle { nullptr, &PQfinish };
    PGconn* get() const { return handle.get(); }
};

HistoryPostgres::HistoryPostgres(std::string connection, std::string source, LogSink log)
    : m_connectionText(std::move(connection))
    , m_source(source.empty() ? std::string("tavrel") : std::move(source))
    , m_log(std::move(log))
{
    m_thread = std::thread([this] { Run(); });
}

HistoryPostgres::~HistoryPostgres()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void HistoryPostgres::Append(std::vector<HistorySample> batch)
{
    if (batch.empty()) {
        return;
    }
    const std::uint64_t size = batch.size();
    if (m_waiting.load() + size > kMaxWaitingSamples) {
        m_dropped += size; // away too long: what memory cannot hold is lost here, and counted
        return;
    }
    m_waiting += size;
    {
        std::lock_guard lock(m_mutex);
        m_batches.push_back(std::move(batch));
    }
    m_wake.notify_one();
}

bool HistoryPostgres::WaitWritten(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_idle.wait_for(lock, timeout, [this] { return m_batches.empty(); });
}

std::string HistoryPostgres::Problem() const
{
    std::lock_guard lock(m_mutex);
    return m_problem;
}

void HistoryPostgres::SetProblem(std::string problem)
{
    std::string line;
    {
        std::lock_guard lock(m_mutex);
        if (m_problem == problem) {
            return;
        }
        line = problem.empty() ? "History: PostgreSQL takes the history again" : "History: " + problem;
        m_problem = std::move(problem);
    }
    if (m_log) {
        m_log(line);
    }
}

void HistoryPostgres::Run()
{
    std::chrono::milliseconds retry = kFirstRetry;
    std::unique_lock lock(m_mutex);
    while (true) {
        m_wake.wait(lock, [this] { return m_stopping || !m_batches.empty(); });
        if (m_batches.empty()) {
            break;
        }
        // The oldest batches together, up to a transaction's worth: a queue that grew while the database was away
        // goes out in few transactions.
        std::vector<HistorySample> merged;
        std::size_t batches = 0;
        for (const auto& batch : m_batches) {
            if (batches > 0 && merged.size() + batch.size() > kMaxSamplesPerTransaction) {
                break;
            }
            merged.insert(merged.end(), batch.begin(), batch.end());
            ++batches;
        }
        const bool stopping = m_stopping;
        lock.unlock();
        const bool done = (m_writer || Connect()) && Write(merged);
        lock.lock();
        if (done) {
            m_batches.erase(m_batches.begin(), m_batches.begin() + static_cast<std::ptrdiff_t>(batches));
            m_waiting -= merged.size();
            retry = kFirstRetry;
            if (m_batches.empty()) {
                m_idle.notify_all();
            }
            continue;
        }
        m_writer.reset();
        if (stopping) {
            break; // no waiting for a database that is away while the program ends
        }
        m_wake.wait_for(lock, retry, [this] { return m_stopping; });
        retry = std::min(retry * 2, kLongestRetry);
    }
    m_writer.reset();
}

bool HistoryPostgres::Connect()
{
    Connection connection;
    connection.handle.reset(ConnectQuietly(m_connectionText));
    if (PQstatus(connection.get()) != CONNECTION_OK) {
        SetProblem("PostgreSQL is away (" + Message(connection.get()) + "); the history waits for it");
        return false;
    }
    for (const char* sql : { kSchema, kIncoming }) {
        if (!Is(Exec(connection.get(), sql), PGRES_COMMAND_OK)) {
            SetProblem("PostgreSQL refuses the history table: " + Message(connection.get()));
            return false;
        }
    }
    const Result timescale = Exec(connection.get(), kHasTimescale);
    if (Is(timescale, PGRES_TUPLES_OK) && PQntuples(timescale.get()) > 0
        && !Is(Exec(connection.get(), kHypertable), PGRES_TUPLES_OK)) {
        SetProblem("PostgreSQL: the history table cannot be a hypertable: " + Message(connection.get()));
    }
    m_writer = std::make_unique<Connection>(std::move(connection));
    SetProblem({});
    return true;
}

bool HistoryPostgres::Write(const std::vector<HistorySample>& batch)
{
    PGconn* connection = m_writer->get();
    const auto failed = [&](const Result& result) {
        const std::string reason = Message(connection);
        if (IsPassing(connection, result)) {
            SetProblem("PostgreSQL is away (" + reason + "); the history waits for it");
            return false;
        }
        (void)Exec(connection, "ROLLBACK");
        m_dropped += batch.size();
        SetProblem("PostgreSQL refused " + std::to_string(batch.size()) + " samples: " + reason);
        return true; // for good: trying again would be refused again
    };
    if (Result begin = Exec(connection, "BEGIN"); !Is(begin, PGRES_COMMAND_OK)) {
        return failed(begin);
    }
    if (Result copy = Exec(connection, kCopy); !Is(copy, PGRES_COPY_IN)) {
        return failed(copy);
    }
    std::string rows;
    rows.reserve(1 << 20);
    bool sent = true;
    for (std::size_t i = 0; i < batch.size() && sent; ++i) {
        const HistorySample& sample = batch[i];
        AppendText(rows, m_source);
        rows += '\t';
        AppendTime(rows, sample.timeMs);
        rows += '\t';
        rows += std::to_string(sample.item);
        rows += '\t';
        AppendValue(rows, sample.value);
        rows += '\t';
        AppendText(rows, sample.text);
        rows += '\t';
        rows += std::to_string(sample.quality);
        rows += '\n';
        if (rows.size() >= (1 << 20) || i + 1 == batch.size()) {
            sent = PQputCopyData(connection, rows.data(), static_cast<int>(rows.size())) == 1;
            rows.clear();
        }
    }
    if (PQputCopyEnd(connection, sent ? nullptr : "not sent") != 1) {
        return failed(Result(nullptr, &PQclear));
    }
    Result copied(PQgetResult(connection), &PQclear);
    while (Result(PQgetResult(connection), &PQclear)) { }
    if (!Is(copied, PGRES_COMMAND_OK)) {
        return failed(copied);
    }
    for (const char* sql : { kMerge, "COMMIT" }) {
        if (Result result = Exec(connection, sql); !Is(result, PGRES_COMMAND_OK)) {
            return failed(result);
        }
    }
    m_written += batch.size();
    SetProblem({});
    return true;
}

template<typename Visit>
tl::expected<void, std::string> HistoryPostgres::Scan(std::int32_t item, std::int64_t fromMs, std::int64_t toMs,
                                                      std::size_t limit, Visit&& visit) const
{
    std::lock_guard lock(m_readMutex);
    const std::string params[]
        = { std::to_string(item), std::to_string(fromMs), std::to_string(toMs), std::to_string(limit), m_source };
    const char* values[]
        = { params[0].c_str(), params[1].c_str(), params[2].c_str(), params[3].c_str(), params[4].c_str() };
    Result rows(nullptr, &PQclear);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!m_reader || PQstatus(m_reader->get()) != CONNECTION_OK) {
            m_reader = std::make_unique<Connection>();
            m_reader->handle.reset(ConnectQuietly(m_connectionText));
        }
        rows.reset(PQexecParams(m_reader->get(), kSelect, 5, nullptr, values, nullptr, nullptr, 0));
        if (Is(rows, PGRES_TUPLES_OK) || PQstatus(m_reader->get()) == CONNECTION_OK) {
            break; // an answer, or a refusal that a new connection would not change
        }
    }
    if (!Is(rows, PGRES_TUPLES_OK)) {
        return tl::make_unexpected("cannot read the history from PostgreSQL: " + Message(m_reader->get()));
    }
    const int count = PQntuples(rows.get());
    for (int row = 0; row < count; ++row) {
        StoredPoint point;
        point.timeMs = std::strtoll(PQgetvalue(rows.get(), row, 0), nullptr, 10);
        if (PQgetisnull(rows.get(), row, 1) == 0) {
            point.value = std::strtod(PQgetvalue(rows.get(), row, 1), nullptr);
        }
        point.quality = static_cast<std::uint8_t>(std::atoi(PQgetvalue(rows.get(), row, 2)));
        if (!visit(point)) {
            break;
        }
    }
    return {};
}

tl::expected<std::vector<StoredPoint>, std::string>
HistoryPostgres::Read(std::int32_t item, std::int64_t fromMs, std::int64_t toMs, std::size_t maxPoints) const
{
    HistoryReduction reduction(fromMs, toMs, maxPoints);
    std::size_t scanned = 0;
    auto read = Scan(item, fromMs, toMs, kMaxScannedSamples + 1, [&](const StoredPoint& point) {
        reduction.Add(point);
        return ++scanned <= kMaxScannedSamples;
    });
    if (!read) {
        return tl::make_unexpected(read.error());
    }
    if (scanned > kMaxScannedSamples) {
        return tl::make_unexpected("the range holds more than " + std::to_string(kMaxScannedSamples)
                                   + " samples: ask for a shorter one");
    }
    return reduction.Take();
}

tl::expected<std::vector<StoredPoint>, std::string>
HistoryPostgres::ReadRaw(std::int32_t item, std::int64_t fromMs, std::int64_t toMs, std::size_t maxRows) const
{
    std::vector<StoredPoint> points;
    if (maxRows == 0) {
        return points;
    }
    auto read = Scan(item, fromMs, toMs, maxRows, [&points](const StoredPoint& point) {
        points.push_back(point);
        return true;
    });
    if (!read) {
        return tl::make_unexpected(read.error());
    }
    return points;
}

} // namespace tavrel::storage
