#include "comm/modbus/RawTimerWord.h"

#include <gtest/gtest.h>

using namespace tavrel::comm::modbus;

namespace {

struct Case
{
    std::int64_t ticks;
    std::optional<std::uint16_t> word;
    std::int32_t ticksBack; ///< what the word stands for
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.ticks << " ticks"; }

class RawTimerWord : public testing::TestWithParam<Case>
{
};

TEST_P(RawTimerWord, TakesTheFinestBaseThatHoldsTheTicks)
{
    const Case& c = GetParam();
    EXPECT_EQ(RawTimerWordFromTicks(c.ticks), c.word);
    if (c.word) {
        EXPECT_EQ(TicksFromRawTimerWord(*c.word), c.ticksBack);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RawTimerWord,
                         testing::Values(Case{0, 0x0000, 0}, Case{16383, 0x3FFF, 16383},
                                         Case{16384, 0x8000 | 1638, 16380},  // 100 ms base, rounded down
                                         Case{16385, 0x8000 | 1639, 16390},  // a half rounds up
                                         Case{163830, 0x8000 | 16383, 163830},
                                         Case{163836, 0x4000 | 1638, 163800}, // 1 s base
                                         Case{1638300, 0x4000 | 16383, 1638300},
                                         Case{1638350, 0xC000 | 1638, 1638000}, // 10 s base
                                         Case{16383000, 0xFFFF, 16383000}, Case{16383500, std::nullopt, 0},
                                         Case{-1, std::nullopt, 0}));

} // namespace
