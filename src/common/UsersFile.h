#pragma once

#include "common/Role.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::common {

class Settings;

/// The file name of the users file, beside the settings file unless UsersFile names another.
inline constexpr std::string_view kDefaultUsersFileName = "tavrel.users";

/// The users file of these settings: UsersFile (relative paths beside the settings file), else tavrel.users beside
/// the settings file.
std::filesystem::path UsersFilePath(const Settings& settings);

/// The users and access tokens who may reach Tavrel's servers, and their roles. One line each:
///   user:NAME:ROLE:HASH          a password, as libcrypt's crypt() with a yescrypt salt makes it
///   token:NAME:ROLE:SHA256HEX    the SHA-256 of a random token, in lower-case hex; the token itself is shown
///                                once, when it is made, and kept nowhere
/// NAME is letters, digits, '.', '_' and '-' (at most 64); ROLE is "reader" or "operator". Blank lines and lines
/// starting with '#' are kept as they are. The file is its owner's alone (mode 600): one that others may read is
/// refused, since its hashes would let them guess passwords offline.
class UsersFile
{
public:
    /// What an entry is: a user with a password, or an access token.
    enum class Kind { User, Token };

    /// One line that grants access.
    struct Entry
    {
        Kind kind = Kind::User;
        std::string name;
        Role role = Role::Reader;
        std::string hash; ///< crypt() text for a user, SHA-256 hex for a token
    };

    /// Who a token belongs to.
    struct TokenOwner
    {
        std::string name;
        Role role = Role::Reader;
    };

    /// The longest name taken.
    static constexpr std::size_t kMaxNameLength = 64;
    /// The random bytes of a new token (shown as twice as many hex digits).
    static constexpr std::size_t kTokenBytes = 32;

    /// An empty users file at `path`, not yet written.
    explicit UsersFile(std::filesystem::path path);

    /// Reads the users file at `path`; a file that does not exist reads as one without entries. Or why it cannot
    /// be used: others may read it, it cannot be read, or a line is not an entry (with its number).
    [[nodiscard]] static tl::expected<UsersFile, std::string> Load(const std::filesystem::path& path);

    const std::filesystem::path& Path() const { return m_path; }
    /// The entries in file order.
    std::vector<Entry> Entries() const;
    /// Whether the file holds no entry.
    bool Empty() const;

    /// The role of user `name` when `password` is theirs; nothing for an unknown user or a wrong password (the
    /// same time for both).
    std::optional<Role> VerifyPassword(std::string_view name, std::string_view password) const;
    /// The name and role of the token's owner; nothing for a token that is not in the file.
    std::optional<TokenOwner> VerifyToken(std::string_view token) const;

    /// Adds user `name` with that role and password, hashed; refuses a bad name, an empty password, or a user who
    /// is already there. Written by Save.
    [[nodiscard]] tl::expected<void, std::string> AddUser(std::string_view name, Role role, std::string_view password);
    /// Adds a new random token named `name` with that role, and returns the token (the only time it is seen);
    /// refuses a bad name or a token of that name that is already there. Written by Save.
    [[nodiscard]] tl::expected<std::string, std::string> AddToken(std::string_view name, Role role);
    /// Removes the user or token `name`; refuses one that is not there. Written by Save.
    [[nodiscard]] tl::expected<void, std::string> Remove(Kind kind, std::string_view name);

    /// Writes the file in one step (a new file renamed over the old), its owner's alone.
    [[nodiscard]] tl::expected<void, std::string> Save() const;

private:
    /// A line of the file: an entry, or a comment or blank line kept as it is.
    struct Line
    {
        std::optional<Entry> entry;
        std::string text;
    };

    const Entry* Find(Kind kind, std::string_view name) const;

    std::filesystem::path m_path;
    std::vector<Line> m_lines;
};

/// The users file as it is now: read again whenever it has changed on disk (a user or token added or removed while
/// Tavrel runs), so that servers always judge by the file's present content.
class UsersFileCache
{
public:
    explicit UsersFileCache(std::filesystem::path path);

    const std::filesystem::path& Path() const { return m_path; }
    /// The file's present content, read again when it changed (written, replaced or its mode changed) since the last
    /// call; or why it cannot be used (then nobody is let in by it until it is mended).
    [[nodiscard]] tl::expected<const UsersFile*, std::string> Current();

private:
    std::filesystem::path m_path;
    std::optional<UsersFile> m_file;
    std::string m_error;
    /// What the file looked like when last read: its change time in nanoseconds and inode; -1 for no file.
    std::int64_t m_time = -2;
    std::int64_t m_inode = -2;
};

/// Why `name` cannot name a user or token, or nothing when it can.
std::optional<std::string> CheckUserName(std::string_view name);

/// The SHA-256 of `text` in lower-case hex.
std::string Sha256Hex(std::string_view text);

} // namespace tavrel::common
