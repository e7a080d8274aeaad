#pragma once

#include "app/HistoryReader.h"
#include "app/ItemService.h"
#include "common/Settings.h"
#include "storage/HistoryPostgres.h"
#include "storage/HistoryStore.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tavrel::app {

class Program;

/// Keeps the history of the items whose Record flag is set: every change the item service gives its surfaces (after
/// the deadband), every quality change (a run's start and end among them: its end leaves each recorded item stale,
/// so a chart shows a gap), handed to the embedded store, and to PostgreSQL when HistoryPostgres is set, each
/// written on a thread of its own. Reads the history back for charts and exports, from PostgreSQL when it is set (from
/// the embedded store, which holds the same, while PostgreSQL cannot answer).
/// Its health is in the System items HistorySizeMB, HistoryOldestDay and HistoryProblem. Lives on the main thread,
/// owned by the program while a project file is open.
class HistoryRecorder : public QObject, public HistoryReader
{
    Q_OBJECT

public:
    /// Records the items of `program`'s project into `folder`, kept within `settings`.
    HistoryRecorder(Program& program, std::filesystem::path folder, const common::HistorySettings& settings,
                    QObject* parent = nullptr);
    /// Records the end of a run still going on, and writes what was handed over.
    ~HistoryRecorder() override;

    bool IsRecorded(std::int32_t index) const override;
    tl::expected<std::vector<HistoryPoint>, std::string> Read(std::int32_t index, std::int64_t fromMs,
                                                              std::int64_t toMs, std::size_t maxPoints) const override;
    tl::expected<std::vector<HistoryPoint>, std::string> ReadRaw(std::int32_t index, std::int64_t fromMs,
                                                                 std::int64_t toMs, std::size_t maxRows) const override;

    /// The embedded store (tests and measurements).
    storage::HistoryStore& Store() { return m_store; }
    /// The PostgreSQL writer; none unless HistoryPostgres is set.
    storage::HistoryPostgres* Database() { return m_database.get(); }

    /// The samples one batch of changes makes: the recorded items' changes, each at the time its value was read (a
    /// quality change at `now`, the moment it is told), never before the item's last sample. Pure but for the
    /// last samples it notes.
    std::vector<storage::HistorySample> Samples(const std::vector<ItemChange>& changes,
                                                std::chrono::system_clock::time_point now);

private:
    void Record(const std::vector<ItemChange>& changes);
    void RenewRecorded();
    void ShowHealth();
    void Log(const std::string& line);

    /// What was last recorded of an item.
    struct Last
    {
        bool any = false;
        std::string value;
        std::int64_t timeMs = 0;
        Quality quality = Quality::Waiting;
    };

    Program& m_program;
    std::vector<bool> m_recorded; ///< by label index
    std::vector<Last> m_last; ///< by label index
    storage::HistoryStore m_store;
    std::unique_ptr<storage::HistoryPostgres> m_database;
    QTimer m_healthTimer;
};

/// Where the history of the project at `projectFile` lies: beside it, its name with ".history" for its extension.
std::filesystem::path HistoryFolder(const std::filesystem::path& projectFile);

} // namespace tavrel::app
