#pragma once

#include "comm/modbus/OperandMap.h"
#include "comm/modbus/ReadImage.h"
#include "comm/modbus/ReadPlan.h"
#include "common/BinaryMix.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::comm::modbus {

/// The requests of one read, per table: coils, discrete inputs, holding registers.
using RequestsPerTable = std::array<std::vector<ReadRequest>, 3>;

/// The planning and decoding of the driver's reads, without I/O: which requests read a batched-read list, or a run
/// of operands of one type, within the map's request caps; and what each operand's record holds in what they
/// brought back.
///
/// A timer entry (mix type 11) reads each timer's bit, current value and preset, a counter entry (12) each
/// counter's bit, current value and preset, every other entry its operands. Each record gets LongValue for bits
/// and words (for MF the float's two halves exchanged), TimerCurrent and TimerPreset in 10 ms ticks, CurrencyValue
/// and CounterPreset. Every list also reads the map's run coil, in a coil request of the list's own when one reaches
/// it, so that the PLC's run state comes with each read. The plan of the last list is kept: a PLC reads the same
/// list every pass.
class BatchedRead
{
public:
    /// Plans for the operands of `map` on a PLC whose timers are kept as `timers`.
    BatchedRead(const OperandMap& map, TimerFormat timers);

    /// Whether the kept plan was made for this very list: the same mix types, start addresses and counts in order.
    bool IsPlannedFor(const std::vector<common::BinaryMixEntry>& entries) const;
    /// Checks a batched-read list and keeps the plan of its requests and of the decoding of its values; the reason,
    /// and no plan, for an entry that is no batched request or lies beyond the Modbus addresses.
    std::optional<std::string> Plan(const std::vector<common::BinaryMixEntry>& entries);
    /// The requests of the kept plan.
    const RequestsPerTable& Requests() const { return m_mixRequests; }
    /// Fills each entry's Values, one record per operand, from what the kept plan's requests brought back; the
    /// entries are those the plan was made for.
    void Decode(std::vector<common::BinaryMixEntry>& entries, const ReadImage& image) const;
    /// Whether the run coil was on in what the kept plan's requests brought back: the PLC's program runs.
    bool Running(const ReadImage& image) const { return image.Bit(true, m_runCoil) != 0; }

    /// The requests for `count` operands from `first` on, each `first.width` wide, the last within the Modbus
    /// addresses. Leaves the kept plan alone; valid until the next call.
    const RequestsPerTable& PlanRun(const OperandLocation& first, std::int32_t count);

    /// The 10 ms ticks of the timer value at `address`: a raw timer word or a 32-bit count, by the timer format.
    std::int32_t TimerTicks(const ReadImage& image, std::uint16_t address) const;

private:
    // How a batched request code is decoded, and where operand 0 of each of its parts lives.
    enum class Decoding : std::uint8_t { None, Bit, Word, Long, SwappedFloat, DoubleWord, Timer, Counter };
    struct MixLayout
    {
        Decoding decoding = Decoding::None;
        std::uint8_t partCount = 0;
        std::array<std::int32_t, 3> parts {};
        std::array<OperandLocation, 3> places {};
    };
    // What a list was planned for, entry by entry.
    struct MixSignature
    {
        std::int32_t mixType;
        std::int32_t startAddress;
        std::int32_t count;
    };
    // Where the values of one operand of the list lie in the image.
    struct DecodeStep
    {
        Decoding decoding;
        bool coils; ///< the first part's bit is a coil, not a discrete input
        std::array<std::uint16_t, 3> addresses;
    };
    static constexpr std::int32_t kMixTypeCount = 68; ///< batched request codes lie below this

    void Layout(const OperandMap& map, std::int32_t mixType, Decoding decoding,
                std::initializer_list<std::int32_t> parts);
    void ClearPlanners();
    // Plans the spans added to the planners into requests per table; the planners are empty afterwards.
    void PlanAdded(RequestsPerTable& requests);

    TimerFormat m_timers;
    std::uint16_t m_runCoil;
    int m_maxBits;
    int m_maxRegisters;
    std::array<MixLayout, kMixTypeCount> m_layouts {};
    std::array<ReadPlanner, 3> m_planners;

    bool m_planValid = false;
    std::vector<MixSignature> m_signature;
    RequestsPerTable m_mixRequests;
    std::vector<DecodeStep> m_steps;
    RequestsPerTable m_runRequests;
};

} // namespace tavrel::comm::modbus
