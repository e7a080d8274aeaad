#include "model/LabelArray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

using namespace tavrel::model;

namespace {

// Writes down every notification as one line, and may act on a text change.
class RecordingObserver : public LabelObserver
{
public:
    void LabelTextChanged(std::int32_t index, const std::string& text) override
    {
        events.push_back("text " + std::to_string(index) + " " + text);
        if (onTextChanged) {
            onTextChanged(index);
        }
    }
    void LabelLoaded(std::int32_t index) override { events.push_back("loaded " + std::to_string(index)); }
    void LabelUnloaded(std::int32_t index) override { events.push_back("unloaded " + std::to_string(index)); }

    std::vector<std::string> events;
    std::function<void(std::int32_t)> onTextChanged;
};

using Events = std::vector<std::string>;

} // namespace

TEST(LabelArray, LoadsOutside1To32767OrOfALoadedIndexAndUnloadsOfAFreeOneFailAndChangeNothing)
{
    LabelArray labels;
    ASSERT_TRUE(labels.Load(3));
    ASSERT_TRUE(labels.SetText(3, "kept"));
    for (const std::int32_t index :
         { 3, 0, -1, 32768, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max() }) {
        const auto loaded = labels.Load(index);
        ASSERT_FALSE(loaded) << "index " << index;
        EXPECT_NE(loaded.error().find(std::to_string(index)), std::string::npos) << loaded.error();
    }
    for (const std::int32_t index : { 4, 0, -2, 40000 }) {
        const auto unloaded = labels.Unload(index);
        ASSERT_FALSE(unloaded) << "index " << index;
        EXPECT_NE(unloaded.error().find(LabelName(index)), std::string::npos) << unloaded.error();
    }
    EXPECT_EQ(labels.Text(3), "kept");
    EXPECT_EQ(labels.LoadedCount(), 2U);
    EXPECT_TRUE(labels.IsLoaded(0));
    EXPECT_TRUE(labels.Load(32767));
}

TEST(LabelArray, AnUnloadedLabelLosesItsTextAndIgnoresWrites)
{
    LabelArray labels;
    ASSERT_TRUE(labels.Load(2));
    const Label label(labels, 2);
    label.SetText("42");
    EXPECT_EQ(labels.Text(2), "42");
    ASSERT_TRUE(labels.Unload(2));
    EXPECT_EQ(label.Text(), "");
    label.SetText("lost");
    EXPECT_FALSE(labels.SetText(2, "lost"));
    EXPECT_FALSE(labels.IsLoaded(2));
    ASSERT_TRUE(labels.Load(2));
    EXPECT_EQ(label.Text(), "");
}

TEST(LabelArray, ObserversAreToldOfLoadsUnloadsAndRealTextChangesOnly)
{
    LabelArray labels;
    RecordingObserver observer;
    labels.AddObserver(&observer);
    labels.AddObserver(&observer); // told once all the same

    ASSERT_TRUE(labels.Load(5));
    EXPECT_TRUE(labels.SetText(5, "a"));
    EXPECT_TRUE(labels.SetText(5, "a"));
    EXPECT_TRUE(labels.SetText(5, ""));
    EXPECT_FALSE(labels.SetText(6, "b"));
    EXPECT_FALSE(labels.Load(5));
    ASSERT_TRUE(labels.Unload(5));
    EXPECT_FALSE(labels.Unload(5));
    EXPECT_EQ(observer.events, (Events{"loaded 5", "text 5 a", "text 5 ", "unloaded 5"}));

    labels.RemoveObserver(&observer);
    ASSERT_TRUE(labels.Load(5));
    EXPECT_EQ(observer.events.size(), 4U);
}

TEST(LabelArray, AnObserverThatRemovesItselfDoesNotHideTheNextOne)
{
    LabelArray labels;
    RecordingObserver leaving;
    RecordingObserver staying;
    leaving.onTextChanged = [&](std::int32_t) { labels.RemoveObserver(&leaving); };
    labels.AddObserver(&leaving);
    labels.AddObserver(&staying);
    ASSERT_TRUE(labels.Load(1));

    ASSERT_TRUE(labels.SetText(1, "x"));
    ASSERT_TRUE(labels.SetText(1, "y"));
    EXPECT_EQ(leaving.events, (Events{"loaded 1", "text 1 x"}));
    EXPECT_EQ(staying.events, (Events{"loaded 1", "text 1 x", "text 1 y"}));
}

TEST(LabelArray, AnObserverMayUnloadTheLabelItIsToldAbout)
{
    LabelArray labels;
    RecordingObserver unloading;
    RecordingObserver second;
    unloading.onTextChanged = [&](std::int32_t index) { (void)labels.Unload(index); };
    labels.AddObserver(&unloading);
    labels.AddObserver(&second);
    ASSERT_TRUE(labels.Load(3));

    ASSERT_TRUE(labels.SetText(3, "gone"));
    EXPECT_FALSE(labels.IsLoaded(3));
    // The later observer hears of both; the text it is told is still the one that was set.
    EXPECT_EQ(std::ranges::count(second.events, "text 3 gone"), 1);
    EXPECT_EQ(std::ranges::count(second.events, "unloaded 3"), 1);
}

TEST(LabelArray, HighestIndexFollowsLoadsAndUnloadsAndUnloadAllKeepsElementZero)
{
    LabelArray labels;
    RecordingObserver observer;
    ASSERT_TRUE(labels.Load(1));
    ASSERT_TRUE(labels.Load(10));
    EXPECT_EQ(labels.HighestIndex(), 10);
    ASSERT_TRUE(labels.Unload(10));
    EXPECT_EQ(labels.HighestIndex(), 1);
    ASSERT_TRUE(labels.Load(7));
    labels.AddObserver(&observer);
    labels.UnloadAll();
    EXPECT_EQ(labels.HighestIndex(), 0);
    EXPECT_EQ(labels.LoadedCount(), 1U);
    EXPECT_TRUE(labels.IsLoaded(0));
    EXPECT_EQ(observer.events, (Events { "unloaded 7", "unloaded 1" }));
}
