#include "mqtt/MqttConfig.h"

#include "common/Files.h"

#include <QString>
#include <QSysInfo>

#include <mosquitto.h>

#include <cstring>
#include <filesystem>

namespace tavrel::mqtt {

namespace {

constexpr std::size_t kMaxPasswordBytes = 65535; // the MQTT string limit
constexpr int kMaxRepublishSeconds = 86400; // a heartbeat less often than daily is none
constexpr int kMaxBufferMB = 1'000'000;

bool IsValidPublishTopic(const std::string& topic)
{
    return mosquitto_pub_topic_check2(topic.c_str(), topic.size()) == MOSQ_ERR_SUCCESS
        && mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) == MOSQ_ERR_SUCCESS;
}

tl::expected<std::string, std::string> ReadPassword(const std::filesystem::path& path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error) {
        return tl::make_unexpected("cannot read the MQTT password file " + path.string() + ": " + error.message());
    }
    using std::filesystem::perms;
    if ((status.permissions() & (perms::group_all | perms::others_all)) != perms::none) {
        return tl::make_unexpected("the MQTT password file " + path.string()
                                   + " may be read by others; allow its owner alone (chmod 600)");
    }
    auto content = common::ReadWholeFile(path);
    if (!content) {
        return tl::make_unexpected("cannot read the MQTT password file " + path.string() + ": "
                                   + std::strerror(content.error()));
    }
    std::string password = content->substr(0, content->find_first_of("\r\n"));
    if (password.empty()) {
        return tl::make_unexpected("the MQTT password file " + path.string() + " holds no password on its first line");
    }
    if (password.size() > kMaxPasswordBytes) {
        return tl::make_unexpected("the password in " + path.string() + " is longer than MQTT allows");
    }
    return password;
}

} // namespace

std::string MqttConfig::BrokerText() const
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

tl::expected<std::pair<std::string, std::uint16_t>, std::string> ParseBrokerAddress(std::string_view text)
{
    const auto refuse = [&] {
        return tl::make_unexpected("the MQTT broker is given as HOST:PORT, for example 127.0.0.1:1883, not '"
                                   + std::string(text) + "'");
    };
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return refuse();
    }
    std::string_view host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return refuse();
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        return refuse(); // an IPv6 address needs its brackets
    }
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    if (portText.empty() || portText.size() > 5) {
        return refuse();
    }
    for (const char c : portText) {
        if (c < '0' || c > '9') {
            return refuse();
        }
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port < 1 || port > 65535 || host.find_first_of(" \t/") != std::string_view::npos) {
        return refuse();
    }
    return std::pair { std::string(host), static_cast<std::uint16_t>(port) };
}

std::string DefaultTopicPrefix()
{
    std::string host = QSysInfo::machineHostName().toStdString();
    std::erase_if(host,
                  [](char c) { return c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20; });
    return "tavrel/" + (host.empty() ? std::string("localhost") : host);
}

tl::expected<MqttConfig, std::string> MakeMqttConfig(const common::MqttOptions& options)
{
    MqttConfig config;
    auto broker = ParseBrokerAddress(options.Broker);
    if (!broker) {
        return tl::make_unexpected(broker.error());
    }
    std::tie(config.host, config.port) = *broker;

    config.prefix = options.TopicPrefix.empty() ? DefaultTopicPrefix() : options.TopicPrefix;
    while (!config.prefix.empty() && config.prefix.back() == '/') {
        config.prefix.pop_back();
    }
    if (config.prefix.empty() || !IsValidPublishTopic(config.prefix) || config.prefix.front() == '$') {
        return tl::make_unexpected("the MQTT topic prefix '" + options.TopicPrefix
                                   + "' is no topic to publish under (no '+', '#', or leading '$')");
    }

    if (options.ClientId.size() > 65535
        || mosquitto_validate_utf8(options.ClientId.c_str(), static_cast<int>(options.ClientId.size()))
            != MOSQ_ERR_SUCCESS) {
        return tl::make_unexpected("the MQTT client ID is not valid UTF-8 text of at most 65535 bytes");
    }
    config.clientId = options.ClientId;

    if (options.Qos != 0 && options.Qos != 1) {
        return tl::make_unexpected("MqttQos must be 0 or 1");
    }
    config.qos = options.Qos;

    auto payload = ParsePayloadFormat(options.Payload);
    if (!payload) {
        return tl::make_unexpected(payload.error());
    }
    config.payload = *payload;
    if (options.RepublishSeconds < 0 || options.RepublishSeconds > kMaxRepublishSeconds) {
        return tl::make_unexpected("MqttRepublishSeconds is a whole number of seconds from 0 (off) to "
                                   + std::to_string(kMaxRepublishSeconds));
    }
    config.republishSeconds = options.RepublishSeconds;
    if (options.BufferMB < 1 || options.BufferMB > kMaxBufferMB) {
        return tl::make_unexpected("MqttBufferMB is a whole number of megabytes from 1 to "
                                   + std::to_string(kMaxBufferMB));
    }
    config.bufferBytes = static_cast<std::uint64_t>(options.BufferMB) << 20;
    config.bufferFile = options.BufferFile;

    config.user = options.User;
    if (!options.PasswordFile.empty()) {
        if (options.User.empty()) {
            return tl::make_unexpected("an MQTT password file needs an MQTT user");
        }
        auto password = ReadPassword(options.PasswordFile);
        if (!password) {
            return tl::make_unexpected(password.error());
        }
        config.password = std::move(*password);
    }

    if (!options.CaFile.empty()) {
        if (auto ca = common::ReadWholeFile(options.CaFile); !ca) {
            return tl::make_unexpected("cannot read the MQTT CA file " + options.CaFile + ": "
                                       + std::strerror(ca.error()));
        }
        config.caFile = options.CaFile;
    }
    return config;
}

} // namespace tavrel::mqtt
