#pragma once

// A small project for the address space tests: two PLCs and items of several kinds, and a backend that records
// what reaches it and answers with a refusal the test chooses.

#include "opcua/AddressSpace.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrel::opcua::testing {

inline ServerConfig TestConfig()
{
    ServerConfig config;
    config.applicationUri = "urn:test:Tavrel";
    config.productUri = "urn:tavrel";
    config.softwareVersion = "1.2";
    config.limits.maxReferencesPerNode = 1000;
    return config;
}

inline PlcNode Plc(std::string name)
{
    PlcNode plc;
    plc.name = std::move(name);
    return plc;
}

inline std::vector<PlcNode> TestPlcs()
{
    return { Plc("Line_1"), Plc("Line_2") };
}

inline std::vector<ItemNode> TestItems()
{
    return {
        { 1, "Line_1", "MI 100", "Read/Write", ValueKind::Int16, true, "" },
        { 2, "Line_1", "MF 3", "Read", ValueKind::Float, false, "V" },
        { 3, "Line_2", "O 7", "Read/Write", ValueKind::Boolean, true, "" },
        { 4, "Line_2", "Input register 3000", "Read", ValueKind::String, false, "" },
    };
}

class RecordingBackend : public Backend
{
public:
    std::optional<common::Refusal> Write(const Client&, std::int32_t index, const std::string& text) override
    {
        writes.push_back(std::to_string(index) + "=" + text);
        return refusal;
    }
    std::optional<common::Refusal> Execute(const Client&, const std::string& command) override
    {
        commands.push_back(command);
        return refusal;
    }
    std::optional<common::Role> CheckPassword(const Client&, const std::string& name,
                                              const std::string& password) override
    {
        return name == "ada" && password == "lovelace" ? std::optional(common::Role::Operator) : std::nullopt;
    }
    std::optional<common::Refusal> refusal;
    std::vector<std::string> writes;
    std::vector<std::string> commands;
};

} // namespace tavrel::opcua::testing
