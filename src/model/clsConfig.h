#pragma once

#include "model/LabelArray.h"
#include "model/clsPlc.h"

#include <memory>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::model {

/// The project: its PLCs in insertion order, each under a unique key.
class clsConfig
{
public:
    explicit clsConfig(LabelArray& labels)
        : m_labels(&labels)
    {
    }
    clsConfig(const clsConfig&) = delete;
    clsConfig& operator=(const clsConfig&) = delete;

    /// Removes the PLC of a key; its items and labels are left alone. Fails for a key that is not present.
    [[nodiscard]] tl::expected<void, std::string> RemovePLC(std::int32_t pPlcKey);

    /// The PLCs in insertion order.
    const std::vector<std::unique_ptr<clsPlc>>& colPlcs() const { return m_plcs; }

    /// Gives the PLC the next key and appends it; returns it.
    clsPlc& AddPLC(std::unique_ptr<clsPlc> pPLC);

    /// The PLC of a key, or null.
    clsPlc* FindPlc(std::int32_t pPlcKey) const;

    /// A new PLC that draws its labels from this project's label array (not yet added), scanned every
    /// kNewPlcScanMs.
    std::unique_ptr<clsPlc> NewPlc() const;

    LabelArray& Labels() const { return *m_labels; }

private:
    std::int32_t GetNextPlcKey() const;

    LabelArray* m_labels;
    std::vector<std::unique_ptr<clsPlc>> m_plcs;
};

} // namespace tavrel::model
