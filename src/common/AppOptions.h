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
    std::string Broker; ///< HOST:PORT; empty leaves the bridge off
    std::string TopicPrefix; ///< empty means tavrel/HOSTNAME
    std::string ClientId; ///< empty lets the client library choose one
    std::string User;
    std::string PasswordFile; ///< a file holding the password on its first line
    std::string CaFile; ///< TLS with this CA certificate when set
    std::int32_t Qos = 0; ///< 0 or 1
    std::string Payload = "plain"; ///< "plain" (the label text) or "json" (value, time, quality, PLC, units)
    std::int32_t RepublishSeconds = 0; ///< 0: off; else unchanged values are published again at that period
    std::int32_t BufferMB = 256; ///< the on-disk queue's size while the broker is away (json payloads)
    std::string BufferFile; ///< the queue's file: beside the settings file; no key of its own

    friend bool operator==(const MqttOptions&, const MqttOptions&) = default;
};

} // namespace tavrel::common
