#include "storage/HistoryStore.h"
#include "storage/HistoryReduction.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>

namespace tavrel::storage {
namespace {

// 2026-12-07T00:00:00Z
constexpr std::int64_t kDec7 = 20'794 * kDayMs;

HistorySample Sample(std::int32_t item, std::int64_t timeMs, std::optional<double> value, std::uint8_t quality = 0)
{
    return HistorySample { .item = item, .timeMs = timeMs, .value = value, .text = {}, .quality = quality };
}

struct Fixture
{
    test::TempDir dir;
    std::int64_t now = kDec7 + 12 * 3600 * 1000;
    std::mutex logMutex;
    std::vector<std::string> log;

    std::unique_ptr<HistoryStore> Open(std::int32_t days = 30, std::uint64_t maxBytes = 1ULL << 30)
    {
        return std::make_unique<HistoryStore>(
            dir / "plant.history",
            HistoryLimits { .days = days, .maxBytes = maxBytes, .nowMs = [this] { return now; } },
            [this](const std::string& line) {
                std::lock_guard lock(logMutex);
                log.push_back(line);
            });
    }
};

TEST(HistoryStore, DayNamesRoundTripAndRejectWhatNoDayIs)
{
    EXPECT_EQ(DayName(DayOf(kDec7)), "2026-12-07");
    EXPECT_EQ(DayName(0), "1970-01-01");
    EXPECT_EQ(DayName(DayOf(-1)), "1969-12-31");
    EXPECT_EQ(ParseDayName("2024-02-29"), DayOf(1'709'164'800'000));
    for (const char* notADay : { "2026-02-30", "2026-13-01", "2026-1-01x", "20261207.x", "" }) {
        EXPECT_FALSE(ParseDayName(notADay)) << notADay;
    }
}

TEST(HistoryStore, SamplesGoIntoTheFileOfTheirUtcDayAndReadAcrossMidnight)
{
    Fixture fixture;
    auto store = fixture.Open();
    store->Append({ Sample(7, kDec7 - 1, 1.5), Sample(7, kDec7, 2.0), Sample(8, kDec7 + 5, std::nullopt, 1) });
    store->WaitIdle();
    EXPECT_TRUE(std::filesystem::exists(fixture.dir / "plant.history/2026-12-06.sqlite"));
    EXPECT_TRUE(std::filesystem::exists(fixture.dir / "plant.history/2026-12-07.sqlite"));
    EXPECT_EQ(store->Written(), 3u);

    const auto points = store->ReadRaw(7, kDec7 - 10, kDec7 + 10, 100);
    ASSERT_TRUE(points) << points.error();
    EXPECT_EQ(*points, (std::vector<StoredPoint> { { kDec7 - 1, 1.5, 0 }, { kDec7, 2.0, 0 } }));
    const auto gap = store->ReadRaw(8, kDec7, kDec7 + 10, 100);
    ASSERT_TRUE(gap);
    EXPECT_EQ(*gap, (std::vector<StoredPoint> { { kDec7 + 5, std::nullopt, 1 } }));
    const auto capped = store->ReadRaw(7, kDec7 - 10, kDec7 + 10, 1);
    ASSERT_TRUE(capped);
    EXPECT_EQ(capped->size(), 1u);
}

TEST(HistoryStore, OldestDaysGoFirstBeyondTheDaysAndTheSize)
{
    struct Case
    {
        std::int32_t days;
        bool bySize; ///< room for the two newest days only
        std::string oldestKept;
    };
    for (const Case& limits : { Case { 3, false, "2026-12-05" }, Case { 30, true, "2026-12-06" } }) {
        Fixture fixture;
        {
            auto store = fixture.Open(365);
            for (std::int64_t day = 4; day >= 0; --day) { // five days, up to today
                std::vector<HistorySample> batch;
                for (std::int32_t item = 1; item <= 1000; ++item) {
                    batch.push_back(Sample(item, kDec7 - day * kDayMs + 1000, item * 1.25));
                }
                store->Append(std::move(batch));
                store->WaitIdle();
            }
        }
        std::uint64_t maxBytes = 1ULL << 30;
        if (limits.bySize) {
            maxBytes = 0;
            for (const char* day : { "2026-12-06", "2026-12-07" }) {
                for (const char* suffix : { ".sqlite", ".sqlite-wal", ".sqlite-shm" }) {
                    std::error_code none;
                    const auto size
                        = std::filesystem::file_size(fixture.dir / "plant.history" / (std::string(day) + suffix), none);
                    maxBytes += none ? 0 : size;
                }
            }
        }
        auto store = fixture.Open(limits.days, maxBytes); // applied on opening
        store->WaitIdle();
        EXPECT_EQ(store->OldestDay(), limits.oldestKept) << limits.days;
        EXPECT_FALSE(std::filesystem::exists(fixture.dir / "plant.history/2026-12-03.sqlite"));
        EXPECT_LE(store->SizeBytes(), maxBytes);
        EXPECT_TRUE(store->Problem().empty()) << store->Problem();
    }
}

TEST(HistoryStore, ACorruptDayIsSetAsideAndTheOthersStillRead)
{
    Fixture fixture;
    auto store = fixture.Open();
    store->Append({ Sample(3, kDec7 - kDayMs, 1.0), Sample(3, kDec7 + 1, 2.0) });
    store->WaitIdle();
    store.reset();
    const auto day = fixture.dir / "plant.history/2026-12-06.sqlite";
    std::filesystem::remove(day.string() + "-wal");
    std::ofstream(day, std::ios::trunc) << std::string(8192, 'x');

    store = fixture.Open();
    const auto points = store->ReadRaw(3, kDec7 - kDayMs, kDec7 + kDayMs, 10);
    ASSERT_TRUE(points) << points.error();
    EXPECT_EQ(*points, (std::vector<StoredPoint> { { kDec7 + 1, 2.0, 0 } }));
    EXPECT_TRUE(std::filesystem::exists(day.string() + ".corrupt"));
    store->Append({ Sample(3, kDec7 - kDayMs + 5, 4.0) }); // the day is made anew
    store->WaitIdle();
    EXPECT_EQ(store->ReadRaw(3, kDec7 - kDayMs, kDec7 - 1, 10)->size(), 1u);
    std::lock_guard lock(fixture.logMutex);
    ASSERT_FALSE(fixture.log.empty());
    EXPECT_NE(fixture.log.front().find("set aside"), std::string::npos) << fixture.log.front();
}

TEST(HistoryStore, AFolderThatCannotBeWrittenStopsRecordingAndSaysSo)
{
    Fixture fixture;
    std::ofstream(fixture.dir / "plant.history") << "a file where the folder goes";
    auto store = fixture.Open();
    store->Append({ Sample(1, kDec7, 1.0), Sample(2, kDec7, 2.0) });
    store->WaitIdle();
    EXPECT_EQ(store->Dropped(), 2u);
    EXPECT_EQ(store->Written(), 0u);
    EXPECT_NE(store->Problem().find("cannot write"), std::string::npos) << store->Problem();
}

TEST(HistoryReduction, EveryBucketKeepsItsExtremesAndGaps)
{
    HistoryReduction reduction(0, 99'999, 100); // 20 buckets of 5,000 ms
    for (std::int64_t t = 0; t < 100'000; t += 10) {
        std::optional<double> value = static_cast<double>(t % 7);
        if (t == 42'420) {
            value = 1e6; // a spike
        } else if (t == 42'430) {
            value = -1e6;
        } else if (t == 77'770) {
            value = std::nullopt; // the PLC lost
        }
        reduction.Add(StoredPoint { t, value, 0 });
    }
    reduction.Add(StoredPoint { 100'000, 5.0, 0 }); // outside the range
    const std::vector<StoredPoint> points = reduction.Take();
    EXPECT_LE(points.size(), 100u);
    EXPECT_GE(points.size(), 60u);
    const auto has = [&points](std::int64_t t) {
        return std::any_of(points.begin(), points.end(), [t](const StoredPoint& p) { return p.timeMs == t; });
    };
    for (const std::int64_t t : { 0, 42'420, 42'430, 77'770, 99'990 }) {
        EXPECT_TRUE(has(t)) << t;
    }
    EXPECT_FALSE(has(100'000));
    EXPECT_TRUE(std::is_sorted(points.begin(), points.end(),
                               [](const StoredPoint& a, const StoredPoint& b) { return a.timeMs < b.timeMs; }));

    HistoryReduction few(0, 1000, 10);
    for (std::int64_t t = 0; t < 5; ++t) {
        few.Add(StoredPoint { t, 1.0, 0 });
    }
    EXPECT_EQ(few.Take().size(), 5u); // no more than asked for: every point
}

} // namespace
} // namespace tavrel::storage
