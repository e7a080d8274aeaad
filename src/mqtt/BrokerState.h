#pragma once

namespace tavrel::mqtt {

/// Where the bridge stands with its broker.
enum class BrokerState {
    Off, ///< no broker set
    Connecting, ///< an attempt is under way
    Connected, ///< the broker took the login; items are published
    Disconnected, ///< lost or never reached; the next attempt follows after a delay
    Refused ///< the broker refused the login; tried again after a delay
};

} // namespace tavrel::mqtt
