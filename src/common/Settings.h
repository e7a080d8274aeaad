#pragma once

#include "common/AppOptions.h"
#include "common/LinkProtocol.h"
#include "common/Role.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::common {

/// The program's settings file: an INI file read and written the way Windows profile files are.
/// One section is used, named after the program; section and key names match without regard to
/// case; a missing file, section or key reads as the caller's default; a value is read with its
/// surrounding blanks removed and cut to 254 bytes. Nothing is cached: every read reads the file,
/// every write replaces it in one step, keeping every other section, key and comment.
class Settings
{
public:
    /// The longest value a read returns, in bytes.
    static constexpr std::size_t kMaxValueLength = 254;

    /// One key and the value to write under it.
    using Entry = std::pair<std::string_view, std::string_view>;

    /// The settings of section `section` in the file at `file`.
    Settings(std::filesystem::path file, std::string section);

    /// The settings of a program: the file <folder>/<base name>.ini, the section <base name>.
    static Settings ForExecutable(const std::filesystem::path& executable);

    const std::filesystem::path& FilePath() const { return m_file; }
    const std::string& Section() const { return m_section; }

    /// The value of `key` in the section, or `defaultValue` when the file, the section or the key is
    /// missing or the file cannot be read; leading and trailing blanks removed, cut to 254 bytes
    /// (never inside a UTF-8 character).
    std::string ReadSetting(std::string_view key, std::string_view defaultValue) const;

    /// Writes `key`=`value` into the section, creating the file, the section or the key as needed.
    /// Refuses a key or value that would break the line format (a line break, "=" in a key) and a
    /// file it cannot read, leaving the file as it was.
    [[nodiscard]] tl::expected<void, std::string> WriteSetting(std::string_view key, std::string_view value);

    /// Writes several keys in order with one replacement of the file: all of them or none.
    [[nodiscard]] tl::expected<void, std::string> WriteSettings(std::span<const Entry> entries);

private:
    std::filesystem::path m_file;
    std::string m_section;
};

/// The keys of the settings file.
namespace settingskey {
inline constexpr std::string_view StartUpOperation = "StartUpOperation";
inline constexpr std::string_view ProjectFilePath = "ProjectFilePath";
inline constexpr std::string_view AutoRun = "AutoRun";
inline constexpr std::string_view MinimizedAfterRun = "MinimizedAfterRun";
inline constexpr std::string_view ConnectOnce = "ConnectOnce";
inline constexpr std::string_view MinPassMs = "MinPassMs";
inline constexpr std::string_view RunAsService = "RunAsService";
inline constexpr std::string_view CurrentFilePath = "CurrentFilePath";
inline constexpr std::string_view LinkAddress = "LinkAddress";
inline constexpr std::string_view LinkPort = "LinkPort";
inline constexpr std::string_view LinkAllowedOrigins = "LinkAllowedOrigins";
inline constexpr std::string_view LinkAllowedHosts = "LinkAllowedHosts";
inline constexpr std::string_view LinkTokenFile = "LinkTokenFile";
inline constexpr std::string_view LinkRequireToken = "LinkRequireToken";
inline constexpr std::string_view LinkCertFile = "LinkCertFile";
inline constexpr std::string_view LinkKeyFile = "LinkKeyFile";
inline constexpr std::string_view LinkAllowPlainHttp = "LinkAllowPlainHttp";
inline constexpr std::string_view UsersFile = "UsersFile";
inline constexpr std::string_view AuditFile = "AuditFile";
inline constexpr std::string_view AuditMaxMB = "AuditMaxMB";
inline constexpr std::string_view MqttBroker = "MqttBroker";
inline constexpr std::string_view MqttTopicPrefix = "MqttTopicPrefix";
inline constexpr std::string_view MqttClientId = "MqttClientId";
inline constexpr std::string_view MqttUser = "MqttUser";
inline constexpr std::string_view MqttPasswordFile = "MqttPasswordFile";
inline constexpr std::string_view MqttCaFile = "MqttCaFile";
inline constexpr std::string_view MqttQos = "MqttQos";
inline constexpr std::string_view MqttPayload = "MqttPayload";
inline constexpr std::string_view MqttRepublishSeconds = "MqttRepublishSeconds";
inline constexpr std::string_view MqttBufferMB = "MqttBufferMB";
inline constexpr std::string_view OpcUaAddress = "OpcUaAddress";
inline constexpr std::string_view OpcUaPort = "OpcUaPort";
inline constexpr std::string_view HistoryDays = "HistoryDays";
inline constexpr std::string_view HistoryMaxMB = "HistoryMaxMB";
inline constexpr std::string_view HistoryPostgres = "HistoryPostgres";
inline constexpr std::string_view OpcUaAllowAnonymous = "OpcUaAllowAnonymous";
inline constexpr std::string_view OpcUaAnonymousRole = "OpcUaAnonymousRole";
inline constexpr std::string_view OpcUaAllowNone = "OpcUaAllowNone";
inline constexpr std::string_view OpcUaAutoAcceptCertificates = "OpcUaAutoAcceptCertificates";
inline constexpr std::string_view OpcUaPkiFolder = "OpcUaPkiFolder";
} // namespace settingskey

inline constexpr std::string_view kDefaultLinkAddress = "127.0.0.1";
inline constexpr std::uint16_t kDefaultLinkPort = protocol::kDefaultPort;

/// The options of the settings file. Booleans: "0" is false, any other number true; a
/// StartUpOperation is read as a whole number; a value that is not a number reads as its key's default, and
/// so does a MinPassMs outside 0 to kMaxMinPassMs.
AppOptions GetOptions(const Settings& settings);

/// The longest MinPassMs: a minute between passes.
inline constexpr std::int32_t kMaxMinPassMs = 60000;

/// Writes the options, in this order: AutoRun, RunAsService, ProjectFilePath, MinimizedAfterRun,
/// ConnectOnce, StartUpOperation, MinPassMs; Booleans as "0" and "1". All seven keys or none are written.
[[nodiscard]] tl::expected<void, std::string> SaveOptions(Settings& settings, const AppOptions& options,
                                                          bool runAsService = false);

/// The path of the project that was open last ("" for a new, unsaved project).
std::string ReadCurrentFilePath(const Settings& settings);

/// Notes the path of the project that is open ("" for a new, unsaved project).
[[nodiscard]] tl::expected<void, std::string> WriteCurrentFilePath(Settings& settings, std::string_view path);

/// The address the link server listens on; 127.0.0.1 when the key is missing or empty.
std::string ReadLinkAddress(const Settings& settings);

/// The port the link server listens on; 7410 when the key is missing or not a whole number 0 to 65535.
std::uint16_t ReadLinkPort(const Settings& settings);

/// The OPC UA server's endpoint: the address (127.0.0.1 when missing or empty) and port (4840, the port the
/// OPC Foundation registered for opc.tcp, when missing or not a whole number 0 to 65535; 0 turns the server off).
inline constexpr std::uint16_t kDefaultOpcUaPort = 4840;
std::string ReadOpcUaAddress(const Settings& settings);
std::uint16_t ReadOpcUaPort(const Settings& settings);

/// Who may use the OPC UA server without a user name, and whether it offers unsecured channels off this computer.
/// Each is left unset when the settings file does not say, so that the server chooses by where it listens.
struct OpcUaAccessSettings
{
    std::optional<bool> allowAnonymous; ///< OpcUaAllowAnonymous; unset: only while listening on loopback
    std::optional<Role> anonymousRole; ///< OpcUaAnonymousRole; unset: operator on loopback, else reader
    bool allowNone = false; ///< OpcUaAllowNone: SecurityPolicy None off loopback too
    bool autoAcceptCertificates = false; ///< OpcUaAutoAcceptCertificates: trust any client's certificate (test benches)
};

/// The OPC UA server's certificate store: OpcUaPkiFolder (relative paths beside the settings file), else the folder
/// pki beside the settings file.
std::filesystem::path OpcUaPkiFolder(const Settings& settings);

/// The OPC UA server's access settings, or why they cannot be used: an OpcUaAnonymousRole that is neither reader nor
/// operator.
tl::expected<OpcUaAccessSettings, std::string> ReadOpcUaAccess(const Settings& settings);

/// Who may talk to the link server besides programs on this computer, as the settings file says.
struct LinkAccessSettings
{
    std::vector<std::string> allowedOrigins; ///< web page origins, like "http://scada.example:8080"
    std::vector<std::string>
        allowedHosts; ///< host names the server may be reached by, besides IP addresses and localhost
    std::filesystem::path tokenFile; ///< empty: no access token; relative paths are beside the settings file
    std::filesystem::path certFile; ///< LinkCertFile, PEM; with keyFile, the server speaks TLS only
    std::filesystem::path keyFile; ///< LinkKeyFile, PEM
    bool requireToken = false; ///< LinkRequireToken: clients on this computer need a token too
    bool allowPlainHttp = false; ///< LinkAllowPlainHttp: serve other computers without TLS all the same
};

/// The blank-separated lists LinkAllowedOrigins and LinkAllowedHosts, the paths LinkTokenFile, LinkCertFile and
/// LinkKeyFile, and the Booleans LinkRequireToken and LinkAllowPlainHttp.
LinkAccessSettings ReadLinkAccess(const Settings& settings);

/// The shortest access token taken, in characters.
inline constexpr std::size_t kMinLinkTokenLength = 16;

/// The access token held in the first line of `file`: a file readable and writable by its owner only, the token
/// 16 or more visible ASCII characters without blanks. Or why the file cannot serve as one.
tl::expected<std::string, std::string> ReadLinkToken(const std::filesystem::path& file);
/// Where the audit trail goes and when its file is rotated.
struct AuditSettings
{
    std::filesystem::path file; ///< AuditFile (relative paths beside the settings file), else tavrel-audit.jsonl there
    std::uint64_t maxBytes = 10ULL * 1024 * 1024; ///< AuditMaxMB, 1 to 1024 (10 when missing or not such a number)
};

/// The audit trail's settings.
AuditSettings ReadAuditSettings(const Settings& settings);

/// How much history the program keeps of recorded items, and where else it writes it.
struct HistorySettings
{
    std::int32_t days = 30; ///< HistoryDays, 1 to 36,500 (30 when missing or not such a number)
    std::uint64_t maxBytes = 2048ULL * 1024 * 1024; ///< HistoryMaxMB, 1 to 16,777,216 (2,048 likewise)
    std::string postgres; ///< HistoryPostgres: a libpq connection string; empty for none
};

/// The history's settings.
HistorySettings ReadHistorySettings(const Settings& settings);

/// The MQTT bridge's keys as they are written; a MqttQos, MqttRepublishSeconds or MqttBufferMB that is not a whole
/// number reads as -1, so that the bridge refuses it instead of guessing.
MqttOptions ReadMqttOptions(const Settings& settings);

/// Writes the MQTT bridge's keys, all of them or none.
[[nodiscard]] tl::expected<void, std::string> SaveMqttOptions(Settings& settings, const MqttOptions& options);

} // namespace tavrel::common
