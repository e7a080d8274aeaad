#include "storage/HistoryPostgres.h"

#include "support/PostgresServer.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <thread>

namespace tavrel::storage {
namespace {

using namespace std::chrono_literals;

// 2026-12-07T10:00:00Z
constexpr std::int64_t kTen = 1'796'637'600'000;

std::vector<HistorySample> Seconds(std::int32_t item, std::int64_t first, std::int64_t count)
{
    std::vector<HistorySample> samples;
    for (std::int64_t second = first; second < first + count; ++second) {
        samples.push_back({ .item = item,
                            .timeMs = kTen + second * 1000,
                            .value = static_cast<double>(second) / 4,
                            .text = {},
                            .quality = 0 });
    }
    return samples;
}

class HistoryPostgresTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!server.Ready()) {
            GTEST_SKIP() << server.Problem();
        }
    }
    test::TempDir dir;
    test::PostgresServer server { dir.Path() };
};

TEST_F(HistoryPostgresTest, WrittenAndReadBack)
{
    HistoryPostgres history(server.ConnectionString(), "test-host/plant");
    history.Append({ { .item = 4, .timeMs = kTen + 1, .value = 2.5, .text = {}, .quality = 0 },
                     { .item = 4, .timeMs = kTen + 2, .value = std::nullopt, .text = "tab\there \\ too", .quality = 0 },
                     { .item = 4, .timeMs = kTen + 3, .value = std::nullopt, .text = {}, .quality = 2 },
                     { .item = 5, .timeMs = kTen + 1, .value = -1e300, .text = {}, .quality = 0 } });
    ASSERT_TRUE(history.WaitWritten(10s)) << history.Problem();
    const auto points = history.ReadRaw(4, kTen, kTen + 10, 100);
    ASSERT_TRUE(points) << points.error();
    EXPECT_EQ(*points,
              (std::vector<StoredPoint> {
                  { kTen + 1, 2.5, 0 }, { kTen + 2, std::nullopt, 0 }, { kTen + 3, std::nullopt, 2 } }));
    EXPECT_EQ(history.ReadRaw(5, kTen, kTen + 10, 100)->front().value, -1e300);
    HistoryPostgres other(server.ConnectionString(), "other-host/plant"); // sharing the table
    EXPECT_TRUE(other.ReadRaw(4, kTen, kTen + 10, 100)->empty());

    history.Append(Seconds(6, 0, 1000));
    ASSERT_TRUE(history.WaitWritten(10s)) << history.Problem();
    const auto reduced = history.Read(6, kTen, kTen + 999'000, 50);
    ASSERT_TRUE(reduced) << reduced.error();
    EXPECT_LE(reduced->size(), 50u);
    EXPECT_EQ(reduced->front().timeMs, kTen);
    EXPECT_EQ(reduced->back().value, 999.0 / 4);
}

TEST_F(HistoryPostgresTest, ARestartMidRunLosesNothingThatWaited)
{
    HistoryPostgres history(server.ConnectionString(), "test-host/plant");
    history.Append(Seconds(1, 0, 100));
    ASSERT_TRUE(history.WaitWritten(10s)) << history.Problem();

    server.Stop();
    for (std::int64_t batch = 1; batch <= 5; ++batch) { // passes go on while the database is away
        history.Append(Seconds(1, batch * 100, 100));
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_FALSE(history.WaitWritten(300ms));
    EXPECT_NE(history.Problem().find("PostgreSQL is away"), std::string::npos) << history.Problem();
    EXPECT_EQ(history.Waiting(), 500u);

    ASSERT_TRUE(server.Start()) << server.Problem();
    ASSERT_TRUE(history.WaitWritten(30s)) << history.Problem();
    const auto points = history.ReadRaw(1, kTen, kTen + 1'000'000, 10'000);
    ASSERT_TRUE(points) << points.error();
    EXPECT_EQ(points->size(), 600u);
    EXPECT_EQ(history.Dropped(), 0u);
    EXPECT_TRUE(history.Problem().empty()) << history.Problem();
}

} // namespace
} // namespace tavrel::storage
