#pragma once

#include <optional>
#include <string_view>

namespace tavrel::common {

/// What a client may do: a reader reads, browses, subscribes and reads history; an operator also pokes, writes and
/// executes commands.
enum class Role { Reader, Operator };

/// "reader" or "operator".
constexpr std::string_view RoleName(Role role)
{
    return role == Role::Operator ? "operator" : "reader";
}

/// The role of "reader" or "operator" (lower case, as the users file and the commands write them).
constexpr std::optional<Role> ParseRole(std::string_view text)
{
    if (text == "reader") {
        return Role::Reader;
    }
    if (text == "operator") {
        return Role::Operator;
    }
    return std::nullopt;
}

} // namespace tavrel::common
