#include "common/Settings.h"

#include "common/Files.h"

#include "common/NumberText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace tavrel::common {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimLeft(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view Trim(std::string_view text)
{
    text = TrimLeft(text);
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lowerA = (a[i] >= 'A' && a[i] <= 'Z') ? a[i] - 'A' + 'a' : a[i];
        const auto lowerB = (b[i] >= 'A' && b[i] <= 'Z') ? b[i] - 'A' + 'a' : b[i];
        if (lowerA != lowerB) {
            return false;
        }
    }
    return true;
}

// What one line of the file is.
struct IniLine
{
    enum class Kind { Other, Section, Key };
    Kind kind = Kind::Other;
    std::string_view name; ///< section or key name, without surrounding blanks
    std::string_view value; ///< the value of a key, without surrounding blanks
};

IniLine Classify(std::string_view line)
{
    const std::string_view text = TrimLeft(line);
    if (text.empty() || text.front() == ';') {
        return {};
    }
    if (text.front() == '[') {
        const std::size_t close = text.find(']');
        return { IniLine::Kind::Section,
                 Trim(text.substr(1, close == std::string_view::npos ? close : close - 1)),
                 {} };
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos || Trim(text.substr(0, equals)).empty()) {
        return {};
    }
    return { IniLine::Kind::Key, Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)) };
}

// One line of the file and the end it had, so that a line a write leaves alone is written back as it was.
struct TextLine
{
    std::string text;
    std::string end;
};

// The file as lines, with what it takes to write it back the way it was.
struct IniText
{
    bool byteOrderMark = false;
    std::string lineEnd = "\n"; ///< the end of the file's first line, given to new lines
    std::vector<TextLine> lines;

    static IniText Parse(std::string_view content)
    {
        IniText text;
        if (content.starts_with(kUtf8ByteOrderMark)) {
            text.byteOrderMark = true;
            content.remove_prefix(kUtf8ByteOrderMark.size());
        }
        const std::size_t firstEnd = content.find('\n');
        if (firstEnd != std::string_view::npos && firstEnd > 0 && content[firstEnd - 1] == '\r') {
            text.lineEnd = "\r\n";
        }
        while (!content.empty()) {
            const std::size_t end = content.find('\n');
            std::string_view line = content.substr(0, end);
            const bool carriageReturn = line.ends_with('\r');
            if (carriageReturn) {
                line.remove_suffix(1);
            }
            // A last line without its line feed keeps the carriage return it ends with: written back with a
            // feed after it, it must read as it did ("x\r\r" at the end is "x\r", and so is "x\r\r\n").
            const std::string ending = carriageReturn ? "\r\n" : end == std::string_view::npos ? text.lineEnd : "\n";
            text.lines.push_back({ std::string(line), ending });
            content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        }
        return text;
    }

    std::string Render() const
    {
        std::string content = byteOrderMark ? std::string(kUtf8ByteOrderMark) : std::string();
        for (const TextLine& line : lines) {
            content += line.text;
            content += line.end;
        }
        return content;
    }

    // The lines of the first section of that name: [header + 1, end); nothing when there is none.
    std::optional<std::pair<std::size_t, std::size_t>> FindSection(std::string_view section) const
    {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const IniLine line = Classify(lines[i].text);
            if (line.kind == IniLine::Kind::Section && EqualNoCase(line.name, section)) {
                std::size_t end = i + 1;
                while (end < lines.size() && Classify(lines[end].text).kind != IniLine::Kind::Section) {
                    ++end;
                }
                return std::pair { i + 1, end };
            }
        }
        return std::nullopt;
    }

    // The first line of the section range that holds the key.
    std::optional<std::size_t> FindKey(std::pair<std::size_t, std::size_t> range, std::string_view key) const
    {
        for (std::size_t i = range.first; i < range.second; ++i) {
            const IniLine line = Classify(lines[i].text);
            if (line.kind == IniLine::Kind::Key && EqualNoCase(line.name, key)) {
                return i;
            }
        }
        return std::nullopt;
    }

    void Set(std::string_view section, std::string_view key, std::string_view value)
    {
        const auto range = FindSection(section);
        if (!range) {
            if (!lines.empty() && !Trim(lines.back().text).empty()) {
                lines.push_back({ std::string(), lineEnd });
            }
            lines.push_back({ "[" + std::string(section) + "]", lineEnd });
            lines.push_back({ std::string(key) + "=" + std::string(value), lineEnd });
            return;
        }
        if (const auto found = FindKey(*range, key)) {
            // The key keeps the spelling it has in the file.
            const std::string name(Classify(lines[*found].text).name);
            lines[*found].text = name + "=" + std::string(value);
            return;
        }
        // After the last key of the section: blank lines and comments before the next section
        // stay where they are.
        std::size_t insertAt = range->first;
        for (std::size_t i = range->first; i < range->second; ++i) {
            if (Classify(lines[i].text).kind == IniLine::Kind::Key) {
                insertAt = i + 1;
            }
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt),
                     TextLine { std::string(key) + "=" + std::string(value), lineEnd });
    }
};

// A value as a read returns it: cut to the longest length, then leading blanks removed.
std::string AsRead(std::string_view value)
{
    value = Trim(value);
    if (value.size() > Settings::kMaxValueLength) {
        std::size_t length = Settings::kMaxValueLength;
        // Back off to the start of a character, so the cut never leaves half a UTF-8 sequence.
        while (length > 0 && (static_cast<unsigned char>(value[length]) & 0xC0U) == 0x80U) {
            --length;
        }
        value = value.substr(0, length);
    }
    return std::string(TrimLeft(value));
}

// The content of the file; nothing when it does not exist.
tl::expected<std::optional<std::string>, std::string> ReadFile(const fs::path& path)
{
    auto content = ReadWholeFile(path);
    if (!content) {
        if (content.error() == ENOENT) {
            return std::optional<std::string>();
        }
        return tl::make_unexpected("cannot read settings file " + QuotedPath(path) + ": "
                                   + std::strerror(content.error()));
    }
    return std::optional<std::string>(std::move(*content));
}

// Replaces the file with `content` in one step: a new file beside it, flushed, renamed over it.
tl::expected<void, std::string> ReplaceFile(const fs::path& target, const std::string& content)
{
    // A new file beside it, with its permissions, renamed over it once complete.
    auto replaced
        = ReplacementFile::Create(target, ReplacementFile::Permissions::KeepTarget).and_then([&](ReplacementFile file) {
              return file.Write(content.data(), content.size()).and_then([&] { return file.Commit(); });
          });
    if (!replaced) {
        return tl::make_unexpected("cannot write settings file " + QuotedPath(target) + ": " + replaced.error());
    }
    return {};
}

// Why a key or value cannot be written as one line of the file, or nothing when it can.
std::optional<std::string> LineFormatProblem(std::string_view key, std::string_view value)
{
    const auto hasLineBreak = [](std::string_view text) {
        return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
    };
    if (key.empty() || Trim(key).size() != key.size()) {
        return "key \"" + std::string(key) + "\" is empty or begins or ends with a blank";
    }
    if (hasLineBreak(key) || key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
        return "key \"" + std::string(key) + "\" holds a line break, \"=\" or begins with \"[\" or \";\"";
    }
    if (hasLineBreak(value)) {
        return "the value of key " + std::string(key) + " holds a line break";
    }
    return std::nullopt;
}

bool ReadBoolean(const Settings& settings, std::string_view key, bool defaultValue)
{
    const std::string text = settings.ReadSetting(key, defaultValue ? "1" : "0");
    const auto number = ParseDouble(text);
    if (!number) {
        // A number too large for a double is still a number, and not 0.
        return number.error() == NumberError::OutOfRange ? true : defaultValue;
    }
    return *number != 0.0;
}

std::string_view BooleanText(bool value)
{
    return value ? "1" : "0";
}

} // namespace

Settings::Settings(std::filesystem::path file, std::string section)
    : m_file(std::move(file))
    , m_section(std::move(section))
{
}

Settings Settings::ForExecutable(const std::filesystem::path& executable)
{
    const std::string baseName = executable.stem().string();
    return Settings(executable.parent_path() / (baseName + ".ini"), baseName);
}

std::string Settings::ReadSetting(std::string_view key, std::string_view defaultValue) const
{
    const auto content = ReadFile(m_file);
    if (!content || !*content) {
        return AsRead(defaultValue);
    }
    const IniText text = IniText::Parse(**content);
    const auto range = text.FindSection(m_section);
    if (!range) {
        return AsRead(defaultValue);
    }
    const auto line = text.FindKey(*range, key);
    if (!line) {
        return AsRead(defaultValue);
    }
    return AsRead(Classify(text.lines[*line].text).value);
}

tl::expected<void, std::string> Settings::WriteSetting(std::string_view key, std::string_view value)
{
    const Entry entry { key, value };
    return WriteSettings(std::span(&entry, 1));
}

tl::expected<void, std::string> Settings::WriteSettings(std::span<const Entry> entries)
{
    for (const auto& [key, value] : entries) {
        if (const auto problem = LineFormatProblem(key, value)) {
            return tl::make_unexpected("cannot write settings file " + QuotedPath(m_file) + ": " + *problem);
        }
    }
    // A file that cannot be read is not overwritten: its other sections would be lost.
    const auto content = ReadFile(m_file);
    if (!content) {
        return tl::make_unexpected(content.error());
    }
    IniText text = *content ? IniText::Parse(**content) : IniText();
    for (const auto& [key, value] : entries) {
        text.Set(m_section, key, value);
    }
    return ReplaceFile(m_file, text.Render());
}

AppOptions GetOptions(const Settings& settings)
{
    const AppOptions defaults;
    AppOptions options;
    options.AutoRun = ReadBoolean(settings, settingskey::AutoRun, defaults.AutoRun);
    options.ProjectFilePath = settings.ReadSetting(settingskey::ProjectFilePath, defaults.ProjectFilePath);
    const auto startUp
        = ParseWholeNumber(settings.ReadSetting(settingskey::StartUpOperation, "0"),
                           std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    options.StartUpOperation = startUp ? static_cast<std::int32_t>(*startUp) : defaults.StartUpOperation;
    options.MinimizedAfterRun = ReadBoolean(settings, settingskey::MinimizedAfterRun, defaults.MinimizedAfterRun);
    options.ConnectOnce = ReadBoolean(settings, settingskey::ConnectOnce, defaults.ConnectOnce);
    const auto minPass = ParseWholeNumber(settings.ReadSetting(settingskey::MinPassMs, "0"), 0, kMaxMinPassMs);
    options.MinPassMs = minPass ? static_cast<std::int32_t>(*minPass) : defaults.MinPassMs;
    return options;
}

tl::expected<void, std::string> SaveOptions(Settings& settings, const AppOptions& options, bool runAsService)
{
    const std::string startUp = std::to_string(options.StartUpOperation);
    const std::string minPass = std::to_string(options.MinPassMs);
    const Settings::Entry entries[] = {
        { settingskey::AutoRun, BooleanText(options.AutoRun) },
        { settingskey::RunAsService, BooleanText(runAsService) },
        { settingskey::ProjectFilePath, options.ProjectFilePath },
        { settingskey::MinimizedAfterRun, BooleanText(options.MinimizedAfterRun) },
        { settingskey::ConnectOnce, BooleanText(options.ConnectOnce) },
        { settingskey::StartUpOperation, startUp },
        { settingskey::MinPassMs, minPass },
    };
    return settings.WriteSettings(entries);
}

std::string ReadCurrentFilePath(const Settings& settings)
{
    return settings.ReadSetting(settingskey::CurrentFilePath, "");
}

tl::expected<void, std::string> WriteCurrentFilePath(Settings& settings, std::string_view path)
{
    return settings.WriteSetting(settingskey::CurrentFilePath, path);
}

std::string ReadLinkAddress(const Settings& settings)
{
    std::string address = settings.ReadSetting(settingskey::LinkAddress, kDefaultLinkAddress);
    return address.empty() ? std::string(kDefaultLinkAddress) : address;
}

std::uint16_t ReadLinkPort(const Settings& settings)
{
    const auto port = ParseWholeNumber(settings.ReadSetting(settingskey::LinkPort, ""), 0, 65535);
    return port ? static_cast<std::uint16_t>(*port) : kDefaultLinkPort;
}

std::string ReadOpcUaAddress(const Settings& settings)
{
    std::string address = settings.ReadSetting(settingskey::OpcUaAddress, "");
    return address.empty() ? std::string(kDefaultLinkAddress) : address;
}

std::uint16_t ReadOpcUaPort(const Settings& settings)
{
    const auto port = ParseWholeNumber(settings.ReadSetting(settingskey::OpcUaPort, ""), 0, 65535);
    return port ? static_cast<std::uint16_t>(*port) : kDefaultOpcUaPort;
}

tl::expected<OpcUaAccessSettings, std::string> ReadOpcUaAccess(const Settings& settings)
{
    OpcUaAccessSettings access;
    if (!settings.ReadSetting(settingskey::OpcUaAllowAnonymous, "").empty()) {
        access.allowAnonymous = ReadBoolean(settings, settingskey::OpcUaAllowAnonymous, false);
    }
    if (const std::string role = settings.ReadSetting(settingskey::OpcUaAnonymousRole, ""); !role.empty()) {
        access.anonymousRole = ParseRole(role);
        if (!access.anonymousRole) {
            return tl::make_unexpected("OpcUaAnonymousRole is '" + role + "'; it takes reader or operator");
        }
    }
    access.allowNone = ReadBoolean(settings, settingskey::OpcUaAllowNone, false);
    access.autoAcceptCertificates = ReadBoolean(settings, settingskey::OpcUaAutoAcceptCertificates, false);
    return access;
}

std::filesystem::path OpcUaPkiFolder(const Settings& settings)
{
    const std::filesystem::path named(settings.ReadSetting(settingskey::OpcUaPkiFolder, ""));
    if (named.is_absolute()) {
        return named;
    }
    return settings.FilePath().parent_path() / (named.empty() ? std::filesystem::path("pki") : named);
}

namespace {

std::vector<std::string> SplitAtBlanks(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && IsBlank(text[at])) {
            ++at;
        }
        std::size_t end = at;
        while (end < text.size() && !IsBlank(text[end])) {
            ++end;
        }
        if (end > at) {
            words.emplace_back(text.substr(at, end - at));
        }
        at = end;
    }
    return words;
}

} // namespace

LinkAccessSettings ReadLinkAccess(const Settings& settings)
{
    LinkAccessSettings access;
    access.allowedOrigins = SplitAtBlanks(settings.ReadSetting(settingskey::LinkAllowedOrigins, ""));
    access.allowedHosts = SplitAtBlanks(settings.ReadSetting(settingskey::LinkAllowedHosts, ""));
    const auto besideSettings = [&settings](std::string_view key) {
        const fs::path path(settings.ReadSetting(key, ""));
        return path.empty() || path.is_absolute() ? path : settings.FilePath().parent_path() / path;
    };
    access.tokenFile = besideSettings(settingskey::LinkTokenFile);
    access.certFile = besideSettings(settingskey::LinkCertFile);
    access.keyFile = besideSettings(settingskey::LinkKeyFile);
    access.requireToken = ReadBoolean(settings, settingskey::LinkRequireToken, false);
    access.allowPlainHttp = ReadBoolean(settings, settingskey::LinkAllowPlainHttp, false);
    return access;
}

AuditSettings ReadAuditSettings(const Settings& settings)
{
    AuditSettings audit;
    const fs::path file(settings.ReadSetting(settingskey::AuditFile, ""));
    const fs::path folder = settings.FilePath().parent_path();
    audit.file = file.empty() ? folder / "tavrel-audit.jsonl" : file.is_absolute() ? file : folder / file;
    if (const auto megabytes = ParseWholeNumber(settings.ReadSetting(settingskey::AuditMaxMB, "10"), 1, 1024)) {
        audit.maxBytes = static_cast<std::uint64_t>(*megabytes) * 1024 * 1024;
    }
    return audit;
}

HistorySettings ReadHistorySettings(const Settings& settings)
{
    HistorySettings history;
    if (const auto days = ParseWholeNumber(settings.ReadSetting(settingskey::HistoryDays, "30"), 1, 36500)) {
        history.days = static_cast<std::int32_t>(*days);
    }
    if (const auto megabytes
        = ParseWholeNumber(settings.ReadSetting(settingskey::HistoryMaxMB, "2048"), 1, 16 * 1024 * 1024)) {
        history.maxBytes = static_cast<std::uint64_t>(*megabytes) * 1024 * 1024;
    }
    history.postgres = settings.ReadSetting(settingskey::HistoryPostgres, "");
    return history;
}

tl::expected<std::string, std::string> ReadLinkToken(const fs::path& file)
{
    const std::string name = "the token file " + file.string();
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error || !fs::is_regular_file(status)) {
        return tl::make_unexpected(name + " " + (error ? "cannot be read: " + error.message() : "is no regular file"));
    }
    constexpr fs::perms kOthers = fs::perms::group_all | fs::perms::others_all;
    if ((status.permissions() & kOthers) != fs::perms::none) {
        return tl::make_unexpected(name + " may be read by others; make it its owner's alone (chmod 600)");
    }
    auto content = ReadWholeFile(file);
    if (!content) {
        return tl::make_unexpected(name + " cannot be read: " + std::strerror(content.error()));
    }
    std::string_view token(*content);
    token = token.substr(0, token.find('\n'));
    if (!token.empty() && token.back() == '\r') {
        token.remove_suffix(1);
    }
    token = Trim(token);
    if (token.size() < kMinLinkTokenLength) {
        return tl::make_unexpected(name + " holds a token of " + std::to_string(token.size()) + " characters; use "
                                   + std::to_string(kMinLinkTokenLength) + " or more");
    }
    if (std::any_of(token.begin(), token.end(), [](char c) { return c <= ' ' || c > '~'; })) {
        return tl::make_unexpected(name + " holds a token with blanks or characters beyond visible ASCII");
    }
    return std::string(token);
}

MqttOptions ReadMqttOptions(const Settings& settings)
{
    MqttOptions options;
    options.Broker = settings.ReadSetting(settingskey::MqttBroker, "");
    options.TopicPrefix = settings.ReadSetting(settingskey::MqttTopicPrefix, "");
    options.ClientId = settings.ReadSetting(settingskey::MqttClientId, "");
    options.User = settings.ReadSetting(settingskey::MqttUser, "");
    options.PasswordFile = settings.ReadSetting(settingskey::MqttPasswordFile, "");
    options.CaFile = settings.ReadSetting(settingskey::MqttCaFile, "");
    const auto qos = ParseWholeNumber(settings.ReadSetting(settingskey::MqttQos, "0"), -1, 2);
    options.Qos = qos ? static_cast<std::int32_t>(*qos) : -1;
    options.Payload = settings.ReadSetting(settingskey::MqttPayload, "plain");
    const auto wholeOrMinusOne = [&settings](std::string_view key, const char* fallback) {
        const auto number = ParseWholeNumber(settings.ReadSetting(key, fallback), -1, 1'000'000);
        return number ? static_cast<std::int32_t>(*number) : -1;
    };
    options.RepublishSeconds = wholeOrMinusOne(settingskey::MqttRepublishSeconds, "0");
    options.BufferMB = wholeOrMinusOne(settingskey::MqttBufferMB, "256");
    options.BufferFile = (settings.FilePath().parent_path() / "tavrel-mqtt-queue.sqlite").string();
    return options;
}

tl::expected<void, std::string> SaveMqttOptions(Settings& settings, const MqttOptions& options)
{
    const std::string qos = std::to_string(options.Qos);
    const std::string republish = std::to_string(options.RepublishSeconds);
    const std::string buffer = std::to_string(options.BufferMB);
    const Settings::Entry entries[] = {
        { settingskey::MqttBroker, options.Broker },
        { settingskey::MqttTopicPrefix, options.TopicPrefix },
        { settingskey::MqttClientId, options.ClientId },
        { settingskey::MqttUser, options.User },
        { settingskey::MqttPasswordFile, options.PasswordFile },
        { settingskey::MqttCaFile, options.CaFile },
        { settingskey::MqttQos, qos },
        { settingskey::MqttPayload, options.Payload },
        { settingskey::MqttRepublishSeconds, republish },
        { settingskey::MqttBufferMB, buffer },
    };
    return settings.WriteSettings(entries);
}

} // namespace tavrel::common
