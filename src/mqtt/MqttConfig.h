#pragma once

#include "common/AppOptions.h"
#include "mqtt/MqttPayload.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include <tl/expected.hpp>

namespace tavrel::mqtt {

/// Everything the bridge needs to reach a broker, checked.
struct MqttConfig
{
    std::string host;
    std::uint16_t port = 1883;
    std::string prefix; ///< topic prefix without a trailing "/"
    std::string clientId; ///< empty: the client library makes one up
    std::string user;
    std::string password; ///< never shown, never logged
    std::string caFile; ///< TLS when set
    int qos = 0;
    PayloadFormat payload = PayloadFormat::Plain;
    int republishSeconds = 0; ///< 0: off
    std::uint64_t bufferBytes = 256ULL << 20; ///< the queue kept while the broker is away (json payloads)
    std::filesystem::path bufferFile; ///< empty: no queue

    /// "HOST:PORT", for state lines.
    std::string BrokerText() const;
};

/// "HOST:PORT" (an IPv6 host in brackets) as host and port; port 1 to 65535.
tl::expected<std::pair<std::string, std::uint16_t>, std::string> ParseBrokerAddress(std::string_view text);

/// The default topic prefix: "tavrel/" and this machine's host name.
std::string DefaultTopicPrefix();

/// The settings checked and completed: the broker address parsed, the default prefix filled in, the password
/// read from its file (which only its owner may read), the CA file found. Says what is wrong otherwise.
tl::expected<MqttConfig, std::string> MakeMqttConfig(const common::MqttOptions& options);

} // namespace tavrel::mqtt
