#include "app/ItemService.h"

#include "app/Program.h"
#include "common/NumberText.h"
#include "model/clsConfig.h"

#include <cmath>
#include <utility>

// What the surfaces are told: an item's state (value, time read, quality), and which of the states a batch holds —
// new texts beyond the deadband, and quality changes.
namespace tavrel::app {

namespace {

const char* const kRunStopped = "the run is stopped";

} // namespace

std::string_view QualityName(Quality quality)
{
    switch (quality) {
    case Quality::Good:
        return "good";
    case Quality::Waiting:
        return "waiting";
    case Quality::Stale:
        return "stale";
    case Quality::Bad:
        return "bad";
    }
    return "bad";
}

ItemChange ItemService::State(std::int32_t index) const
{
    ItemChange state;
    state.index = index;
    const model::LabelArray& labels = m_program.Labels();
    if (!labels.IsLoaded(index)) {
        state.quality = Quality::Waiting;
        return state;
    }
    state.value = labels.Text(index);
    if (static_cast<std::size_t>(index) < m_changedAt.size()) {
        state.readAt = m_changedAt[static_cast<std::size_t>(index)];
    }
    if (const Owner* owner = FindOwner(index)) {
        if (!owner->plc->Answered) {
            state.quality = Quality::Waiting;
        } else if (!owner->plc->Connected) {
            state.quality = Quality::Stale;
            state.reason = owner->plc->LastError;
        } else if (!owner->item->BadReason.empty()) {
            state.quality = Quality::Bad;
            state.reason = owner->item->BadReason;
        } else if (!m_program.IsRunning()) {
            // Read in a run that is over: nothing keeps it current.
            state.quality = Quality::Stale;
            state.reason = kRunStopped;
        }
    }
    return state;
}

void ItemService::FlushSoon()
{
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start(0);
    }
}

void ItemService::AddQualityCandidates(std::vector<std::int32_t>& indexes)
{
    const bool running = m_program.IsRunning();
    const bool runChanged = std::exchange(m_runningSeen, running) != running;
    std::unordered_map<std::int32_t, PlcSeen> seen;
    for (const auto& plc : m_program.Project().colPlcs()) {
        const PlcSeen now { plc->Answered, plc->Connected, plc->LastError };
        const auto before = m_plcSeen.find(plc->Key);
        const bool changedState = before == m_plcSeen.end() || !(before->second == now);
        seen.emplace(plc->Key, now);
        if (!runChanged && !changedState) {
            continue;
        }
        for (const auto& item : plc->colItems()) {
            for (const model::Clsitem& one : std::as_const(*item).Operands()) {
                if (one.Label.IsSet() && m_changed.Add(one.Label.Index())) {
                    indexes.push_back(one.Label.Index());
                }
            }
        }
    }
    m_plcSeen = std::move(seen);
}

bool ItemService::TakeIfChange(const ItemChange& state, bool textChanged)
{
    const auto position = static_cast<std::size_t>(state.index);
    if (m_told.size() <= position) {
        m_told.resize(position + 1);
    }
    Told& told = m_told[position];
    const auto number = [this](const std::string& text) -> std::optional<double> {
        const auto parsed = common::ParseDouble(text, DecimalSeparator());
        return parsed ? std::optional(*parsed) : std::nullopt;
    };
    const auto take = [&] {
        told = Told { .any = true,
                      .value = state.value,
                      .number = number(state.value),
                      .quality = state.quality,
                      .reason = state.reason };
    };
    if (!told.any) {
        take();
        return textChanged;
    }
    if (told.quality != state.quality || told.reason != state.reason) {
        take();
        return true;
    }
    if (told.value == state.value) {
        return false;
    }
    const Owner* owner = FindOwner(state.index);
    if (owner != nullptr && owner->item->Details.deadband && told.number) {
        const auto now = number(state.value);
        if (now && std::fabs(*now - *told.number) < *owner->item->Details.deadband) {
            return false; // within the band of what clients were last told
        }
    }
    take();
    return true;
}

void ItemService::Flush()
{
    m_flushTimer.stop();
    std::vector<std::int32_t> indexes = m_changed.Take();
    const std::size_t textChanges = indexes.size();
    // The text changes are marked again, so that the quality candidates leave out those already in the batch.
    for (const std::int32_t index : indexes) {
        m_changed.Add(index);
    }
    AddQualityCandidates(indexes);
    (void)m_changed.Take();
    std::vector<ItemChange> changes;
    changes.reserve(indexes.size());
    const model::LabelArray& labels = m_program.Labels();
    for (std::size_t i = 0; i < indexes.size(); ++i) {
        if (!labels.IsLoaded(indexes[i])) {
            continue;
        }
        ItemChange state = State(indexes[i]);
        if (TakeIfChange(state, i < textChanges)) {
            changes.push_back(std::move(state));
        }
    }
    if (!changes.empty()) {
        emit changed(changes);
    }
}

void ItemService::LabelTextChanged(std::int32_t index, const std::string&)
{
    const auto position = static_cast<std::size_t>(index);
    if (m_changedAt.size() <= position) {
        m_changedAt.resize(position + 1);
    }
    m_changedAt[position] = std::chrono::system_clock::now();
    m_changed.Add(index);
    // Changes leave together once control returns to the event loop: at the end of the pass, or at once between
    // passes.
    FlushSoon();
}

void ItemService::LabelLoaded(std::int32_t index)
{
    m_ownersStale = true;
    if (static_cast<std::size_t>(index) < m_told.size()) {
        m_told[static_cast<std::size_t>(index)] = Told {};
    }
}

void ItemService::LabelUnloaded(std::int32_t index)
{
    m_ownersStale = true;
    if (static_cast<std::size_t>(index) < m_told.size()) {
        m_told[static_cast<std::size_t>(index)] = Told {};
    }
    emit itemRemoved(index);
}

} // namespace tavrel::app
