// The MQTT bridge's on-disk queue on its own: how many changes per second it writes while the broker is away, in
// batches of one pass of 1,000 items each, with json payloads of the size the bridge makes; and how fast they are
// read back oldest first. Run by bench/mqtt_queue_bench.py.
//
//   tavrel-bench-mqtt-queue [--changes N] [--batch B]
//
// Prints "written N changes in S s: R changes/s, CPU C s" and "read N changes in S s: R changes/s".
#include "mqtt/MqttQueue.h"

#include <QCoreApplication>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

using namespace tavrel;

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

double Since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    int changes = 1'000'000;
    int batchSize = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--changes") {
            changes = std::atoi(argv[i + 1]);
        } else if (name == "--batch") {
            batchSize = std::atoi(argv[i + 1]);
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    QCoreApplication application(argc, argv);
    char folder[] = "/tmp/tavrel-bench-queue-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return 1;
    }
    int status = 0;
    {
        mqtt::MqttQueue queue(std::filesystem::path(folder) / "queue.sqlite", 4ULL << 30);
        const double cpuBefore = CpuSeconds();
        const auto started = std::chrono::steady_clock::now();
        for (int written = 0; written < changes; written += batchSize) {
            std::vector<mqtt::MqttMessage> batch;
            batch.reserve(static_cast<std::size_t>(batchSize));
            for (int i = 0; i < batchSize; ++i) {
                batch.push_back(
                    { .topic = "tavrel/bench/items/lblDDE(" + std::to_string(i + 1) + ")",
                      .payload = R"({"value":)" + std::to_string(written + i)
                          + R"(,"ts":"2026-12-07T13:45:01.123Z","quality":"good","plc":"Line_1","units":"V"})",
                      .retained = true });
            }
            queue.Append(std::move(batch));
        }
        queue.WaitIdle();
        const double seconds = Since(started);
        std::printf("written %d changes in %.2f s: %.0f changes/s, CPU %.2f s (dropped %llu)\n", changes, seconds,
                    changes / seconds, CpuSeconds() - cpuBefore, static_cast<unsigned long long>(queue.Dropped()));
        status = queue.Count() == static_cast<std::uint64_t>(changes) ? 0 : 1;

        const auto reading = std::chrono::steady_clock::now();
        std::int64_t after = 0;
        std::size_t read = 0;
        for (bool more = true; more;) {
            bool done = false;
            queue.Read(after, 1000, [&](std::vector<mqtt::MqttQueue::Entry> entries) {
                more = !entries.empty();
                read += entries.size();
                if (more) {
                    after = entries.back().sequence;
                    queue.Remove(after);
                }
                done = true;
            });
            while (!done) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
        }
        queue.WaitIdle();
        const double readSeconds = Since(reading);
        std::printf("read and removed %zu changes in %.2f s: %.0f changes/s\n", read, readSeconds,
                    static_cast<double>(read) / readSeconds);
    }
    std::filesystem::remove_all(folder);
    return status;
}
