#pragma once

#include "opcua/Codec.h"
#include "opcua/Types.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

// The service messages and the structures in them, field for field in wire order. Each message and each structure
// that travels in an ExtensionObject has kEncodingId, the number of its binary encoding's NodeId in namespace 0.
// Handlers fill a response's body and may set responseHeader.serviceResult; the dispatcher stamps the rest of
// the response header.

enum class MessageSecurityMode : std::int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };
enum class UserTokenType : std::int32_t { Anonymous = 0, UserName = 1, Certificate = 2, IssuedToken = 3 };
enum class ApplicationType : std::int32_t { Server = 0, Client = 1, ClientAndServer = 2, DiscoveryServer = 3 };
enum class SecurityTokenRequestType : std::int32_t { Issue = 0, Renew = 1 };
enum class BrowseDirection : std::int32_t { Forward = 0, Inverse = 1, Both = 2, Invalid = 3 };
enum class TimestampsToReturn : std::int32_t { Source = 0, Server = 1, Both = 2, Neither = 3, Invalid = 4 };
enum class MonitoringMode : std::int32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class DataChangeTrigger : std::int32_t { Status = 0, StatusValue = 1, StatusValueTimestamp = 2 };
enum class DeadbandType : std::uint32_t { None = 0, Absolute = 1, Percent = 2 };
enum class ServerState : std::int32_t {
    Running = 0,
    Failed = 1,
    NoConfiguration = 2,
    Suspended = 3,
    Shutdown = 4,
    Test = 5,
    CommunicationFault = 6,
    Unknown = 7
};
enum class FilterOperator : std::int32_t {
    Equals = 0,
    IsNull = 1,
    GreaterThan = 2,
    LessThan = 3,
    GreaterThanOrEqual = 4,
    LessThanOrEqual = 5,
    Like = 6,
    Not = 7,
    Between = 8,
    InList = 9,
    And = 10,
    Or = 11,
    Cast = 12,
    InView = 13,
    OfType = 14,
    RelatedTo = 15,
    BitwiseAnd = 16,
    BitwiseOr = 17
};

/// The bits of BrowseDescription::resultMask: which fields of each ReferenceDescription to fill.
namespace browse_result {
inline constexpr std::uint32_t kReferenceTypeId = 1, kIsForward = 2, kNodeClass = 4, kBrowseName = 8, kDisplayName = 16,
                               kTypeDefinition = 32, kAll = 63;
}

// ---- Headers ----

struct RequestHeader
{
    NodeId authenticationToken;
    DateTime timestamp;
    std::uint32_t requestHandle = 0;
    std::uint32_t returnDiagnostics = 0;
    std::string auditEntryId;
    std::uint32_t timeoutHint = 0; ///< milliseconds; 0: none
    ExtensionObject additionalHeader;
    TAVREL_OPCUA_FIELDS(authenticationToken, timestamp, requestHandle, returnDiagnostics, auditEntryId, timeoutHint,
                        additionalHeader)
};

struct ResponseHeader
{
    DateTime timestamp;
    std::uint32_t requestHandle = 0;
    StatusCode serviceResult;
    DiagnosticInfo serviceDiagnostics;
    std::vector<std::string> stringTable;
    ExtensionObject additionalHeader;
    TAVREL_OPCUA_FIELDS(timestamp, requestHandle, serviceResult, serviceDiagnostics, stringTable, additionalHeader)
};

/// The answer to a request that failed as a whole.
struct ServiceFault
{
    static constexpr std::uint32_t kEncodingId = 397;
    ResponseHeader responseHeader;
    TAVREL_OPCUA_FIELDS(responseHeader)
};

// ---- Discovery ----

struct ApplicationDescription
{
    static constexpr std::uint32_t kEncodingId = 310;
    std::string applicationUri;
    std::string productUri;
    LocalizedText applicationName;
    ApplicationType applicationType = ApplicationType::Server;
    std::string gatewayServerUri;
    std::string discoveryProfileUri;
    std::vector<std::string> discoveryUrls;
    TAVREL_OPCUA_FIELDS(applicationUri, productUri, applicationName, applicationType, gatewayServerUri,
                        discoveryProfileUri, discoveryUrls)
};

struct UserTokenPolicy
{
    static constexpr std::uint32_t kEncodingId = 306;
    std::string policyId;
    UserTokenType tokenType = UserTokenType::Anonymous;
    std::string issuedTokenType;
    std::string issuerEndpointUrl;
    std::string securityPolicyUri;
    TAVREL_OPCUA_FIELDS(policyId, tokenType, issuedTokenType, issuerEndpointUrl, securityPolicyUri)
};

struct EndpointDescription
{
    static constexpr std::uint32_t kEncodingId = 314;
    std::string endpointUrl;
    ApplicationDescription server;
    ByteString serverCertificate;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    std::string securityPolicyUri;
    std::vector<UserTokenPolicy> userIdentityTokens;
    std::string transportProfileUri;
    std::uint8_t securityLevel = 0;
    TAVREL_OPCUA_FIELDS(endpointUrl, server, serverCertificate, securityMode, securityPolicyUri, userIdentityTokens,
                        transportProfileUri, securityLevel)
};

struct FindServersRequest
{
    static constexpr std::uint32_t kEncodingId = 422;
    RequestHeader requestHeader;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> serverUris;
    TAVREL_OPCUA_FIELDS(requestHeader, endpointUrl, localeIds, serverUris)
};

struct FindServersResponse
{
    static constexpr std::uint32_t kEncodingId = 425;
    ResponseHeader responseHeader;
    std::vector<ApplicationDescription> servers;
    TAVREL_OPCUA_FIELDS(responseHeader, servers)
};

struct GetEndpointsRequest
{
    static constexpr std::uint32_t kEncodingId = 428;
    RequestHeader requestHeader;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> profileUris;
    TAVREL_OPCUA_FIELDS(requestHeader, endpointUrl, localeIds, profileUris)
};

struct GetEndpointsResponse
{
    static constexpr std::uint32_t kEncodingId = 431;
    ResponseHeader responseHeader;
    std::vector<EndpointDescription> endpoints;
    TAVREL_OPCUA_FIELDS(responseHeader, endpoints)
};

// ---- Secure channel ----

struct ChannelSecurityToken
{
    std::uint32_t channelId = 0;
    std::uint32_t tokenId = 0;
    DateTime createdAt;
    std::uint32_t revisedLifetime = 0; ///< milliseconds
    TAVREL_OPCUA_FIELDS(channelId, tokenId, createdAt, revisedLifetime)
};

struct OpenSecureChannelRequest
{
    static constexpr std::uint32_t kEncodingId = 446;
    RequestHeader requestHeader;
    std::uint32_t clientProtocolVersion = 0;
    SecurityTokenRequestType requestType = SecurityTokenRequestType::Issue;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    ByteString clientNonce;
    std::uint32_t requestedLifetime = 0; ///< milliseconds
    TAVREL_OPCUA_FIELDS(requestHeader, clientProtocolVersion, requestType, securityMode, clientNonce, requestedLifetime)
};

struct OpenSecureChannelResponse
{
    static constexpr std::uint32_t kEncodingId = 449;
    ResponseHeader responseHeader;
    std::uint32_t serverProtocolVersion = 0;
    ChannelSecurityToken securityToken;
    ByteString serverNonce;
    TAVREL_OPCUA_FIELDS(responseHeader, serverProtocolVersion, securityToken, serverNonce)
};

struct CloseSecureChannelRequest
{
    static constexpr std::uint32_t kEncodingId = 452;
    RequestHeader requestHeader;
    TAVREL_OPCUA_FIELDS(requestHeader)
};

// ---- Sessions ----

struct SignedSoftwareCertificate
{
    ByteString certificateData;
    ByteString signature;
    TAVREL_OPCUA_FIELDS(certificateData, signature)
};

struct SignatureData
{
    std::string algorithm;
    ByteString signature;
    TAVREL_OPCUA_FIELDS(algorithm, signature)
};

struct CreateSessionRequest
{
    static constexpr std::uint32_t kEncodingId = 461;
    RequestHeader requestHeader;
    ApplicationDescription clientDescription;
    std::string serverUri;
    std::string endpointUrl;
    std::string sessionName;
    ByteString clientNonce;
    ByteString clientCertificate;
    double requestedSessionTimeout = 0; ///< milliseconds
    std::uint32_t maxResponseMessageSize = 0; ///< 0: no limit
    TAVREL_OPCUA_FIELDS(requestHeader, clientDescription, serverUri, endpointUrl, sessionName, clientNonce,
                        clientCertificate, requestedSessionTimeout, maxResponseMessageSize)
};

struct CreateSessionResponse
{
    static constexpr std::uint32_t kEncodingId = 464;
    ResponseHeader responseHeader;
    NodeId sessionId;
    NodeId authenticationToken;
    double revisedSessionTimeout = 0;
    ByteString serverNonce;
    ByteString serverCertificate;
    std::vector<EndpointDescription> serverEndpoints;
    std::vector<SignedSoftwareCertificate> serverSoftwareCertificates;
    SignatureData serverSignature;
    std::uint32_t maxRequestMessageSize = 0;
    TAVREL_OPCUA_FIELDS(responseHeader, sessionId, authenticationToken, revisedSessionTimeout, serverNonce,
                        serverCertificate, serverEndpoints, serverSoftwareCertificates, serverSignature,
                        maxRequestMessageSize)
};

struct AnonymousIdentityToken
{
    static constexpr std::uint32_t kEncodingId = 321;
    std::string policyId;
    TAVREL_OPCUA_FIELDS(policyId)
};

struct UserNameIdentityToken
{
    static constexpr std::uint32_t kEncodingId = 324;
    std::string policyId;
    std::string userName;
    ByteString password;
    std::string encryptionAlgorithm;
    TAVREL_OPCUA_FIELDS(policyId, userName, password, encryptionAlgorithm)
};

struct ActivateSessionRequest
{
    static constexpr std::uint32_t kEncodingId = 467;
    RequestHeader requestHeader;
    SignatureData clientSignature;
    std::vector<SignedSoftwareCertificate> clientSoftwareCertificates;
    std::vector<std::string> localeIds;
    ExtensionObject userIdentityToken;
    SignatureData userTokenSignature;
    TAVREL_OPCUA_FIELDS(requestHeader, clientSignature, clientSoftwareCertificates, localeIds, userIdentityToken,
                        userTokenSignature)
};

struct ActivateSessionResponse
{
    static constexpr std::uint32_t kEncodingId = 470;
    ResponseHeader responseHeader;
    ByteString serverNonce;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
    TAVREL_OPCUA_FIELDS(responseHeader, serverNonce, results, diagnosticInfos)
};

struct CloseSessionRequest
{
    static constexpr std::uint32_t kEncodingId = 473;
    RequestHeader requestHeader;
    bool deleteSubscriptions = true;
    TAVREL_OPCUA_FIELDS(requestHeader, deleteSubscriptions)
};

struct CloseSessionResponse
{
    static constexpr std::uint32_t kEncodingId = 476;
    ResponseHeader responseHeader;
    TAVREL_OPCUA_FIELDS(responseHeader)
};

// ---- Values passed in ExtensionObjects and Variants ----

struct BuildInfo
{
    static constexpr std::uint32_t kEncodingId = 340;
    std::string productUri;
    std::string manufacturerName;
    std::string productName;
    std::string softwareVersion;
    std::string buildNumber;
    DateTime buildDate;
    TAVREL_OPCUA_FIELDS(productUri, manufacturerName, productName, softwareVersion, buildNumber, buildDate)
};

struct ServerStatusDataType
{
    static constexpr std::uint32_t kEncodingId = 864;
    DateTime startTime;
    DateTime currentTime;
    ServerState state = ServerState::Running;
    BuildInfo buildInfo;
    std::uint32_t secondsTillShutdown = 0;
    LocalizedText shutdownReason;
    TAVREL_OPCUA_FIELDS(startTime, currentTime, state, buildInfo, secondsTillShutdown, shutdownReason)
};

/// A method's argument, as its InputArguments/OutputArguments properties list them.
struct Argument
{
    static constexpr std::uint32_t kEncodingId = 298;
    std::string name;
    NodeId dataType;
    std::int32_t valueRank = -1;
    std::vector<std::uint32_t> arrayDimensions;
    LocalizedText description;
    TAVREL_OPCUA_FIELDS(name, dataType, valueRank, arrayDimensions, description)
};

struct EUInformation
{
    static constexpr std::uint32_t kEncodingId = 889;
    std::string namespaceUri;
    std::int32_t unitId = -1; ///< -1: no UNECE code
    LocalizedText displayName;
    LocalizedText description;
    TAVREL_OPCUA_FIELDS(namespaceUri, unitId, displayName, description)
};

struct Range
{
    static constexpr std::uint32_t kEncodingId = 886;
    double low = 0;
    double high = 0;
    TAVREL_OPCUA_FIELDS(low, high)
};

/// One entry of a GeneralModelChangeEvent's Changes field.
struct ModelChangeStructureDataType
{
    static constexpr std::uint32_t kEncodingId = 879;
    static constexpr std::uint8_t kNodeAdded = 1, kNodeDeleted = 2, kReferenceAdded = 4, kReferenceDeleted = 8,
                                  kDataTypeChanged = 16;
    NodeId affected;
    NodeId affectedType;
    std::uint8_t verb = 0;
    TAVREL_OPCUA_FIELDS(affected, affectedType, verb)
};

// ---- Encoding messages and structures ----

/// `value` as an ExtensionObject in its binary encoding.
template<class T> ExtensionObject ToExtensionObject(const T& value)
{
    ExtensionObject object;
    object.typeId = NodeId(0, T::kEncodingId);
    object.encoding = ExtensionObject::Encoding::Binary;
    std::vector<std::uint8_t> bytes;
    Encoder encoder(bytes);
    Encode(encoder, value);
    object.body.assign(bytes.begin(), bytes.end());
    return object;
}

/// The structure in `object` when it holds a T in binary, decoded whole; none otherwise.
template<class T> std::optional<T> FromExtensionObject(const ExtensionObject& object, DecodeLimits limits = {})
{
    if (object.encoding != ExtensionObject::Encoding::Binary || object.typeId != NodeId(0, T::kEncodingId)) {
        return std::nullopt;
    }
    Decoder decoder({ reinterpret_cast<const std::uint8_t*>(object.body.data()), object.body.size() }, limits);
    T value;
    Decode(decoder, value);
    if (!decoder.Ok() || decoder.Remaining() != 0) {
        return std::nullopt;
    }
    return value;
}

/// A message as it travels in a chunk's body: its encoding NodeId, then its fields.
template<class T> void EncodeMessage(Encoder& e, const T& message)
{
    Encode(e, NodeId(0, T::kEncodingId));
    Encode(e, message);
}

/// A decoding fault: the status code to answer with and what was wrong.
struct DecodeError
{
    std::uint32_t status = status::kBadDecodingError;
    std::string reason;
};

/// Decodes a whole body holding a T (its NodeId first); trailing bytes are a fault.
template<class T>
tl::expected<T, DecodeError> DecodeMessage(std::span<const std::uint8_t> body, DecodeLimits limits = {})
{
    Decoder decoder(body, limits);
    NodeId type;
    Decode(decoder, type);
    if (decoder.Ok() && type != NodeId(0, T::kEncodingId)) {
        return tl::unexpected(
            DecodeError { status::kBadDecodingError,
                          "expected message i=" + std::to_string(T::kEncodingId) + ", got " + type.ToString() });
    }
    T message;
    Decode(decoder, message);
    if (decoder.Ok() && decoder.Remaining() != 0) {
        decoder.Fail(status::kBadDecodingError, std::to_string(decoder.Remaining()) + " bytes after the message");
    }
    if (!decoder.Ok()) {
        return tl::unexpected(DecodeError { decoder.Status(), decoder.Reason() });
    }
    return message;
}

} // namespace tavrel::opcua

#include "opcua/MessagesServices.h"
