#include "model/clsConfig.h"

#include <algorithm>

namespace tavrel::model {

tl::expected<void, std::string> clsConfig::RemovePLC(std::int32_t pPlcKey)
{
    const auto it
        = std::find_if(m_plcs.begin(), m_plcs.end(), [pPlcKey](const auto& plc) { return plc->Key == pPlcKey; });
    if (it == m_plcs.end()) {
        return tl::make_unexpected("the project has no PLC with key " + std::to_string(pPlcKey));
    }
    m_plcs.erase(it);
    return {};
}

std::unique_ptr<clsPlc> clsConfig::NewPlc() const
{
    auto plc = std::make_unique<clsPlc>(*m_labels);
    CommParams params = plc->GetCommParams();
    params.ScanMs = kNewPlcScanMs;
    plc->SetCommParams(params);
    return plc;
}

clsPlc& clsConfig::AddPLC(std::unique_ptr<clsPlc> pPLC)
{
    pPLC->Key = GetNextPlcKey();
    m_plcs.push_back(std::move(pPLC));
    return *m_plcs.back();
}

clsPlc* clsConfig::FindPlc(std::int32_t pPlcKey) const
{
    const auto it
        = std::find_if(m_plcs.begin(), m_plcs.end(), [pPlcKey](const auto& plc) { return plc->Key == pPlcKey; });
    return it == m_plcs.end() ? nullptr : it->get();
}

std::int32_t clsConfig::GetNextPlcKey() const
{
    std::int32_t largest = 1;
    for (const auto& plc : m_plcs) {
        largest = std::max(largest, plc->Key);
    }
    return largest + 1;
}

} // namespace tavrel::model
