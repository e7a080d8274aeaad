#pragma once

#include <cstdint>
#include <string>

namespace tavrel::common {

/// The program-wide settings, filled from the settings file at start-up and after the Options dialog.
struct AppOptions
{
    std::int32_t StartUpOperation = 0; ///< 0 new project, 1 the project at ProjectFilePath, 2 the last project
    std::string ProjectFilePath;
    bool AutoRun = false;
    bool MinimizedAfterRun = false;
    bool ConnectOnce = true; ///< open each PLC's channel once per run instead of around every exchange
    /// Milliseconds from the start of one refresh pass to the start of the next; 0 lets passes follow at once.
    std::int32_t MinPassMs = 0;

    friend bool operator==(const AppOptions&, const AppOptions&) = default;
};

/// The MQTT bridge's settings, as the settings file holds them.
struct MqttOptions
{
    std::string Broker;       ///< HOST:PORT; empty leaves the bridge off
    std::string TopicPrefix;  ///< empty means tavrel/HOSTNAME
    std::string ClientId;     ///< empty lets the client library choose one
    std::string User;
    std::string PasswordFile; ///< a file holding the password on its first line
    std::string CaFile;       ///< TLS with this CA certificate when set
    std::int32_t Qos = 0;     ///< 0 or 1

    friend bool operator==(const MqttOptions&, const MqttOptions&) = default;
};

} // namespace tavrel::common
