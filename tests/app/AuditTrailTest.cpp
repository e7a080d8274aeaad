#include "app/AuditTrail.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tavrel::app;
using tavrel::test::TempDir;
namespace fs = std::filesystem;

namespace {

// 2026-12-07T18:04:44.123Z plus `seconds`.
AuditRecord RecordAt(int seconds, std::string newValue = "1")
{
    const auto base = std::chrono::sys_days(std::chrono::year(2026) / 12 / 7) + std::chrono::hours(18)
        + std::chrono::minutes(4) + std::chrono::milliseconds(44123);
    return AuditRecord { .time = base + std::chrono::seconds(seconds),
                         .surface = "link",
                         .user = "panel",
                         .peer = "10.0.0.5:50000",
                         .item = "lblDDE(7)",
                         .oldValue = "0",
                         .newValue = std::move(newValue),
                         .accepted = true,
                         .reason = {} };
}

// Two digits, so that every line of a test is as long as the others.
std::string TwoDigits(int number)
{
    return (number < 10 ? "0" : "") + std::to_string(number);
}

std::size_t LineCount(const fs::path& file)
{
    std::ifstream in(file);
    std::size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        ++count;
    }
    return count;
}

} // namespace

TEST(AuditTrail, WritesOneEscapedJsonLinePerRecord)
{
    AuditRecord record = RecordAt(0, "a \"b\" \\ c\nd\x01");
    EXPECT_EQ(AuditLine(record),
              R"x({"ts":"2026-12-07T18:04:44.123Z","surface":"link","user":"panel","peer":"10.0.0.5:50000",)x"
              R"x("item":"lblDDE(7)","old":"0","new":"a \"b\" \\ c\nd\u0001","outcome":"accepted","reason":""})x");
    record.accepted = false;
    record.reason = "a reader may not poke";
    const std::string refused = AuditLine(record, 3);
    EXPECT_NE(refused.find(R"("outcome":"refused","reason":"a reader may not poke","lost":3})"), std::string::npos);
}

TEST(AuditTrail, RotatesAtItsLimitKeepingFiveOldFilesAndReadsAcrossThem)
{
    TempDir dir;
    const fs::path file = dir / "audit.jsonl";
    const std::size_t lineBytes = AuditLine(RecordAt(0, "00")).size() + 1;
    AuditTrail trail(file, lineBytes * 3); // three lines to a file
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(trail.Write(RecordAt(i, TwoDigits(i))));
    }
    EXPECT_EQ(LineCount(file), 3U); // lines 27 to 29
    for (int number = 1; number <= AuditTrail::kKeptFiles; ++number) {
        EXPECT_EQ(LineCount(dir / ("audit.jsonl." + std::to_string(number))), 3U) << number;
    }
    EXPECT_FALSE(fs::exists(dir / "audit.jsonl.6"));
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // Kept: lines 12 to 29. Times are 18:04:44 plus the line number.
    const struct
    {
        std::string since;
        std::size_t limit;
        std::vector<int> expected; ///< the first and last line answered, and how many
    } cases[] = {
        { "", 4, { 26, 29, 4 } },
        { "", 100, { 12, 29, 18 } },
        { "2026-12-07T18:05:00", 100, { 16, 29, 14 } },
        { "2026-12-07T18:05:00", 2, { 16, 17, 2 } },
        { "2026-12-07", 100, { 12, 29, 18 } },
        { "2026-12-08", 100, {} },
    };
    for (const auto& [since, limit, expected] : cases) {
        const auto lines = trail.Since(since, limit);
        if (expected.empty()) {
            EXPECT_TRUE(lines.empty()) << since;
            continue;
        }
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(expected[2])) << since;
        EXPECT_NE(lines.front().find("\"new\":\"" + TwoDigits(expected[0]) + "\""), std::string::npos) << since;
        EXPECT_NE(lines.back().find("\"new\":\"" + TwoDigits(expected[1]) + "\""), std::string::npos) << since;
    }
}

TEST(AuditTrail, CountsLinesItCannotWriteAndTellsTheNextLineWritten)
{
    TempDir dir;
    const fs::path file = dir / "later" / "audit.jsonl"; // a folder that is not there yet
    AuditTrail trail(file);
    const auto failed = trail.Write(RecordAt(0));
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("cannot open the audit file"), std::string::npos) << failed.error();
    ASSERT_FALSE(trail.Write(RecordAt(1)));
    EXPECT_EQ(trail.Lost(), 2U);
    fs::create_directory(dir / "later");
    ASSERT_TRUE(trail.Write(RecordAt(2)));
    ASSERT_TRUE(trail.Write(RecordAt(3)));
    EXPECT_EQ(trail.Lost(), 0U);
    const auto lines = trail.Since("", 10);
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_NE(lines[0].find(R"("lost":2})"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].find("lost"), std::string::npos) << lines[1];
}

TEST(AuditTrail, TakesTimesOrTheirLeadingParts)
{
    for (const char* good : { "2026", "2026-12-07", "2026-12-07T18", "2026-12-07T18:04:44.123Z" }) {
        EXPECT_TRUE(IsAuditTime(good)) << good;
    }
    for (const char* bad : { "", "202", "2026/12", "2026-12-07 18", "2026-12-07T18:04:44.123Z0", "yesterday" }) {
        EXPECT_FALSE(IsAuditTime(bad)) << bad;
    }
}
