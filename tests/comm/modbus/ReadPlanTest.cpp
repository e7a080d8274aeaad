#include "comm/modbus/ReadPlan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace tavrel::comm::modbus;

namespace {

std::vector<ReadSpan> Singles(int first, int count)
{
    std::vector<ReadSpan> spans;
    for (int i = 0; i < count; ++i) {
        spans.push_back({static_cast<std::uint16_t>(first + i), 1});
    }
    return spans;
}

std::vector<ReadSpan> Joined(std::vector<ReadSpan> a, const std::vector<ReadSpan>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(ReadPlan, MakesTheExpectedRequests)
{
    std::vector<ReadSpan> torn;
    for (int i = 0; i < 63; ++i) {
        torn.push_back({ static_cast<std::uint16_t>(7000 + 2 * i), 2 });
    }
    const struct
    {
        const char* name;
        std::vector<ReadSpan> spans;
        int cap;
        std::vector<ReadRequest> requests;
    } cases[] = {
        { "nothing", {}, 125, {} },
        { "a run longer than the cap is cut", Singles(0, 300), 125, { { 0, 125 }, { 125, 125 }, { 250, 50 } } },
        { "a gap that saves a request is bridged", { { 10, 1 }, { 100, 2 } }, 125, { { 10, 92 } } },
        { "a gap that saves no request is not read",
          Joined(Singles(0, 100), Singles(110, 90)),
          125,
          { { 0, 100 }, { 110, 90 } } },
        { "a two-register value is never torn", torn, 125, { { 7000, 124 }, { 7124, 2 } } },
        { "repeated and unsorted spans are read once", { { 9, 1 }, { 3, 2 }, { 9, 1 }, { 4, 1 } }, 125, { { 3, 7 } } },
        { "only a value wider than the cap is cut", { { 0, 2 }, { 2, 1 } }, 1, { { 0, 1 }, { 1, 1 }, { 2, 1 } } },
        { "the last address can be read", { { 65535, 1 }, { 65534, 1 } }, 125, { { 65534, 2 } } },
    };
    for (const auto& c : cases) {
        std::vector<ReadSpan> spans = c.spans;
        EXPECT_EQ(PlanReads(spans, c.cap), c.requests) << c.name;
    }
}

TEST(ReadPlanner, EachPlanCoversOnlyWhatWasAddedSinceTheLast)
{
    ReadPlanner planner;
    planner.Add({100, 2});
    planner.Add({7, 1});
    EXPECT_EQ(planner.Plan(125), (std::vector<ReadRequest>{{7, 95}}));
    EXPECT_TRUE(planner.Empty());
    planner.Add({500, 1});
    EXPECT_EQ(planner.Plan(125), (std::vector<ReadRequest>{{500, 1}}));
    planner.Add({9, 1});
    planner.Clear();
    planner.Add({3, 1});
    EXPECT_EQ(planner.Plan(125), (std::vector<ReadRequest>{{3, 1}}));
}

// The fewest requests for whole spans, by the simplest rule: each request starts at the first span not yet
// covered and takes every following span that still fits.
std::vector<ReadRequest> GreedyPlan(std::vector<ReadSpan> spans, int cap)
{
    std::sort(spans.begin(), spans.end(), [](const ReadSpan& a, const ReadSpan& b) { return a.start < b.start; });
    std::vector<ReadRequest> requests;
    for (std::size_t i = 0; i < spans.size();) {
        const int start = spans[i].start;
        int end = start + spans[i].width;
        while (i < spans.size() && spans[i].start + spans[i].width - start <= cap) {
            end = std::max(end, spans[i].start + spans[i].width);
            ++i;
        }
        requests.push_back({static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(end - start)});
    }
    return requests;
}

int Volume(const std::vector<ReadRequest>& requests)
{
    int total = 0;
    for (const ReadRequest& r : requests) {
        total += r.count;
    }
    return total;
}

TEST(ReadPlan, RandomSpansGetTheFewestRequestsAndNoWastedGaps)
{
    std::mt19937 random(20240601);
    for (int round = 0; round < 300; ++round) {
        const int cap = std::uniform_int_distribution<int>(2, 130)(random);
        std::vector<ReadSpan> spans;
        int address = std::uniform_int_distribution<int>(0, 50)(random);
        const int count = std::uniform_int_distribution<int>(1, 200)(random);
        for (int i = 0; i < count; ++i) {
            const auto width = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(1, 2)(random));
            spans.push_back({static_cast<std::uint16_t>(address), width});
            address += width + (random() % 4 == 0 ? std::uniform_int_distribution<int>(1, 150)(random) : 0);
        }
        std::shuffle(spans.begin(), spans.end(), random);
        const std::vector<ReadSpan> original = spans;

        const std::vector<ReadRequest> plan = PlanReads(spans, cap);
        const std::vector<ReadRequest> greedy = GreedyPlan(original, cap);
        ASSERT_EQ(plan.size(), greedy.size()) << "round " << round;
        EXPECT_LE(Volume(plan), Volume(greedy)) << "round " << round;
        for (std::size_t i = 0; i < plan.size(); ++i) {
            EXPECT_LE(plan[i].count, cap);
            if (i > 0) {
                EXPECT_GE(plan[i].start, plan[i - 1].start + plan[i - 1].count);
            }
        }
        for (const ReadSpan& span : original) {
            const bool whole = std::any_of(plan.begin(), plan.end(), [&](const ReadRequest& r) {
                return span.start >= r.start && span.start + span.width <= r.start + r.count;
            });
            ASSERT_TRUE(whole) << "round " << round << ": span at " << span.start << " is not read whole";
        }
    }
}

} // namespace
