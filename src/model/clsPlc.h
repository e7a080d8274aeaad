#pragma once

#include "common/BinaryMix.h"
#include "model/Clsitem.h"
#include "model/LabelArray.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::comm {
class CommDriver;
}

namespace tavrel::model {

/// The scan interval a new PLC starts with, in milliseconds: polled ten times a second rather than flat out.
inline constexpr std::int32_t kNewPlcScanMs = 100;
/// The longest scan interval a PLC may have, in milliseconds (an hour).
inline constexpr std::int32_t kMaxScanMs = 3600000;

/// The connection type of a PLC, stored as its number. A project file may hold any other number, which
/// the PLC keeps and stores back as it was, and which opens no channel.
enum class PathWay : std::int32_t { Serial = 1, TcpIp = 2 };

/// The communication parameters of one PLC, as one row of the project's CommParams table.
struct CommParams
{
    model::PathWay PathWay = model::PathWay::Serial; ///< the connection type
    std::int32_t UnitId = 0; ///< 0 "Direct", else the unit on its bus; handed to the driver as one byte
    // The serial settings block, in the order the driver takes it.
    std::int32_t SerialBaudRate = 57600;
    std::int32_t DataBits = 8;
    std::int32_t Parity = 0; ///< 0 none, 1 odd, 2 even
    std::int32_t StopBits = 1;
    std::int32_t TimeOut = 6000; ///< reply time-out in milliseconds
    std::int16_t NumRetries = 3;
    std::int16_t SerialComPort = 1;
    std::string EthRemoteIP; ///< dotted IPv4 address or host name
    std::int32_t EthRemotePort = 0;
    std::int32_t EthMode = 0; ///< handed to the driver first on TCP/IP; not stored
    std::int32_t PlcType = 0; ///< PLC family code
    /// Exchanged at most once per this many milliseconds (0 to kMaxScanMs); nothing: in every pass.
    std::optional<std::int32_t> ScanMs = std::nullopt;

    friend bool operator==(const CommParams&, const CommParams&) = default;
};

/// One PLC of a project: its name, key, parameters, items, connection state and driver.
class clsPlc
{
public:
    explicit clsPlc(LabelArray& labels)
        : m_labels(&labels)
    {
    }
    clsPlc(const clsPlc&) = delete;
    clsPlc& operator=(const clsPlc&) = delete;

    /// Seconds of the monotonic clock at which the PLC was last marked not connected.
    std::int64_t ConnectedTimeOutTimer = 0;
    bool Connected = true;
    /// A read of the current run has succeeded: until then the labels hold nothing this run has read.
    bool Answered = false;
    std::int32_t Key = 0;
    std::string Name;
    /// Why the last exchange with the PLC failed, in words for the user (empty while all is well).
    std::string LastError;
    /// How long the PLC's last read and write exchange took, in milliseconds.
    double ExchangeMilliseconds = 0;
    /// Whether the PLC's program runs, as the last good read of this run found it; nothing when unknown (its family
    /// cannot say, no good read yet, or the PLC is not connected).
    std::optional<bool> PlcRunning;
    /// Milliseconds of the monotonic clock from which the PLC is due for its next exchange under ScanMs; nothing:
    /// due now.
    std::optional<std::int64_t> ScanDueMs;

    /// The items in insertion order; each item's key is unique within the PLC.
    const std::vector<std::unique_ptr<Clsitem>>& colItems() const { return m_items; }

    /// The item of a key, or null.
    Clsitem* FindItem(std::int32_t pItemKey) const;

    /// Unloads the item's labels and removes it; fails for a key that is not present.
    [[nodiscard]] tl::expected<void, std::string> RemoveItem(std::int32_t pItemKey);

    /// "COM 1 ; 57600" for serial, "TCP/IP ; host ; port" for TCP/IP, empty otherwise.
    std::string GetCommParamsAsString() const;

    /// Creates one item of `pNumItems` operands (a vector when more than one) with labels from
    /// `pStartLabelIndex` on, or from the next free index when it is -1 (the allocated index is
    /// returned through it), carrying `pDetails` (a vector's elements copies, named NAME[k]). Refuses fewer than
    /// one operand, or operands past the largest address, before loading any label; when a label cannot be loaded,
    /// unloads the ones it loaded and fails with the label array's error.
    [[nodiscard]] tl::expected<void, std::string> AddItems(std::int32_t pNumItems, std::int32_t pStartAddress,
                                                           std::int32_t pOperandType, std::int32_t pIoDirection,
                                                           bool pIsEnable, std::int32_t& pStartLabelIndex,
                                                           const ItemDetails& pDetails = {});

    /// A copy of the communication parameters.
    CommParams GetCommParams() const { return m_commParams; }
    /// Replaces the communication parameters.
    void SetCommParams(const CommParams& params) { m_commParams = params; }
    const CommParams& Params() const { return m_commParams; }

    /// The batched-read request list; entries pair with the readable items by order.
    std::vector<common::BinaryMixEntry> BinaryMix { common::BinaryMixEntry {} };
    std::int32_t BinaryMixCount = 0;

    /// The driver object of this PLC, or none. Shared ownership lets the model hold a driver whose class
    /// it does not know; only the PLC holds it.
    std::shared_ptr<comm::CommDriver>& Driver() { return m_driver; }

    LabelArray& Labels() const { return *m_labels; }

private:
    std::int32_t GetNextItemKey() const;
    std::int32_t GetNextLabelIndex() const;

    LabelArray* m_labels;
    CommParams m_commParams;
    std::vector<std::unique_ptr<Clsitem>> m_items;
    std::shared_ptr<comm::CommDriver> m_driver;
};

} // namespace tavrel::model
