// The MQTT benchmark's compiled subscriber, beside the paho one: subscribes to a pattern and times every value
// (microseconds of the monotonic clock modulo 10^9, as tavrel-bench-mqtt-instance publishes them) that arrives
// live, from `--after` seconds on for `--seconds` seconds. Prints "values N p50 X p99 Y" (milliseconds). With
// --dump, json payloads are read instead ({"value":N,…}), and every arrival is written to FILE as a line
// "ARRIVAL VALUE" (microseconds of the monotonic clock, and the value), retained or not, for the caller to sort out.
//
//   tavrel-bench-mqtt-subscriber --port P --pattern TOPIC [--after A] [--seconds S] [--dump FILE]
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr long long kWrap = 1000000000;

long long NowMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct State
{
    std::mutex mutex;
    std::vector<double> latencies;
    std::atomic<bool> measuring { false };
    std::string pattern;
    bool dumping = false;
    std::vector<std::pair<long long, long long>> arrivals;
};

} // namespace

int main(int argc, char** argv)
{
    int port = 1883;
    int after = 1;
    int seconds = 5;
    std::string dump;
    State state;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--port") {
            port = std::atoi(argv[i + 1]);
        } else if (name == "--pattern") {
            state.pattern = argv[i + 1];
        } else if (name == "--after") {
            after = std::atoi(argv[i + 1]);
        } else if (name == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else if (name == "--dump") {
            dump = argv[i + 1];
            state.dumping = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", name.c_str());
            return 2;
        }
    }
    mosquitto_lib_init();
    mosquitto* client = mosquitto_new(nullptr, true, &state);
    mosquitto_connect_callback_set(client, [](mosquitto* mosq, void* self, int) {
        mosquitto_subscribe(mosq, nullptr, static_cast<State*>(self)->pattern.c_str(), 0);
    });
    mosquitto_message_callback_set(client, [](mosquitto*, void* self, const mosquitto_message* message) {
        const long long arrived = NowMicros();
        const long long now = arrived % kWrap;
        auto& s = *static_cast<State*>(self);
        if (s.dumping) {
            const std::string payload(static_cast<const char*>(message->payload),
                                      static_cast<std::size_t>(std::max(message->payloadlen, 0)));
            const auto at = payload.find("\"value\":");
            if (s.measuring && at != std::string::npos) {
                const long long value = std::strtoll(payload.c_str() + at + 8, nullptr, 10);
                std::lock_guard lock(s.mutex);
                s.arrivals.emplace_back(arrived, value);
            }
            return;
        }
        // Only item values carry the clock; the diagnostics topics beside them do not.
        if (!s.measuring || message->retain || message->payloadlen <= 0 || message->payloadlen > 20
            || std::strstr(message->topic, "/items/") == nullptr) {
            return;
        }
        char text[24] = {};
        std::memcpy(text, message->payload, static_cast<std::size_t>(message->payloadlen));
        char* end = nullptr;
        const long long value = std::strtoll(text, &end, 10);
        if (end == text) {
            return;
        }
        std::lock_guard lock(s.mutex);
        s.latencies.push_back(static_cast<double>(((now - value) % kWrap + kWrap) % kWrap) / 1000.0);
    });
    if (mosquitto_connect(client, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS
        || mosquitto_loop_start(client) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "cannot reach the broker on port %d\n", port);
        return 1;
    }
    std::printf("subscribed\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(after));
    state.measuring = true;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    state.measuring = false;
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    std::lock_guard lock(state.mutex);
    if (state.dumping) {
        std::FILE* file = std::fopen(dump.c_str(), "w");
        if (file == nullptr) {
            return 1;
        }
        for (const auto& [arrived, value] : state.arrivals) {
            std::fprintf(file, "%lld %lld\n", arrived, value);
        }
        std::fclose(file);
        std::printf("values %zu\n", state.arrivals.size());
        return 0;
    }
    auto& values = state.latencies;
    const auto at = [&](double fraction) {
        if (values.empty()) {
            return 0.0;
        }
        auto nth = values.begin() + static_cast<std::ptrdiff_t>(fraction * static_cast<double>(values.size() - 1));
        std::nth_element(values.begin(), nth, values.end());
        return *nth;
    };
    const double p50 = at(0.50);
    const double p99 = at(0.99);
    std::printf("values %zu p50 %.2f p99 %.2f\n", values.size(), p50, p99);
    return 0;
}
