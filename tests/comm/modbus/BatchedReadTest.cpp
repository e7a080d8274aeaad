#include "comm/modbus/BatchedRead.h"

#include "common/OperandCatalogue.h"

#include <gtest/gtest.h>

using namespace tavrel::comm::modbus;
using tavrel::common::BinaryMixEntry;
using tavrel::common::Currency;
namespace op = tavrel::common::operand;

namespace {

// What a PLC answers to exactly the planned requests: each register holds its address, each bit is on at an odd
// address. Whatever no request reads stays 0.
ReadImage Answered(const RequestsPerTable& requests, WordOrder order)
{
    ReadImage image(order);
    for (const Table table : { Table::Coils, Table::DiscreteInputs, Table::HoldingRegisters }) {
        for (const ReadRequest& request : requests[static_cast<std::size_t>(table)]) {
            for (int i = 0; i < request.count; ++i) {
                const auto address = static_cast<std::uint16_t>(request.start + i);
                if (table == Table::HoldingRegisters) {
                    *image.RegistersAt(address) = address;
                } else {
                    *image.BitsAt(table, address) = address % 2;
                }
            }
        }
    }
    return image;
}

TEST(BatchedRead, TheRunCoilJoinsACoilRequestThatReachesItAndIsReadOnItsOwnOtherwise)
{
    const std::vector<BinaryMixEntry> entries { { 0, op::MB, 0, 5, {} } }; // coils 1000 to 1004
    const auto coils = static_cast<std::size_t>(Table::Coils);
    const std::pair<std::uint16_t, std::vector<ReadRequest>> cases[] = {
        { 1101, { { 1000, 102 } } },
        { 65000, { { 1000, 5 }, { 65000, 1 } } },
    };
    for (const auto& [runCoil, requests] : cases) {
        OperandMap map;
        map.SetRunCoil(runCoil);
        BatchedRead reads(map, TimerFormat::Ticks);
        ASSERT_EQ(reads.Plan(entries), std::nullopt);
        EXPECT_EQ(reads.Requests()[coils], requests) << runCoil;
        // Bits are on at odd addresses.
        EXPECT_EQ(reads.Running(Answered(reads.Requests(), map.Order())), runCoil % 2 == 1) << runCoil;
    }
}

TEST(BatchedRead, EachRecordIsDecodedFromWhereItsOperandLiesInTheMapsWordOrderAndTimerFormat)
{
    OperandMap map;
    map.SetOrder(WordOrder::LowWordFirst);
    BatchedRead reads(map, TimerFormatOf(tavrel::common::plctype::Q40StandAlone));
    std::vector<BinaryMixEntry> entries {
        { 0, op::TBit, 2, 1, {} }, { 0, op::CBit, 1, 1, {} }, { 0, op::MF, 0, 1, {} }, { 0, op::MI, 5, 2, {} }
    };
    ASSERT_EQ(reads.Plan(entries), std::nullopt);
    reads.Decode(entries, Answered(reads.Requests(), map.Order()));

    // Timer 2: input 1002, raw words in registers 13002 and 12002 (a count on the 10 ms base).
    EXPECT_EQ(entries[0].Values[0].LongValue, 0);
    EXPECT_EQ(entries[0].Values[0].TimerCurrent, 13002);
    EXPECT_EQ(entries[0].Values[0].TimerPreset, 12002);
    // Counter 1: input 2001, current value in registers 14002/14003, preset in 14602/14603, low word first.
    EXPECT_EQ(entries[1].Values[0].LongValue, 1);
    EXPECT_EQ(entries[1].Values[0].CurrencyValue, Currency::FromWhole(917714610));
    EXPECT_EQ(entries[1].Values[0].CounterPreset, Currency::FromWhole(957036810));
    // MF 0 in registers 9300/9301, its halves exchanged.
    EXPECT_EQ(entries[2].Values[0].LongValue, 609494101);
    ASSERT_EQ(entries[3].Values.size(), 2U);
    EXPECT_EQ(entries[3].Values[1].LongValue, 6);

    EXPECT_TRUE(reads.IsPlannedFor(entries));
    entries[3].Count = 3;
    EXPECT_FALSE(reads.IsPlannedFor(entries));
    EXPECT_EQ(reads.Plan({ { 0, op::MI, 70000, 1, {} } }),
              "MI 70000 lies outside the Modbus addresses of the operand map");
}

} // namespace
