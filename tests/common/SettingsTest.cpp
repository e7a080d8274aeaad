#include "common/Settings.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>

using namespace tavrel::common;
using tavrel::test::TempDir;

namespace {

std::string ReadText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t FileCount(const std::filesystem::path& folder)
{
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()));
}

} // namespace

TEST(Settings, ReadsOnlyItsOwnSectionWithoutRegardToCase)
{
    TempDir dir;
    WriteText(dir / "Tavrel.ini",
              "AutoRun=1\n"
              "[Other]\nAutoRun=1\nProjectFilePath=/other.tve\n"
              "[TAVREL]\n; a comment=not a key\n  autorun =  1  \nprojectfilepath= /plant a.tve\n"
              "AutoRun=0\n"
              "[Later]\nMinimizedAfterRun=1\n");
    const Settings settings(dir / "Tavrel.ini", "Tavrel");
    EXPECT_EQ(settings.ReadSetting("AutoRun", "0"), "1"); // the first of two lines
    EXPECT_EQ(settings.ReadSetting("ProjectFilePath", ""), "/plant a.tve");
    EXPECT_EQ(settings.ReadSetting("MinimizedAfterRun", "0"), "0");
    EXPECT_EQ(settings.ReadSetting("; a comment", "none"), "none");
}

TEST(Settings, ReadsAFileWrittenWithWindowsLineEnds)
{
    TempDir dir;
    WriteText(dir / "Tavrel.ini", "\xEF\xBB\xBF[Tavrel]\r\nProjectFilePath=/plant.tve\r\nAutoRun=1\r\n");
    Settings settings(dir / "Tavrel.ini", "Tavrel");
    EXPECT_EQ(settings.ReadSetting("ProjectFilePath", ""), "/plant.tve");
    ASSERT_TRUE(settings.WriteSetting("ConnectOnce", "0"));
    EXPECT_EQ(ReadText(dir / "Tavrel.ini"),
              "\xEF\xBB\xBF[Tavrel]\r\nProjectFilePath=/plant.tve\r\nAutoRun=1\r\nConnectOnce=0\r\n");
}

TEST(Settings, ALongValueIsReadBackCutTo254Bytes)
{
    TempDir dir;
    Settings settings(dir / "Tavrel.ini", "Tavrel");
    const std::string longPath = "/" + std::string(299, 'p');
    ASSERT_TRUE(settings.WriteSetting("ProjectFilePath", longPath));
    EXPECT_EQ(settings.ReadSetting("ProjectFilePath", ""), longPath.substr(0, 254));
    EXPECT_EQ(GetOptions(settings).ProjectFilePath, longPath.substr(0, 254));

    // "ü" takes bytes 254 and 255: the cut falls before it rather than through it.
    ASSERT_TRUE(settings.WriteSetting("CurrentFilePath", std::string(253, 'a') + "\xC3\xBC" + "bc"));
    EXPECT_EQ(ReadCurrentFilePath(settings), std::string(253, 'a'));
}

TEST(Settings, AWriteKeepsEveryOtherLine)
{
    TempDir dir;
    const auto path = dir / "Tavrel.ini";
    WriteText(path,
              "; settings of Tavrel\n"
              "[Other]\nConnectOnce=1\n\n"
              "[tavrel]\nAUTORUN=0\n; the project\nProjectFilePath=/a.tve\n\n"
              "[Later]\nKey=Value\n");
    Settings settings(path, "Tavrel");
    ASSERT_TRUE(settings.WriteSetting("AutoRun", "1")); // replaced where it is, in its spelling
    ASSERT_TRUE(settings.WriteSetting("ConnectOnce", "0")); // added after the section's last key
    EXPECT_EQ(ReadText(path),
              "; settings of Tavrel\n"
              "[Other]\nConnectOnce=1\n\n"
              "[tavrel]\nAUTORUN=1\n; the project\nProjectFilePath=/a.tve\nConnectOnce=0\n\n"
              "[Later]\nKey=Value\n");

    Settings other(path, "Tavrel2");
    ASSERT_TRUE(other.WriteSetting("AutoRun", "1")); // a new section at the end
    EXPECT_EQ(ReadText(path).substr(ReadText(path).rfind("[Later]")), "[Later]\nKey=Value\n\n[Tavrel2]\nAutoRun=1\n");
}

TEST(Settings, AWriteKeepsTheLineEndsOfTheLinesItLeavesAlone)
{
    // A file edited on two systems: the other lines keep their own ends, so their values read as before.
    TempDir dir;
    const auto path = dir / "Tavrel.ini";
    WriteText(path, "[tavrel]\nProjectFilePath=/a.tve\r\r\nCurrentFilePath=/b.tve\r\nAutoRun=0\n");
    Settings settings(path, "tavrel");
    ASSERT_EQ(settings.ReadSetting("ProjectFilePath", ""), "/a.tve\r");
    ASSERT_TRUE(settings.WriteSetting("AutoRun", "1"));
    EXPECT_EQ(settings.ReadSetting("ProjectFilePath", ""), "/a.tve\r");
    EXPECT_EQ(ReadText(path), "[tavrel]\nProjectFilePath=/a.tve\r\r\nCurrentFilePath=/b.tve\r\nAutoRun=1\n");
}

TEST(Settings, SaveOptionsWritesTheSevenKeysInOrder)
{
    TempDir dir;
    Settings settings(dir / "Tavrel.ini", "Tavrel");
    AppOptions options;
    options.StartUpOperation = 1;
    options.ProjectFilePath = "/plants/line 1.tve";
    options.AutoRun = true;
    options.MinimizedAfterRun = true;
    options.ConnectOnce = false;
    options.MinPassMs = 250;
    ASSERT_TRUE(SaveOptions(settings, options));
    EXPECT_EQ(ReadText(dir / "Tavrel.ini"),
              "[Tavrel]\nAutoRun=1\nRunAsService=0\nProjectFilePath=/plants/line 1.tve\n"
              "MinimizedAfterRun=1\nConnectOnce=0\nStartUpOperation=1\nMinPassMs=250\n");
    EXPECT_EQ(GetOptions(settings), options);
}

TEST(Settings, AWriteThatWouldBreakTheFormatIsRefusedAndChangesNothing)
{
    TempDir dir;
    const auto path = dir / "Tavrel.ini";
    WriteText(path, "[Tavrel]\nAutoRun=0\n");
    Settings settings(path, "Tavrel");
    AppOptions options;
    options.ProjectFilePath = "/a.tve\nAutoRun=1";
    EXPECT_FALSE(SaveOptions(settings, options));
    EXPECT_FALSE(settings.WriteSetting("Auto=Run", "1"));
    EXPECT_FALSE(settings.WriteSetting("[Tavrel]", "1"));
    EXPECT_FALSE(settings.WriteSetting("", "1"));
    EXPECT_EQ(ReadText(path), "[Tavrel]\nAutoRun=0\n");
    EXPECT_EQ(FileCount(dir.Path()), 1U);
}

TEST(Settings, NumbersAreReadFromTheirTextOrFallBackToTheDefault)
{
    TempDir dir;
    Settings settings(dir / "Tavrel.ini", "Tavrel");
    const auto read = [&](std::string_view key) -> std::int64_t {
        const AppOptions options = GetOptions(settings);
        if (key == "LinkPort") {
            return ReadLinkPort(settings);
        }
        if (key == "HistoryDays") {
            return ReadHistorySettings(settings).days;
        }
        if (key == "HistoryMaxMB") {
            return static_cast<std::int64_t>(ReadHistorySettings(settings).maxBytes >> 20);
        }
        return key == "AutoRun"         ? options.AutoRun
            : key == "ConnectOnce"      ? options.ConnectOnce
            : key == "StartUpOperation" ? options.StartUpOperation
                                        : options.MinPassMs;
    };
    const struct
    {
        const char* key;
        const char* text;
        std::int64_t expected;
    } cases[] = {
        // A Boolean: 0 is false, any other number true, anything else the default (AutoRun off, ConnectOnce on).
        { "AutoRun", "0.0", 0 },
        { "ConnectOnce", "0", 0 },
        { "AutoRun", "-1", 1 },
        { "AutoRun", "0.5", 1 },
        { "AutoRun", "1e999", 1 },
        { "AutoRun", "yes", 0 },
        { "ConnectOnce", "yes", 1 },
        { "ConnectOnce", "", 1 },
        { "ConnectOnce", "1 0", 1 },
        { "StartUpOperation", " 1", 1 },
        { "StartUpOperation", "1.6", 2 },
        { "StartUpOperation", "last", 0 },
        { "StartUpOperation", "99999999999", 0 },
        // A pass time beyond a minute, or below 0, reads as the default: passes follow at once.
        { "MinPassMs", "60000", 60000 },
        { "MinPassMs", "60001", 0 },
        { "MinPassMs", "-1", 0 },
        { "LinkPort", "65535", 65535 },
        { "LinkPort", "65536", 7410 },
        { "LinkPort", "port", 7410 },
        // The history's bounds: a day at least; a nonsense value keeps the default rather than deleting days.
        { "HistoryDays", "1", 1 },
        { "HistoryDays", "0", 30 },
        { "HistoryDays", "36501", 30 },
        { "HistoryMaxMB", "16777216", 16777216 },
        { "HistoryMaxMB", "-5", 2048 },
        { "HistoryMaxMB", "lots", 2048 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.text);
        ASSERT_TRUE(settings.WriteSetting(c.key, c.text));
        EXPECT_EQ(read(c.key), c.expected);
    }
}

TEST(Settings, TheLinkAccessListsAreBlankSeparatedAndTheTokenFileSitsBesideTheSettings)
{
    TempDir dir;
    WriteText(dir / "t.ini",
              "[t]\nLinkAllowedOrigins=  http://a.example:8080\thttp://b.example \nLinkTokenFile=token\n");
    const LinkAccessSettings access = ReadLinkAccess(Settings(dir / "t.ini", "t"));
    EXPECT_EQ(access.allowedOrigins, (std::vector<std::string> { "http://a.example:8080", "http://b.example" }));
    EXPECT_TRUE(access.allowedHosts.empty());
    EXPECT_EQ(access.tokenFile, dir / "token");
}

TEST(Settings, TheOpcUaAccessLeavesWhatIsNotSaidToWhereTheServerListens)
{
    TempDir dir;
    Settings settings(dir / "t.ini", "t");
    auto access = ReadOpcUaAccess(settings);
    ASSERT_TRUE(access);
    EXPECT_FALSE(access->allowAnonymous.has_value());
    EXPECT_FALSE(access->anonymousRole.has_value());
    EXPECT_EQ(OpcUaPkiFolder(settings), dir / "pki");
    ASSERT_TRUE(settings.WriteSettings(std::array<Settings::Entry, 3> {
        { { "OpcUaAllowAnonymous", "0" }, { "OpcUaAnonymousRole", "operator" }, { "OpcUaPkiFolder", "/var/pki" } } }));
    access = ReadOpcUaAccess(settings);
    ASSERT_TRUE(access);
    EXPECT_EQ(access->allowAnonymous, false);
    EXPECT_EQ(access->anonymousRole, Role::Operator);
    EXPECT_EQ(OpcUaPkiFolder(settings), std::filesystem::path("/var/pki"));
    ASSERT_TRUE(settings.WriteSetting("OpcUaAnonymousRole", "admin"));
    EXPECT_FALSE(ReadOpcUaAccess(settings));
}

TEST(Settings, ALinkTokenFileServesOnlyWhenItIsItsOwnersAloneAndHoldsALongToken)
{
    namespace fs = std::filesystem;
    TempDir dir;
    const struct
    {
        std::string content;
        fs::perms permissions;
        std::string tokenOrError;
    } cases[] = {
        { "0123456789abcdef\r\nsecond line", fs::perms::owner_read | fs::perms::owner_write, "0123456789abcdef" },
        { "  0123456789abcdef  \n", fs::perms::owner_read, "0123456789abcdef" },
        { "0123456789abcdef", fs::perms::owner_read | fs::perms::group_read,
          "may be read by others; make it its owner's alone (chmod 600)" },
        { "0123456789abcdef", fs::perms::owner_read | fs::perms::others_read, "may be read by others" },
        { "0123456789abcde\n", fs::perms::owner_read, "holds a token of 15 characters; use 16 or more" },
        { "", fs::perms::owner_read, "holds a token of 0 characters" },
        { "0123456789 abcdef", fs::perms::owner_read, "holds a token with blanks or characters beyond visible ASCII" },
    };
    for (const auto& one : cases) {
        const fs::path file = dir / "token";
        fs::remove(file);
        WriteText(file, one.content);
        fs::permissions(file, one.permissions);
        const auto token = ReadLinkToken(file);
        const std::string got = token ? *token : token.error();
        EXPECT_NE(got.find(one.tokenOrError), std::string::npos) << got;
    }
    const auto missing = ReadLinkToken(dir / "none");
    ASSERT_FALSE(missing.has_value());
    EXPECT_NE(missing.error().find("the token file " + (dir / "none").string() + " cannot be read"), std::string::npos);
}
