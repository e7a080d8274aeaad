#include "app/HistoryRecorder.h"
#include "app/Program.h"

#include "common/OperandCatalogue.h"
#include "storage/ProjectWriter.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace tavrel;
using app::Quality;

namespace {

using Clock = std::chrono::system_clock;

Clock::time_point At(std::int64_t milliseconds)
{
    return Clock::time_point(std::chrono::milliseconds(milliseconds));
}

// A saved project with one PLC: lblDDE(1) a recorded MI, lblDDE(2) an MI that is not.
class HistoryRecorderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto plc = program.Project().NewPlc();
        plc->Name = "A";
        auto& added = program.Project().AddPLC(std::move(plc));
        std::int32_t label = -1;
        ASSERT_TRUE(added.AddItems(1, 0, common::operand::MI, common::direction::Read, true, label));
        added.colItems().back()->Details.record = true;
        label = -1;
        ASSERT_TRUE(added.AddItems(1, 1, common::operand::MI, common::direction::Read, true, label));
        ASSERT_TRUE(storage::SaveToDB(program.Project(), dir / "p.tvb", TAVREL_TEMPLATE_PATH));
        ASSERT_TRUE(program.OpenProject((dir / "p.tvb").string()));
        ASSERT_NE(program.Recorder(), nullptr);
    }

    test::TempDir dir;
    test::DriverScript script;
    app::Program program { common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH };
};

TEST_F(HistoryRecorderTest, ValuesAtTheirReadTimeQualityChangesWhenToldAndNeverBackwards)
{
    struct Step
    {
        app::ItemChange change;
        std::int64_t nowMs;
        std::optional<storage::HistorySample> expected;
    };
    const auto change = [](std::int32_t index, std::string value, std::int64_t readAt, Quality quality) {
        return app::ItemChange { index, std::move(value), At(readAt), quality, {} };
    };
    const auto sample = [](std::int64_t timeMs, std::optional<double> value, std::string text, Quality quality) {
        return storage::HistorySample { 1, timeMs, value, std::move(text), static_cast<std::uint8_t>(quality) };
    };
    const std::vector<Step> steps {
        { change(1, "12", 1000, Quality::Good), 1500, sample(1000, 12.0, {}, Quality::Good) },
        { change(2, "7", 1000, Quality::Good), 1500, std::nullopt }, // not recorded
        { change(1, "12", 1000, Quality::Stale), 2500, sample(2500, 12.0, {}, Quality::Stale) },
        { change(1, "13", 2000, Quality::Good), 3000, sample(2501, 13.0, {}, Quality::Good) },
        { change(1, "ERR", 4000, Quality::Good), 4100, sample(4000, std::nullopt, "ERR", Quality::Good) },
        { change(1, "", 0, Quality::Waiting), 5000, sample(5000, std::nullopt, {}, Quality::Waiting) },
    };
    app::HistoryRecorder& recorder = *program.Recorder();
    for (const Step& step : steps) {
        const auto samples = recorder.Samples({ step.change }, At(step.nowMs));
        if (step.expected) {
            ASSERT_EQ(samples.size(), 1u) << step.change.value;
            EXPECT_EQ(samples.front(), *step.expected) << step.change.value;
        } else {
            EXPECT_TRUE(samples.empty());
        }
    }
}

TEST_F(HistoryRecorderTest, ARunIsRecordedAndItsEndLeavesTheItemStale)
{
    const auto start = Clock::now();
    program.ToggleRun();
    QElapsedTimer timer;
    timer.start();
    while (program.PassCount() < 3 && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    program.ToggleRun();
    auto& store = program.Recorder()->Store();
    store.WaitIdle();
    const std::int64_t from = std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
    const auto points = store.ReadRaw(1, from - 1000, from + 60'000, 100);
    ASSERT_TRUE(points) << points.error();
    ASSERT_GE(points->size(), 2u);
    EXPECT_EQ(points->front().value, 0.0);
    EXPECT_EQ(points->front().quality, static_cast<std::uint8_t>(Quality::Good));
    EXPECT_EQ(points->back().quality, static_cast<std::uint8_t>(Quality::Stale));
    EXPECT_TRUE(store.ReadRaw(2, from - 1000, from + 60'000, 100)->empty()) << "lblDDE(2) is not recorded";
    EXPECT_TRUE(program.History()->IsRecorded(1));
    EXPECT_FALSE(program.History()->IsRecorded(2));

    ASSERT_TRUE(program.NewProject());
    EXPECT_EQ(program.History(), nullptr) << "no file, no history";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
