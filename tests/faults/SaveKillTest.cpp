// A save killed at any moment (fork, SIGKILL) leaves the target file as the old project or the new one, never
// anything else, and never no file where there was one.

#include "storage/ProjectDatabase.h"

#include "common/OperandCatalogue.h"
#include "storage/StorageTestSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace tavrel;
using namespace tavrel::test;
namespace operand = tavrel::common::operand;
using Clock = std::chrono::steady_clock;

namespace {

// A project of `plcs` PLCs, each with a vector and single items of several kinds.
void Fill(model::clsConfig& project, int plcs, const std::string& prefix)
{
    for (std::int32_t i = 0; i < plcs; ++i) {
        model::CommParams params;
        params.PathWay = model::PathWay::TcpIp;
        params.EthRemoteIP = "10.0.0." + std::to_string(i % 250);
        params.EthRemotePort = 502;
        std::vector<NewItem> items;
        for (const auto& [count, type] : { std::pair { 8, operand::MB },
                                           { 1, operand::MI },
                                           { 1, operand::ML },
                                           { 4, operand::MF },
                                           { 1, operand::TPreset },
                                           { 1, operand::CCurrent } }) {
            items.push_back({ count, i, type, common::direction::ReadWrite, true, -1 });
        }
        AddPlc(project, prefix + " '" + std::to_string(i) + "'", params, items);
    }
}

// The PLC names of a project file, or why it does not open.
std::string Names(const std::filesystem::path& path)
{
    const auto data = storage::ReadProjectFile(path);
    if (!data) {
        return "(does not open: " + data.error() + ")";
    }
    std::string names;
    for (const auto& plc : data->Plcs) {
        names += plc.Name + "|" + std::to_string(plc.Items.size()) + ";";
    }
    return names;
}

// How the kills of one series ended.
struct Outcome
{
    int kills = 0;
    int old = 0; ///< the file was the old project, byte for byte
    int fresh = 0; ///< the file was the new project, whole
    int none = 0; ///< no file, where there had been none
    int lost = 0; ///< anything else: a broken, partial or missing file
    std::vector<std::string> problems;
};

// Saves `project` over `path` in a child that is killed `delay` after it starts; `before` is the file's content
// before the save (empty: no file).
void KillASave(const model::clsConfig& project, const std::filesystem::path& path, const std::string& before,
               const std::string& newNames, Clock::duration delay, Outcome& outcome)
{
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    if (!before.empty()) {
        WriteBytes(path, before);
    }
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const bool saved = storage::SaveToDB(project, path, BuiltTemplate()).has_value();
        ::_exit(saved ? 0 : 1);
    }
    std::this_thread::sleep_for(delay);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ++outcome.kills;

    const std::string after = ReadBytes(path);
    if (!std::filesystem::exists(path)) {
        if (before.empty()) {
            ++outcome.none;
            return;
        }
        ++outcome.lost;
        outcome.problems.push_back("the file is gone");
        return;
    }
    if (!before.empty() && after == before) {
        ++outcome.old;
        return;
    }
    const std::string names = Names(path);
    if (names == newNames) {
        ++outcome.fresh;
        return;
    }
    ++outcome.lost;
    outcome.problems.push_back(names.substr(0, 200));
}

} // namespace

TEST(SaveKill, EveryKilledSaveLeavesTheOldProjectOrTheNewOne)
{
    TempDir dir;
    const auto path = dir / "plant.tve";
    model::LabelArray oldLabels;
    model::clsConfig oldProject(oldLabels);
    Fill(oldProject, 2, "Old");
    ASSERT_TRUE(storage::SaveToDB(oldProject, path, BuiltTemplate()));
    const std::string oldBytes = ReadBytes(path);

    model::LabelArray newLabels;
    model::clsConfig newProject(newLabels);
    Fill(newProject, 300, "New");
    ASSERT_TRUE(storage::SaveToDB(newProject, dir / "new.tve", BuiltTemplate()));
    const std::string newNames = Names(dir / "new.tve");

    // How long a save takes here from the fork on, as the kills see it, so that they cover it from before the
    // first byte to after the rename.
    std::vector<Clock::duration> times;
    for (int i = 0; i < 3; ++i) {
        const auto started = Clock::now();
        const pid_t child = ::fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            ::_exit(storage::SaveToDB(newProject, dir / "timing.tve", BuiltTemplate()).has_value() ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        times.push_back(Clock::now() - started);
    }
    std::sort(times.begin(), times.end());
    const Clock::duration saveTime = times[1];

    constexpr int kKillsOverAFile = 300;
    constexpr int kKillsOverNothing = 60;
    Outcome overAFile;
    for (int k = 0; k < kKillsOverAFile; ++k) {
        KillASave(newProject, path, oldBytes, newNames, saveTime * 5 / 4 * k / kKillsOverAFile, overAFile);
    }
    Outcome overNothing;
    for (int k = 0; k < kKillsOverNothing; ++k) {
        KillASave(newProject, dir / "first.tve", {}, newNames, saveTime * 5 / 4 * k / kKillsOverNothing, overNothing);
    }

    std::printf("save kills: %d over an existing file (old project %d, new project %d, lost %d); %d over no file "
                "(no file %d, new project %d, lost %d); one save takes %lld ms from the fork\n",
                overAFile.kills, overAFile.old, overAFile.fresh, overAFile.lost, overNothing.kills, overNothing.none,
                overNothing.fresh, overNothing.lost,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(saveTime).count()));
    EXPECT_EQ(overAFile.lost, 0) << overAFile.problems.front();
    EXPECT_EQ(overNothing.lost, 0) << overNothing.problems.front();
    // The kills landed both before the rename and after it, so both outcomes were met.
    EXPECT_GT(overAFile.old, 0);
    EXPECT_GT(overAFile.fresh, 0);
}
