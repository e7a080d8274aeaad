#include "app/HistoryRecorder.h"

#include "app/Program.h"
#include "common/NumberText.h"
#include "model/clsConfig.h"

#include <QSysInfo>

#include <algorithm>

namespace tavrel::app {

namespace fs = std::filesystem;

namespace {

/// How often the System items of the history are renewed while nothing is recorded.
constexpr int kHealthEveryMs = 5000;

std::int64_t Milliseconds(std::chrono::system_clock::time_point at)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

std::vector<HistoryPoint> ToHistoryPoints(const std::vector<storage::StoredPoint>& stored)
{
    std::vector<HistoryPoint> points;
    points.reserve(stored.size());
    for (const storage::StoredPoint& point : stored) {
        points.push_back(HistoryPoint { .timeMs = point.timeMs,
                                        .value = point.value,
                                        .quality = static_cast<Quality>(std::min<std::uint8_t>(point.quality, 3)) });
    }
    return points;
}

} // namespace

fs::path HistoryFolder(const fs::path& projectFile)
{
    fs::path folder = projectFile;
    folder.replace_extension(".history");
    return folder;
}

HistoryRecorder::HistoryRecorder(Program& program, fs::path folder, const common::HistorySettings& settings,
                                 QObject* parent)
    : QObject(parent)
    , m_program(program)
    , m_store(std::move(folder),
              storage::HistoryLimits { .days = settings.days, .maxBytes = settings.maxBytes, .nowMs = {} },
              [this](const std::string& line) {
                  // From the store's thread: the event log lives on this one.
                  QMetaObject::invokeMethod(
                      this, [this, line] { Log(line); }, Qt::QueuedConnection);
              })
{
    if (!settings.postgres.empty()) {
        // This program's rows among those of the others sharing the table: its computer and project.
        const std::string source = QSysInfo::machineHostName().toStdString() + "/" + m_store.Folder().stem().string();
        m_database
            = std::make_unique<storage::HistoryPostgres>(settings.postgres, source, [this](const std::string& line) {
                  QMetaObject::invokeMethod(
                      this, [this, line] { Log(line); }, Qt::QueuedConnection);
              });
    }
    RenewRecorded();
    ItemService& service = m_program.Service();
    connect(&service, &ItemService::changed, this, &HistoryRecorder::Record);
    connect(&service, &ItemService::projectChanged, this, &HistoryRecorder::RenewRecorded);
    connect(&m_program, &Program::projectChanged, this, &HistoryRecorder::RenewRecorded);
    connect(&m_program, &Program::runningChanged, this, [this](bool running) {
        if (!running) {
            // The run's end: every recorded item goes stale now, not at the next turn of the event loop.
            m_program.Service().Flush();
        }
    });
    connect(&m_healthTimer, &QTimer::timeout, this, &HistoryRecorder::ShowHealth);
    m_healthTimer.start(kHealthEveryMs);
    ShowHealth();
}

HistoryRecorder::~HistoryRecorder()
{
    // Closing while running: the run ends here for the history, so that a chart does not draw on past it.
    std::vector<storage::HistorySample> ends;
    const std::int64_t now = Milliseconds(std::chrono::system_clock::now());
    for (std::size_t index = 0; index < m_last.size(); ++index) {
        const Last& last = m_last[index];
        if (last.any && last.quality == Quality::Good && index < m_recorded.size() && m_recorded[index]) {
            ends.push_back(storage::HistorySample { .item = static_cast<std::int32_t>(index),
                                                    .timeMs = std::max(now, last.timeMs + 1),
                                                    .value = std::nullopt,
                                                    .text = {},
                                                    .quality = static_cast<std::uint8_t>(Quality::Stale) });
        }
    }
    if (m_database) {
        m_database->Append(ends);
    }
    m_store.Append(std::move(ends));
}

void HistoryRecorder::RenewRecorded()
{
    m_recorded.assign(static_cast<std::size_t>(std::max(0, m_program.Labels().HighestIndex())) + 1, false);
    for (const auto& plc : m_program.Project().colPlcs()) {
        for (const auto& item : plc->colItems()) {
            for (const model::Clsitem& one : std::as_const(*item).Operands()) {
                const auto position = static_cast<std::size_t>(one.Label.Index());
                if (one.Label.IsSet() && one.Details.record && position < m_recorded.size()) {
                    m_recorded[position] = true;
                }
            }
        }
    }
}

bool HistoryRecorder::IsRecorded(std::int32_t index) const
{
    return index > 0 && static_cast<std::size_t>(index) < m_recorded.size()
        && m_recorded[static_cast<std::size_t>(index)];
}

std::vector<storage::HistorySample> HistoryRecorder::Samples(const std::vector<ItemChange>& changes,
                                                             std::chrono::system_clock::time_point now)
{
    std::vector<storage::HistorySample> samples;
    const char separator = m_program.Service().DecimalSeparator();
    for (const ItemChange& change : changes) {
        if (!IsRecorded(change.index)) {
            continue;
        }
        const auto position = static_cast<std::size_t>(change.index);
        if (m_last.size() <= position) {
            m_last.resize(position + 1);
        }
        Last& last = m_last[position];
        const bool newValue = !last.any || last.value != change.value;
        const bool readAtKnown = change.readAt.time_since_epoch().count() != 0;
        std::int64_t timeMs = Milliseconds(newValue && readAtKnown ? change.readAt : now);
        if (last.any && timeMs <= last.timeMs) {
            timeMs = last.timeMs + 1; // one sample per item and millisecond, in the order they were told
        }
        storage::HistorySample sample { .item = change.index,
                                        .timeMs = timeMs,
                                        .value = std::nullopt,
                                        .text = {},
                                        .quality = static_cast<std::uint8_t>(change.quality) };
        // Waiting and bad hold no value; a stale one is the last value read, kept for its text.
        if (change.quality == Quality::Good || change.quality == Quality::Stale) {
            if (const auto number = common::ParseDouble(change.value, separator)) {
                sample.value = *number;
            } else {
                sample.text = change.value;
            }
        }
        last = Last { .any = true, .value = change.value, .timeMs = timeMs, .quality = change.quality };
        samples.push_back(std::move(sample));
    }
    return samples;
}

void HistoryRecorder::Record(const std::vector<ItemChange>& changes)
{
    std::vector<storage::HistorySample> samples = Samples(changes, std::chrono::system_clock::now());
    if (samples.empty()) {
        return;
    }
    if (m_database) {
        m_database->Append(samples);
    }
    m_store.Append(std::move(samples));
}

tl::expected<std::vector<HistoryPoint>, std::string>
HistoryRecorder::Read(std::int32_t index, std::int64_t fromMs, std::int64_t toMs, std::size_t maxPoints) const
{
    if (m_database && m_database->Problem().empty()) { // never wait on a database known to be away
        if (auto points = m_database->Read(index, fromMs, toMs, maxPoints)) {
            return ToHistoryPoints(*points);
        }
    }
    return m_store.Read(index, fromMs, toMs, maxPoints).map(ToHistoryPoints);
}

tl::expected<std::vector<HistoryPoint>, std::string>
HistoryRecorder::ReadRaw(std::int32_t index, std::int64_t fromMs, std::int64_t toMs, std::size_t maxRows) const
{
    if (m_database && m_database->Problem().empty()) {
        if (auto points = m_database->ReadRaw(index, fromMs, toMs, maxRows)) {
            return ToHistoryPoints(*points);
        }
    }
    return m_store.ReadRaw(index, fromMs, toMs, maxRows).map(ToHistoryPoints);
}

void HistoryRecorder::ShowHealth()
{
    ItemService& service = m_program.Service();
    const std::uint64_t megabytes = (m_store.SizeBytes() + 512 * 1024) / (1024 * 1024);
    service.SetSystemItem(QStringLiteral("HistorySizeMB"), QString::number(megabytes));
    service.SetSystemItem(QStringLiteral("HistoryOldestDay"), QString::fromStdString(m_store.OldestDay()));
    std::string problem = m_store.Problem();
    if (const std::string away = m_database ? m_database->Problem() : std::string(); !away.empty()) {
        problem += (problem.empty() ? "" : "; ") + away;
    }
    service.SetSystemItem(QStringLiteral("HistoryProblem"), QString::fromStdString(problem));
}

void HistoryRecorder::Log(const std::string& line)
{
    m_program.Service().Events().Add(EventKind::History, QString::fromStdString(line));
    ShowHealth();
}

} // namespace tavrel::app
