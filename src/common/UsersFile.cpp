#include "common/UsersFile.h"

#include "common/Files.h"
#include "common/Settings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

namespace tavrel::common {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUserTag = "user";
constexpr std::string_view kTokenTag = "token";
// libcrypt's prefix of yescrypt, the hash Debian itself gives passwords.
constexpr const char* kYescryptPrefix = "$y$";

std::string_view KindName(UsersFile::Kind kind)
{
    return kind == UsersFile::Kind::User ? "user" : "token";
}

std::string HexText(const unsigned char* bytes, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// crypt()'s text of `password` under `setting` (a salt, or a whole hash to check against); empty when libcrypt
// refuses the setting. Its work area is large (tens of kilobytes), so it lives on the heap.
std::string Crypt(std::string_view password, const char* setting)
{
    auto data = std::make_unique<crypt_data>();
    const std::string phrase(password);
    const char* hashed = crypt_rn(phrase.c_str(), setting, data.get(), static_cast<int>(sizeof(crypt_data)));
    return hashed != nullptr ? std::string(hashed) : std::string();
}

std::optional<UsersFile::Entry> ParseEntry(std::string_view line, std::string& error)
{
    std::vector<std::string_view> fields;
    for (std::size_t start = 0;;) {
        const std::size_t colon = line.find(':', start);
        fields.push_back(line.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) {
            break;
        }
        start = colon + 1;
    }
    if (fields.size() != 4 || (fields[0] != kUserTag && fields[0] != kTokenTag)) {
        error = "is neither user:NAME:ROLE:HASH nor token:NAME:ROLE:SHA256HEX";
        return std::nullopt;
    }
    UsersFile::Entry entry;
    entry.kind = fields[0] == kUserTag ? UsersFile::Kind::User : UsersFile::Kind::Token;
    if (auto bad = CheckUserName(fields[1])) {
        error = *bad;
        return std::nullopt;
    }
    entry.name = fields[1];
    const auto role = ParseRole(fields[2]);
    if (!role) {
        error = "has role '" + std::string(fields[2]) + "'; the roles are reader and operator";
        return std::nullopt;
    }
    entry.role = *role;
    entry.hash = fields[3];
    const bool hexHash = entry.hash.size() == 64 && std::all_of(entry.hash.begin(), entry.hash.end(), [](char c) {
                             return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
                         });
    if (entry.kind == UsersFile::Kind::Token && !hexHash) {
        error = "holds no SHA-256 in 64 lower-case hex digits";
        return std::nullopt;
    }
    if (entry.kind == UsersFile::Kind::User && (entry.hash.empty() || entry.hash[0] != '$')) {
        error = "holds no password hash made by crypt() (one starts with '$')";
        return std::nullopt;
    }
    return entry;
}

std::string EntryText(const UsersFile::Entry& entry)
{
    return std::string(entry.kind == UsersFile::Kind::User ? kUserTag : kTokenTag) + ":" + entry.name + ":"
        + std::string(RoleName(entry.role)) + ":" + entry.hash;
}

} // namespace

std::optional<std::string> CheckUserName(std::string_view name)
{
    if (name.empty()) {
        return "has an empty name";
    }
    if (name.size() > UsersFile::kMaxNameLength) {
        return "has a name longer than " + std::to_string(UsersFile::kMaxNameLength) + " characters";
    }
    const bool allowed = std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_'
            || c == '-';
    });
    if (!allowed) {
        return "has the name '" + std::string(name) + "'; names are letters, digits, '.', '_' and '-'";
    }
    return std::nullopt;
}

std::string Sha256Hex(std::string_view text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return HexText(digest, size);
}

fs::path UsersFilePath(const Settings& settings)
{
    const fs::path folder = settings.FilePath().parent_path();
    const std::string named = settings.ReadSetting(settingskey::UsersFile, "");
    if (named.empty()) {
        return folder / kDefaultUsersFileName;
    }
    const fs::path path(named);
    return path.is_absolute() ? path : folder / path;
}

UsersFile::UsersFile(fs::path path)
    : m_path(std::move(path))
{
}

tl::expected<UsersFile, std::string> UsersFile::Load(const fs::path& path)
{
    const std::string name = "the users file " + QuotedPath(path);
    UsersFile file(path);
    std::error_code statError;
    const fs::file_status status = fs::status(path, statError);
    if (status.type() == fs::file_type::not_found) {
        return file;
    }
    if (statError || !fs::is_regular_file(status)) {
        return tl::make_unexpected(
            name + " " + (statError ? "cannot be read: " + statError.message() : std::string("is no regular file")));
    }
    constexpr fs::perms kOthers = fs::perms::group_all | fs::perms::others_all;
    if ((status.permissions() & kOthers) != fs::perms::none) {
        return tl::make_unexpected(name + " may be read by others; make it its owner's alone (chmod 600 "
                                   + path.string() + ")");
    }
    auto content = ReadWholeFile(path);
    if (!content) {
        return tl::make_unexpected(name + " cannot be read: " + std::strerror(content.error()));
    }
    std::string_view rest(*content);
    for (int number = 1; !rest.empty(); ++number) {
        const std::size_t end = rest.find('\n');
        std::string_view text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        if (text.find_first_not_of(" \t") == std::string_view::npos || text.front() == '#') {
            file.m_lines.push_back({ std::nullopt, std::string(text) });
            continue;
        }
        std::string error;
        auto entry = ParseEntry(text, error);
        if (!entry) {
            return tl::make_unexpected(name + ", line " + std::to_string(number) + ": the line " + error);
        }
        if (file.Find(entry->kind, entry->name) != nullptr) {
            return tl::make_unexpected(name + ", line " + std::to_string(number) + ": "
                                       + std::string(KindName(entry->kind)) + " '" + entry->name + "' comes twice");
        }
        file.m_lines.push_back({ std::move(entry), std::string(text) });
    }
    return file;
}

std::vector<UsersFile::Entry> UsersFile::Entries() const
{
    std::vector<Entry> entries;
    for (const Line& line : m_lines) {
        if (line.entry) {
            entries.push_back(*line.entry);
        }
    }
    return entries;
}

bool UsersFile::Empty() const
{
    return std::none_of(m_lines.begin(), m_lines.end(), [](const Line& line) { return line.entry.has_value(); });
}

const UsersFile::Entry* UsersFile::Find(Kind kind, std::string_view name) const
{
    for (const Line& line : m_lines) {
        if (line.entry && line.entry->kind == kind && line.entry->name == name) {
            return &*line.entry;
        }
    }
    return nullptr;
}

std::optional<Role> UsersFile::VerifyPassword(std::string_view name, std::string_view password) const
{
    // An unknown user costs a hash too, so that the time of an answer does not tell which names exist.
    static const std::string kStandIn = [] {
        char salt[CRYPT_GENSALT_OUTPUT_SIZE];
        return crypt_gensalt_rn(kYescryptPrefix, 0, nullptr, 0, salt, sizeof salt) != nullptr ? Crypt("stand-in", salt)
                                                                                              : std::string();
    }();
    const Entry* user = Find(Kind::User, name);
    const std::string& expected = user != nullptr ? user->hash : kStandIn;
    const std::string hashed = expected.empty() ? std::string() : Crypt(password, expected.c_str());
    if (user == nullptr || hashed.empty() || !SameText(hashed, expected)) {
        return std::nullopt;
    }
    return user->role;
}

std::optional<UsersFile::TokenOwner> UsersFile::VerifyToken(std::string_view token) const
{
    const std::string hashed = Sha256Hex(token);
    std::optional<TokenOwner> owner;
    // Every entry is compared, each in constant time: neither the position nor the prefix of a match shows.
    for (const Line& line : m_lines) {
        if (line.entry && line.entry->kind == Kind::Token && SameText(hashed, line.entry->hash)) {
            owner = TokenOwner { line.entry->name, line.entry->role };
        }
    }
    return owner;
}

tl::expected<void, std::string> UsersFile::AddUser(std::string_view name, Role role, std::string_view password)
{
    if (auto bad = CheckUserName(name)) {
        return tl::make_unexpected("the user " + *bad);
    }
    if (Find(Kind::User, name) != nullptr) {
        return tl::make_unexpected("user '" + std::string(name)
                                   + "' is there already; remove them first to change "
                                     "the password or role");
    }
    if (password.empty()) {
        return tl::make_unexpected("the password is empty");
    }
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(kYescryptPrefix, 0, nullptr, 0, salt, sizeof salt) == nullptr) {
        const int error = errno;
        return tl::make_unexpected(std::string("cannot make a salt for the password: ") + std::strerror(error));
    }
    std::string hash = Crypt(password, salt);
    if (hash.empty() || hash[0] != '$') {
        return tl::make_unexpected("libcrypt cannot hash the password with yescrypt");
    }
    Entry entry { Kind::User, std::string(name), role, std::move(hash) };
    std::string text = EntryText(entry);
    m_lines.push_back({ std::move(entry), std::move(text) });
    return {};
}

tl::expected<std::string, std::string> UsersFile::AddToken(std::string_view name, Role role)
{
    if (auto bad = CheckUserName(name)) {
        return tl::make_unexpected("the token " + *bad);
    }
    if (Find(Kind::Token, name) != nullptr) {
        return tl::make_unexpected("token '" + std::string(name) + "' is there already; remove it first");
    }
    unsigned char bytes[kTokenBytes];
    if (RAND_bytes(bytes, static_cast<int>(sizeof bytes)) != 1) {
        return tl::make_unexpected("OpenSSL cannot give random bytes for a token");
    }
    std::string token = HexText(bytes, sizeof bytes);
    Entry entry { Kind::Token, std::string(name), role, Sha256Hex(token) };
    std::string text = EntryText(entry);
    m_lines.push_back({ std::move(entry), std::move(text) });
    return token;
}

tl::expected<void, std::string> UsersFile::Remove(Kind kind, std::string_view name)
{
    const auto found = std::find_if(m_lines.begin(), m_lines.end(), [&](const Line& line) {
        return line.entry && line.entry->kind == kind && line.entry->name == name;
    });
    if (found == m_lines.end()) {
        return tl::make_unexpected(std::string(KindName(kind)) + " '" + std::string(name) + "' is not in "
                                   + QuotedPath(m_path));
    }
    m_lines.erase(found);
    return {};
}

tl::expected<void, std::string> UsersFile::Save() const
{
    auto file = ReplacementFile::Create(m_path);
    if (!file) {
        return tl::make_unexpected(file.error());
    }
    // Owner-only before a byte is written: the hashes are never readable by others, not even for a moment.
    if (::chmod(file->Path().c_str(), S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        return tl::make_unexpected("cannot make " + QuotedPath(file->Path())
                                   + " its owner's alone: " + std::strerror(error));
    }
    std::string text;
    for (const Line& line : m_lines) {
        text += line.text;
        text += '\n';
    }
    if (auto written = file->Write(text.data(), text.size()); !written) {
        return written;
    }
    return file->Commit();
}

UsersFileCache::UsersFileCache(fs::path path)
    : m_path(std::move(path))
{
}

tl::expected<const UsersFile*, std::string> UsersFileCache::Current()
{
    struct stat status = {};
    // The change time moves with every write and chmod; a file renamed into place is another inode.
    std::int64_t time = -1;
    std::int64_t inode = -1;
    if (::stat(m_path.c_str(), &status) == 0) {
        time = static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec;
        inode = static_cast<std::int64_t>(status.st_ino);
    }
    if (time != m_time || inode != m_inode) {
        m_time = time;
        m_inode = inode;
        auto loaded = UsersFile::Load(m_path);
        if (loaded) {
            m_file = std::move(*loaded);
            m_error.clear();
        } else {
            m_file.reset();
            m_error = loaded.error();
        }
    }
    if (!m_file) {
        return tl::make_unexpected(m_error);
    }
    return &*m_file;
}

} // namespace tavrel::common
