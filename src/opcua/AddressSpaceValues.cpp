// The values of the address space's variables: items' samples as DataValues of their kinds, the run state, the
// PLCs' diagnostics and the Server object's status and limits.

#include "opcua/AddressSpace.h"

#include "opcua/StandardNodes.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavrel::opcua {

namespace {

namespace id = standard::id;

// The profile this server offers: Micro Embedded Device Server 2017 (with Write, Call and the deadband filter).
constexpr const char* kServerProfile = "http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice2017";
constexpr const char* kStandardNamespace = "http://opcfoundation.org/UA/";

template<class T> T Clamped(double number)
{
    if (std::isnan(number)) {
        return T {};
    }
    const double rounded = std::is_floating_point_v<T> ? number : std::round(number);
    const double low = static_cast<double>(std::numeric_limits<T>::lowest());
    const double high = static_cast<double>(std::numeric_limits<T>::max());
    if (rounded <= low) {
        return std::numeric_limits<T>::lowest();
    }
    if (rounded >= high) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(rounded);
}

Variant StringArray(std::vector<std::string> texts)
{
    std::vector<Scalar> elements(texts.begin(), texts.end());
    return Variant::Array(BuiltinType::String, std::move(elements));
}

} // namespace

std::uint32_t StatusOf(ValueQuality quality)
{
    switch (quality) {
    case ValueQuality::Good:
        return status::kGood;
    case ValueQuality::Waiting:
        return status::kBadWaitingForInitialData;
    case ValueQuality::Stale:
        return status::kUncertainLastUsableValue;
    case ValueQuality::Bad:
        return status::kBadConfigurationError;
    case ValueQuality::OutOfService:
        return status::kBadOutOfService;
    }
    return status::kBadInternalError;
}

std::uint32_t DataTypeOf(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Boolean:
        return id::Boolean;
    case ValueKind::Int16:
        return id::Int16;
    case ValueKind::UInt16:
        return id::UInt16;
    case ValueKind::Int32:
        return id::Int32;
    case ValueKind::UInt32:
        return id::UInt32;
    case ValueKind::Int64:
        return id::Int64;
    case ValueKind::UInt64:
        return id::UInt64;
    case ValueKind::Float:
        return id::Float;
    case ValueKind::Double:
        return id::Double;
    case ValueKind::String:
        return id::String;
    }
    return id::BaseDataType;
}

DataValue ItemDataValue(ValueKind kind, const ItemSample& sample)
{
    DataValue value;
    if (kind == ValueKind::String) {
        value.value = Variant(Scalar(sample.text));
    } else if (sample.number) {
        const double n = *sample.number;
        switch (kind) {
        case ValueKind::Boolean:
            value.value = Variant(Scalar(n != 0));
            break;
        case ValueKind::Int16:
            value.value = Variant(Scalar(Clamped<std::int16_t>(n)));
            break;
        case ValueKind::UInt16:
            value.value = Variant(Scalar(Clamped<std::uint16_t>(n)));
            break;
        case ValueKind::Int32:
            value.value = Variant(Scalar(Clamped<std::int32_t>(n)));
            break;
        case ValueKind::UInt32:
            value.value = Variant(Scalar(Clamped<std::uint32_t>(n)));
            break;
        case ValueKind::Int64:
            value.value = Variant(Scalar(Clamped<std::int64_t>(n)));
            break;
        case ValueKind::UInt64:
            value.value = Variant(Scalar(Clamped<std::uint64_t>(n)));
            break;
        case ValueKind::Float:
            value.value = Variant(Scalar(static_cast<float>(n)));
            break;
        case ValueKind::Double:
        case ValueKind::String:
            value.value = Variant(Scalar(n));
            break;
        }
    }
    const std::uint32_t code = StatusOf(sample.quality);
    if (code != status::kGood) {
        value.status = StatusCode { code };
    }
    if (sample.sourceTimeMs != 0) {
        value.sourceTimestamp = DateTime::FromUnixMs(sample.sourceTimeMs);
    }
    return value;
}

DataValue AddressSpace::VariableValue(const Node& node, std::int64_t nowMs) const
{
    DataValue value;
    switch (node.source) {
    case ValueSource::None:
        value.value = Variant();
        break;
    case ValueSource::Fixed:
        value.value = node.fixedValue;
        break;
    case ValueSource::Item: {
        const DataValue* item = ItemValue(node.label);
        if (item != nullptr) {
            return *item;
        }
        value.status = StatusCode { status::kBadNodeIdUnknown };
        break;
    }
    case ValueSource::Run:
        switch (static_cast<RunField>(node.field)) {
        case RunField::Running:
            value.value = Variant(Scalar(m_run.running));
            break;
        case RunField::PassCount:
            value.value = Variant(Scalar(m_run.passCount));
            break;
        case RunField::PassMs:
            value.value = Variant(Scalar(m_run.passMs));
            break;
        }
        break;
    case ValueSource::Plc: {
        const auto it = m_plcs.find(node.plc);
        if (it == m_plcs.end()) {
            value.status = StatusCode { status::kBadNodeIdUnknown };
            break;
        }
        const PlcNode& plc = it->second;
        switch (static_cast<PlcField>(node.field)) {
        case PlcField::Connected:
            value.value = Variant(Scalar(plc.connected));
            break;
        case PlcField::Answered:
            value.value = Variant(Scalar(plc.answered));
            break;
        case PlcField::LastError:
            value.value = Variant(Scalar(plc.lastError));
            break;
        case PlcField::Errors:
            value.value = Variant(Scalar(plc.errors));
            break;
        case PlcField::PassMs:
            value.value = Variant(Scalar(plc.passMs));
            break;
        }
        break;
    }
    case ValueSource::Server:
        value.value = ServerValue(node.id.StandardNumber(), nowMs);
        break;
    }
    return value;
}

Variant AddressSpace::ServerValue(std::uint32_t number, std::int64_t nowMs) const
{
    const ServerLimits& limits = m_config.limits;
    const auto count = [](std::size_t n) {
        return Variant(Scalar(static_cast<std::uint32_t>(std::min<std::size_t>(n, 0xFFFFFFFFU))));
    };
    BuildInfo build { m_config.productUri,      "Tavrel",
                      m_config.applicationName, m_config.softwareVersion,
                      m_config.buildNumber,     DateTime::FromUnixMs(m_startMs) };
    switch (number) {
    case id::ServerArray:
        return StringArray({ m_config.applicationUri });
    case id::NamespaceArray:
        return StringArray({ kStandardNamespace, m_config.applicationUri });
    case id::ServerStatus:
        return Variant(Scalar(ToExtensionObject(ServerStatusDataType {
            DateTime::FromUnixMs(m_startMs), DateTime::FromUnixMs(nowMs), ServerState::Running, build, 0, {} })));
    case id::ServerStatusStartTime:
        return Variant(Scalar(DateTime::FromUnixMs(m_startMs)));
    case id::ServerStatusCurrentTime:
        return Variant(Scalar(DateTime::FromUnixMs(nowMs)));
    case id::ServerStatusState:
        return Variant(Scalar(static_cast<std::int32_t>(ServerState::Running)));
    case id::ServerStatusBuildInfo:
        return Variant(Scalar(ToExtensionObject(build)));
    case id::BuildInfoProductName:
        return Variant(Scalar(build.productName));
    case id::BuildInfoProductUri:
        return Variant(Scalar(build.productUri));
    case id::BuildInfoManufacturerName:
        return Variant(Scalar(build.manufacturerName));
    case id::BuildInfoSoftwareVersion:
        return Variant(Scalar(build.softwareVersion));
    case id::BuildInfoBuildNumber:
        return Variant(Scalar(build.buildNumber));
    case id::BuildInfoBuildDate:
        return Variant(Scalar(build.buildDate));
    case id::ServerStatusSecondsTillShutdown:
        return Variant(Scalar(std::uint32_t { 0 }));
    case id::ServerStatusShutdownReason:
        return Variant(Scalar(LocalizedText {}));
    case id::ServiceLevel:
        return Variant(Scalar(std::uint8_t { 255 })); // the best service this server can give
    case id::Auditing:
        return Variant(Scalar(false));
    case id::ServerProfileArray:
        return StringArray({ kServerProfile });
    case id::LocaleIdArray:
        return StringArray({ "en" });
    case id::MinSupportedSampleRate:
        return Variant(Scalar(limits.minSamplingIntervalMs));
    case id::MaxBrowseContinuationPoints:
        return Variant(
            Scalar(static_cast<std::uint16_t>(std::min<std::size_t>(limits.maxBrowseContinuationPoints, 0xFFFF))));
    case id::MaxQueryContinuationPoints:
    case id::MaxHistoryContinuationPoints:
        return Variant(Scalar(std::uint16_t { 0 }));
    case id::MaxArrayLength:
        return count(limits.maxArrayLength);
    case id::MaxStringLength:
    case id::MaxByteStringLength:
        return count(limits.maxStringLength);
    case id::MaxNodesPerRead:
        return count(limits.maxNodesPerRead);
    case id::MaxNodesPerWrite:
        return count(limits.maxNodesPerWrite);
    case id::MaxNodesPerMethodCall:
        return count(limits.maxNodesPerMethodCall);
    case id::MaxNodesPerBrowse:
        return count(limits.maxNodesPerBrowse);
    case id::MaxNodesPerRegisterNodes:
        return count(limits.maxNodesPerRegisterNodes);
    case id::MaxNodesPerTranslateBrowsePathsToNodeIds:
        return count(limits.maxNodesPerTranslateBrowsePaths);
    case id::MaxMonitoredItemsPerCall:
        return count(limits.maxMonitoredItemsPerCall);
    case id::MaxSessions:
        return count(limits.maxSessions);
    case id::MaxSubscriptions:
        return count(limits.maxSessions * limits.maxSubscriptionsPerSession);
    case id::MaxSubscriptionsPerSession:
        return count(limits.maxSubscriptionsPerSession);
    case id::MaxMonitoredItems:
    case id::MaxMonitoredItemsPerSubscription:
        return count(limits.maxMonitoredItems);
    case id::MaxMonitoredItemsQueueSize:
        return count(limits.maxQueueSize);
    case id::RedundancySupport:
        return Variant(Scalar(std::int32_t { 0 })); // None
    default: // the history and node management limits, and the filter clause limits: none offered
        return count(0);
    }
}

} // namespace tavrel::opcua
