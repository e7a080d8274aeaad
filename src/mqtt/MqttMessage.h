#pragma once

#include <string>

namespace tavrel::mqtt {

/// One MQTT message as the bridge and its connection pass it: a whole topic, a payload, and whether it is retained.
struct MqttMessage
{
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string plc; ///< the PLC whose item the message tells of; empty for any other message
};

} // namespace tavrel::mqtt
