#pragma once

#include "mqtt/BrokerState.h"
#include "mqtt/MqttMessage.h"

#include <cstddef>
#include <deque>
#include <string>

namespace tavrel::mqtt {

/// What an MqttConnection tells its owner, on the thread that made the connection and never after the connection
/// is destroyed (which the owner may do from within a call).
class MqttConnectionListener
{
public:
    virtual ~MqttConnectionListener() = default;
    /// Connecting, Connected (subscribed, and ready for Send), or Disconnected or Refused with a detail that says
    /// why and when the next attempt follows.
    virtual void ConnectionStateChanged(BrokerState state, const std::string& detail) = 0;
    /// Messages arrived on the subscriptions, in order; `dropped` more were dropped since the last call for want of
    /// room (MqttConnection::kMaxWaitingMessages).
    virtual void MessagesReceived(std::deque<MqttMessage> messages, std::size_t dropped) = 0;
    /// The broker took every message it was behind with (MqttConnection::Congested): what was not sent is due again.
    virtual void ConnectionCaughtUp() = 0;
};

} // namespace tavrel::mqtt
