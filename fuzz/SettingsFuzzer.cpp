// The settings file as a user or another program may leave it: reading never fails or returns more than a
// value may hold, and writing one key keeps every other key of the file as it reads.

#include "FuzzSupport.h"

#include "common/Settings.h"

#include <array>
#include <fstream>
#include <iterator>
#include <string>

using namespace tavrel::common;
using tavrel::fuzz::Require;

namespace {

// The program's keys, a key in another case and a key no file should hold.
constexpr std::array<std::string_view, 12> kKeys = {
    settingskey::StartUpOperation, settingskey::ProjectFilePath, settingskey::AutoRun, settingskey::MinimizedAfterRun,
    settingskey::ConnectOnce, settingskey::RunAsService, settingskey::CurrentFilePath, settingskey::LinkAddress,
    settingskey::LinkPort, "linkport", "Other", "",
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void CheckValue(const std::string& value, std::string_view key)
{
    Require(value.size() <= Settings::kMaxValueLength, "a value is cut to 254 bytes", key);
    Require(value.empty() || (!IsBlank(value.front()) && !IsBlank(value.back())), "a value comes without blanks around",
            key);
    Require(value.find('\n') == std::string::npos, "a value is one line", key);
}

std::array<std::string, kKeys.size()> ReadAll(const Settings& settings)
{
    std::array<std::string, kKeys.size()> values;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        values[i] = settings.ReadSetting(kKeys[i], "(none)");
        CheckValue(values[i], kKeys[i]);
    }
    return values;
}

std::string Content(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::filesystem::path path = tavrel::fuzz::ScratchFolder() / "tavrel.ini";
    tavrel::fuzz::WriteFile(path, tavrel::fuzz::AsText(data, size));

    Settings settings(path, "tavrel");
    Settings other(path, "Other");
    const auto before = ReadAll(settings);
    const auto otherBefore = ReadAll(other);
    (void)GetOptions(settings);
    (void)ReadLinkAddress(settings);
    (void)ReadCurrentFilePath(settings);
    const std::uint16_t port = ReadLinkPort(settings);

    // Writing the port changes the port and nothing else that the file says.
    const std::uint16_t newPort = static_cast<std::uint16_t>(port == 4242 ? 4243 : 4242);
    const auto written = settings.WriteSetting(settingskey::LinkPort, std::to_string(newPort));
    Require(written.has_value(), "a settings file that was read can be written", written ? "" : written.error());
    Require(ReadLinkPort(settings) == newPort, "a written port reads back");
    const auto after = ReadAll(settings);
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (kKeys[i] != settingskey::LinkPort && kKeys[i] != "linkport") {
            Require(after[i] == before[i], "writing one key keeps the others", kKeys[i]);
        }
    }
    Require(ReadAll(other) == otherBefore, "writing one section keeps the others");

    // A value too long for a line's read is cut at a character's start, and a line break is refused unwritten.
    const std::string longValue(300, 'x');
    Require(settings.WriteSetting("Other", "  " + longValue).has_value(), "a long value can be written");
    Require(settings.ReadSetting("Other", "") == longValue.substr(0, Settings::kMaxValueLength),
            "a long value reads cut to 254 bytes");
    const std::string kept = Content(path);
    Require(!settings.WriteSetting("Other", "two\nlines").has_value(), "a value with a line break is refused");
    Require(!settings.WriteSetting("a=b", "1").has_value(), "a key with \"=\" is refused");
    Require(Content(path) == kept, "a refused write leaves the file as it was");
    return 0;
}
