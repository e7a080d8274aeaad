#include "common/UsersFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace tavrel::common;
using tavrel::test::TempDir;

namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text,
               fs::perms perms = fs::perms::owner_read | fs::perms::owner_write)
{
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms);
}

std::string ReadText(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::string kTokenHash = std::string(64, 'a');

} // namespace

TEST(UsersFile, WhatIsAddedAndSavedIsVerifiedAfterLoading)
{
    TempDir dir;
    UsersFile users(dir / "tavrel.users");
    ASSERT_TRUE(users.AddUser("ann", Role::Operator, "secret one"));
    ASSERT_TRUE(users.AddUser("bob", Role::Reader, "pass:word"));
    const auto token = users.AddToken("dashboard", Role::Reader);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->size(), UsersFile::kTokenBytes * 2);
    ASSERT_TRUE(users.Save());
    EXPECT_EQ(fs::status(dir / "tavrel.users").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    const std::string text = ReadText(dir / "tavrel.users");
    EXPECT_EQ(text.find("secret one"), std::string::npos);
    EXPECT_EQ(text.find(*token), std::string::npos);
    EXPECT_NE(text.find("user:ann:operator:$y$"), std::string::npos);

    const auto loaded = UsersFile::Load(dir / "tavrel.users");
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(loaded->VerifyPassword("ann", "secret one"), Role::Operator);
    EXPECT_EQ(loaded->VerifyPassword("bob", "pass:word"), Role::Reader);
    EXPECT_EQ(loaded->VerifyPassword("ann", "secret on"), std::nullopt);
    EXPECT_EQ(loaded->VerifyPassword("bob", "secret one"), std::nullopt);
    EXPECT_EQ(loaded->VerifyPassword("carl", "secret one"), std::nullopt);
    EXPECT_EQ(loaded->VerifyPassword("dashboard", *token), std::nullopt); // a token is no password
    const auto owner = loaded->VerifyToken(*token);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->name, "dashboard");
    EXPECT_EQ(owner->role, Role::Reader);
    EXPECT_FALSE(loaded->VerifyToken(token->substr(1)));
    EXPECT_FALSE(loaded->VerifyToken(""));
}

TEST(UsersFile, AMissingFileHasNoEntriesAndRemovingKeepsCommentsAndOthers)
{
    TempDir dir;
    const auto missing = UsersFile::Load(dir / "none.users");
    ASSERT_TRUE(missing);
    EXPECT_TRUE(missing->Empty());

    const std::string kept = "# plant users\n\ntoken:a:operator:" + kTokenHash + "\n";
    WriteText(dir / "tavrel.users", kept + "token:b:reader:" + kTokenHash + "\n");
    auto users = UsersFile::Load(dir / "tavrel.users");
    ASSERT_TRUE(users) << users.error();
    ASSERT_TRUE(users->Remove(UsersFile::Kind::Token, "b"));
    EXPECT_FALSE(users->Remove(UsersFile::Kind::Token, "b"));
    EXPECT_FALSE(users->Remove(UsersFile::Kind::User, "a")); // a token, not a user
    ASSERT_TRUE(users->Save());
    EXPECT_EQ(ReadText(dir / "tavrel.users"), kept);
}

TEST(UsersFile, RefusesWhatWouldBreakOrDoubleAnEntry)
{
    TempDir dir;
    UsersFile users(dir / "tavrel.users");
    ASSERT_TRUE(users.AddUser("ann", Role::Reader, "x"));
    ASSERT_TRUE(users.AddToken("ann", Role::Reader)); // users and tokens are named apart
    const std::vector<std::pair<tl::expected<void, std::string>, std::string>> cases = {
        { users.AddUser("ann", Role::Operator, "y"), "is there already" },
        { users.AddUser("carl", Role::Operator, ""), "password is empty" },
        { users.AddUser("car:l", Role::Operator, "y"), "letters, digits" },
        { users.AddUser(std::string(UsersFile::kMaxNameLength + 1, 'a'), Role::Reader, "y"), "longer than" },
        { users.AddToken("ann", Role::Reader).map([](auto&&) {}), "is there already" },
        { users.AddToken("", Role::Reader).map([](auto&&) {}), "empty name" },
    };
    for (const auto& [result, reason] : cases) {
        ASSERT_FALSE(result) << reason;
        EXPECT_NE(result.error().find(reason), std::string::npos) << result.error();
    }
    EXPECT_EQ(users.Entries().size(), 2U);
}

TEST(UsersFile, LoadingRefusesAFileOthersMayReadOrALineThatIsNoEntry)
{
    const fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    const struct
    {
        std::string text;
        fs::perms perms;
        std::string reason;
    } cases[] = {
        { "token:a:reader:" + kTokenHash + "\n", ownerOnly | fs::perms::group_read, "may be read by others" },
        { "token:a:reader:" + kTokenHash + "\n", ownerOnly | fs::perms::others_read, "may be read by others" },
        { "# ok\nuser:ann:admin:$y$abc\n", ownerOnly, "line 2: the line has role 'admin'" },
        { "user:ann:reader\n", ownerOnly, "line 1: the line is neither" },
        { "user:ann:reader:$y$a:b\n", ownerOnly, "is neither" },
        { "group:ann:reader:$y$abc\n", ownerOnly, "is neither" },
        { "user:an n:reader:$y$abc\n", ownerOnly, "letters, digits" },
        { "user:ann:reader:plain\n", ownerOnly, "no password hash" },
        { "token:t:reader:" + std::string(64, 'A') + "\n", ownerOnly, "64 lower-case hex" },
        { "token:t:reader:abc\n", ownerOnly, "64 lower-case hex" },
        { "token:t:reader:" + kTokenHash + "\ntoken:t:operator:" + kTokenHash + "\n", ownerOnly,
          "line 2: token 't' comes twice" },
    };
    for (const auto& [text, perms, reason] : cases) {
        TempDir dir;
        WriteText(dir / "tavrel.users", text, perms);
        const auto loaded = UsersFile::Load(dir / "tavrel.users");
        ASSERT_FALSE(loaded) << text;
        EXPECT_NE(loaded.error().find(reason), std::string::npos) << loaded.error();
    }
}

TEST(UsersFileCache, FollowsTheFileAsItIsChangedWhileServing)
{
    TempDir dir;
    const fs::path path = dir / "tavrel.users";
    UsersFileCache cache(path);
    ASSERT_TRUE(cache.Current());
    EXPECT_TRUE((*cache.Current())->Empty());

    UsersFile users(path);
    const auto token = users.AddToken("panel", Role::Operator);
    ASSERT_TRUE(token && users.Save());
    auto current = cache.Current();
    ASSERT_TRUE(current);
    EXPECT_TRUE((*current)->VerifyToken(*token));

    fs::permissions(path, fs::perms::group_read, fs::perm_options::add);
    current = cache.Current();
    ASSERT_FALSE(current);
    EXPECT_NE(current.error().find("may be read by others"), std::string::npos);
    fs::permissions(path, fs::perms::group_read, fs::perm_options::remove);
    ASSERT_TRUE(cache.Current());
    EXPECT_TRUE((*cache.Current())->VerifyToken(*token));
}
