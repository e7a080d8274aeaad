// The history: recording a project's changes at a given rate (1,000 recorded items changing every pass, ten passes a
// second, for a minute: 10,000 changes a second) — the time each pass spends handing its changes over, the CPU of the
// whole process (the writer thread included) and the bytes each sample takes on disk; then one day of one item at one
// sample a second (86,400 samples) read back as 1,000 points, from the embedded store and from a PostgreSQL of its own.
//
//   tavrel-bench-history [--seconds S] [--items N] [--passes-per-second P] [--no-postgres]
#include "app/HistoryRecorder.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "storage/HistoryPostgres.h"
#include "storage/ProjectTemplate.h"
#include "storage/ProjectWriter.h"
#include "storage/SqliteDatabase.h"
#include "support/PostgresServer.h"

#include <QCoreApplication>

#include <libpq-fe.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

using namespace tavrel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::uint64_t FolderBytes(const fs::path& folder)
{
    std::uint64_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        bytes += entry.is_regular_file() ? entry.file_size() : 0;
    }
    return bytes;
}

// Recording through the program's recorder, as a run hands it each pass's batch.
int BenchRecording(const fs::path& folder, int seconds, int items, int passesPerSecond)
{
    app::Program program(
        common::Settings(folder / "bench.ini", "tavrel"),
        [](const model::clsPlc&) { return std::shared_ptr<comm::CommDriver>(); }, folder / "no-template.tvb");
    auto plc = program.Project().NewPlc();
    plc->Name = "Line_1";
    auto& added = program.Project().AddPLC(std::move(plc));
    std::int32_t label = -1;
    common::ItemDetails details;
    details.record = true;
    if (!added.AddItems(items, 0, common::operand::MI, common::direction::Read, true, label, details)) {
        std::fprintf(stderr, "cannot add the items\n");
        return 1;
    }
    const auto templatePath = storage::DefaultTemplatePath();
    if (!templatePath || !storage::SaveToDB(program.Project(), folder / "bench.tvb", *templatePath)
        || !program.OpenProject((folder / "bench.tvb").string()) || program.Recorder() == nullptr) {
        std::fprintf(stderr, "cannot save and open the project\n");
        return 1;
    }
    app::HistoryRecorder& recorder = *program.Recorder();
    std::mt19937 random(7);
    std::normal_distribution<double> step(0.0, 0.5);
    std::vector<double> values(static_cast<std::size_t>(items) + 1, 230.0);
    std::vector<double> passMs;
    const int passes = seconds * passesPerSecond;
    const auto period = std::chrono::microseconds(1'000'000 / passesPerSecond);
    const double cpuBefore = CpuSeconds();
    const auto start = Clock::now();
    for (int pass = 0; pass < passes; ++pass) {
        std::vector<app::ItemChange> changes;
        changes.reserve(static_cast<std::size_t>(items));
        const auto now = std::chrono::system_clock::now();
        for (std::int32_t index = 1; index <= items; ++index) {
            double& value = values[static_cast<std::size_t>(index)];
            value += step(random);
            char text[32];
            std::snprintf(text, sizeof text, "%.2f", value);
            changes.push_back(app::ItemChange { index, text, now, app::Quality::Good, {} });
        }
        const auto handOver = Clock::now();
        emit program.Service().changed(changes);
        passMs.push_back(MillisecondsSince(handOver));
        std::this_thread::sleep_until(start + period * (pass + 1));
    }
    recorder.Store().WaitIdle();
    const double elapsed = MillisecondsSince(start) / 1000;
    const double cpu = CpuSeconds() - cpuBefore;
    std::sort(passMs.begin(), passMs.end());
    const std::uint64_t samples = recorder.Store().Written();
    const std::uint64_t bytes = FolderBytes(recorder.Store().Folder());
    std::printf("history recording: %llu samples in %.1f s (%.0f a second), dropped %llu\n",
                static_cast<unsigned long long>(samples), elapsed, static_cast<double>(samples) / elapsed,
                static_cast<unsigned long long>(recorder.Store().Dropped()));
    std::printf("  CPU %.2f s of %.1f s (%.1f %% of one core), handing a pass's %d changes over: median %.3f ms, "
                "p99 %.3f ms\n",
                cpu, elapsed, 100 * cpu / elapsed, items, passMs[passMs.size() / 2], passMs[passMs.size() * 99 / 100]);
    std::printf("  on disk while the day is written: %.1f MB, %.1f bytes a sample (target <= 24)\n",
                static_cast<double>(bytes) / 1e6,
                static_cast<double>(bytes) / static_cast<double>(std::max<std::uint64_t>(samples, 1)));
    return 0;
}

// What a finished day keeps: the store packs a day's file once the next day begins.
void MeasurePacked(const fs::path& history, std::uint64_t samples)
{
    for (const auto& entry : fs::directory_iterator(history)) {
        if (entry.path().extension() == ".sqlite") {
            if (auto db = storage::SqliteDatabase::Open(entry.path())) {
                (void)db->Execute("VACUUM; PRAGMA wal_checkpoint(TRUNCATE);");
            }
        }
    }
    const std::uint64_t bytes = FolderBytes(history);
    std::printf("  on disk once the day is packed: %.1f MB, %.1f bytes a sample\n", static_cast<double>(bytes) / 1e6,
                static_cast<double>(bytes) / static_cast<double>(std::max<std::uint64_t>(samples, 1)));
}

// 2026-12-07T00:00:00Z: one day of one item at 1 Hz.
constexpr std::int64_t kDay = 20'794 * storage::kDayMs;

std::vector<storage::HistorySample> OneDay()
{
    std::vector<storage::HistorySample> samples;
    for (std::int64_t second = 0; second < 86'400; ++second) {
        samples.push_back({ .item = 7,
                            .timeMs = kDay + second * 1000,
                            .value = 230.0 + static_cast<double>(second % 600) / 10,
                            .text = {},
                            .quality = 0 });
    }
    return samples;
}

template<typename Read> void TimeReads(const char* what, Read&& read)
{
    std::vector<double> times;
    std::size_t points = 0;
    for (int run = 0; run < 7; ++run) {
        const auto start = Clock::now();
        auto result = read();
        times.push_back(MillisecondsSince(start));
        if (!result) {
            std::printf("  %s: %s\n", what, result.error().c_str());
            return;
        }
        points = result->size();
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    std::printf("  %s: 86,400 samples read as %zu points in %.1f ms (median of 7; the first %.1f ms; target < 50)\n",
                what, points, times[times.size() / 2], first);
}

int BenchReading(const fs::path& folder, bool postgres)
{
    std::printf("history reading, one day of one item at 1 Hz:\n");
    {
        storage::HistoryStore store(folder / "day.history", {});
        store.Append(OneDay());
        store.WaitIdle();
        TimeReads("embedded store", [&] { return store.Read(7, kDay, kDay + storage::kDayMs - 1, 1000); });
    }
    if (!postgres) {
        return 0;
    }
    fs::create_directories(folder / "postgres");
    test::PostgresServer server(folder / "postgres");
    if (!server.Ready()) {
        std::printf("  PostgreSQL skipped: %s\n", server.Problem().c_str());
        return 0;
    }
    storage::HistoryPostgres database(server.ConnectionString(), "bench-host/bench");
    const auto start = Clock::now();
    database.Append(OneDay());
    if (!database.WaitWritten(std::chrono::minutes(2))) {
        std::printf("  PostgreSQL did not take the day: %s\n", database.Problem().c_str());
        return 1;
    }
    std::printf("  PostgreSQL wrote 86,400 samples in %.0f ms\n", MillisecondsSince(start));
    TimeReads("PostgreSQL", [&] { return database.Read(7, kDay, kDay + storage::kDayMs - 1, 1000); });
    PGconn* connection = PQconnectdb(server.ConnectionString().c_str());
    PGresult* size = PQexec(connection, "VACUUM ANALYZE tavrel_history");
    PQclear(size);
    size = PQexec(connection, "SELECT pg_total_relation_size('tavrel_history')");
    if (PQresultStatus(size) == PGRES_TUPLES_OK) {
        std::printf("  PostgreSQL on disk: %.1f bytes a sample (table and key)\n",
                    std::strtod(PQgetvalue(size, 0, 0), nullptr) / 86'400);
    }
    PQclear(size);
    PQfinish(connection);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    int items = 1000;
    int passesPerSecond = 10;
    bool postgres = true;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--no-postgres") {
            postgres = false;
        } else if (i + 1 < argc && name == "--seconds") {
            seconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && name == "--items") {
            items = std::atoi(argv[++i]);
        } else if (i + 1 < argc && name == "--passes-per-second") {
            passesPerSecond = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    QCoreApplication application(argc, argv);
    char folder[] = "/tmp/tavrel-bench-history-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    ::chmod(folder, 0755); // the PostgreSQL of its own runs as the user postgres when started by root
    int status = BenchRecording(folder, std::max(1, seconds), std::max(1, items), std::max(1, passesPerSecond));
    if (status == 0) {
        MeasurePacked(fs::path(folder) / "bench.history",
                      static_cast<std::uint64_t>(seconds) * static_cast<std::uint64_t>(items * passesPerSecond));
    }
    status = std::max(status, BenchReading(folder, postgres));
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return status;
}
