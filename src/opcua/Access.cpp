#include "opcua/Access.h"

namespace tavrel::opcua {

tl::expected<AccessChoice, std::string> ChooseAccess(const common::OpcUaAccessSettings& settings, bool loopback,
                                                     bool hasCertificate, bool hasUsers)
{
    AccessChoice choice;
    choice.offerNone = loopback || settings.allowNone;
    choice.anonymous.allowed = settings.allowAnonymous.value_or(loopback);
    choice.anonymous.role = settings.anonymousRole.value_or(loopback ? common::Role::Operator : common::Role::Reader);
    if (settings.autoAcceptCertificates) {
        choice.warning = "warning: the OPC UA server trusts every client's certificate "
                         "(OpcUaAutoAcceptCertificates=1), as a test bench may";
    }
    if (loopback) {
        return choice;
    }
    if (!hasCertificate) {
        return tl::make_unexpected(std::string(
            "the OPC UA server has no certificate of its own, which other machines need to reach it securely"));
    }
    if (!hasUsers && !choice.anonymous.allowed) {
        return tl::make_unexpected(std::string(
            "nobody could log in to the OPC UA server from another machine: the users file holds no user (add one "
            "with tavrel --add-user NAME ROLE) and OpcUaAllowAnonymous is not set"));
    }
    if (choice.offerNone) {
        choice.warning += std::string(choice.warning.empty() ? "" : "; ")
            + "warning: the OPC UA server offers SecurityPolicy None to other machines (OpcUaAllowNone=1): "
              "values and writes travel unsigned and in clear";
    }
    if (choice.anonymous.allowed && choice.anonymous.role == common::Role::Operator) {
        choice.warning += std::string(choice.warning.empty() ? "" : "; ")
            + "warning: anyone who reaches the OPC UA server may write without a user name (OpcUaAllowAnonymous=1, "
              "OpcUaAnonymousRole=operator)";
    }
    return choice;
}

} // namespace tavrel::opcua
