// The fast path's working memory: one plan sizes it and carves it, every part is
// where the plan says, and nothing past the plan is ever handed out.
#include "synth/fast/working_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace wave::fast {
namespace {

struct Thing {
    double a[3];
    float b;
};

// A layout as the renderer writes one: run against a plan, then against memory.
template <typename Memory>
std::vector<std::span<float>> LayOut(Memory& memory, std::vector<std::size_t> sizes,
                                     Thing** thing) {
    std::vector<std::span<float>> parts;
    for (std::size_t floats : sizes)
        parts.push_back(memory.Take(floats));
    *thing = memory.template Make<Thing>();
    return parts;
}

class WorkingMemoryTest : public ::testing::Test {
protected:
    static constexpr std::size_t kFloats = 1024;
    alignas(64) float buffer_[kFloats + 64];
    std::span<float> memory_{buffer_, kFloats};
    // Written into the floats after the memory: none may ever change.
    void Guard() { std::fill(buffer_ + kFloats, buffer_ + kFloats + 64, 7.0f); }
    bool GuardIntact() const {
        return std::all_of(buffer_ + kFloats, buffer_ + kFloats + 64,
                           [](float x) { return x == 7.0f; });
    }
};

TEST_F(WorkingMemoryTest, ThePlanSizesWhatTheLayoutCarves) {
    const std::vector<std::size_t> sizes = {1, 16, 17, 100, 0, 33};
    Thing* thing = nullptr;
    MemoryPlan plan(kFloats);
    LayOut(plan, sizes, &thing);
    // Each part rounded up to 16 floats (64 bytes), then the object.
    EXPECT_EQ(plan.floats(), 16 + 16 + 32 + 112 + 0 + 48 + 16u);
    EXPECT_TRUE(plan.Fits(0));

    Guard();
    WorkingMemory memory(memory_, plan);
    const std::vector<std::span<float>> parts = LayOut(memory, sizes, &thing);
    EXPECT_EQ(memory.taken(), plan.floats());
    const float* end = buffer_;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].size(), sizes[i]);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(parts[i].data()) % 64, 0u) << i;
        EXPECT_GE(parts[i].data(), end) << "part " << i << " overlaps the one before";
        end = parts[i].data() + parts[i].size();
        std::fill(parts[i].begin(), parts[i].end(), -1.0f);
    }
    ASSERT_NE(thing, nullptr);
    EXPECT_GE(reinterpret_cast<const float*>(thing), end);
    EXPECT_LE(reinterpret_cast<const float*>(thing + 1), buffer_ + plan.floats());
    EXPECT_TRUE(GuardIntact());
}

// A request beyond the plan is refused and nothing is handed out: not past the
// plan's last part, not a part larger than what is left, not a plan larger than
// the memory or made for another.
TEST_F(WorkingMemoryTest, RefusesEveryRequestBeyondThePlan) {
    MemoryPlan plan(kFloats);
    plan.Take(512);
    plan.Take(256);
    Guard();
    {
        WorkingMemory memory(memory_, plan);
        memory.Take(512);
        EXPECT_THROW(memory.Take(257), WorkingMemoryError);  // larger than the part left
        memory.Take(256);
        EXPECT_THROW(memory.Take(1), WorkingMemoryError);  // past the last part
        EXPECT_THROW(memory.Make<Thing>(), WorkingMemoryError);
        EXPECT_EQ(memory.taken(), 768u);
    }
    {
        WorkingMemory memory(memory_, plan);
        EXPECT_THROW(memory.Take(SIZE_MAX), WorkingMemoryError);  // its padding overflows
    }
    MemoryPlan too_large(kFloats);
    too_large.Take(kFloats + 1);
    EXPECT_FALSE(too_large.Fits(0));
    EXPECT_THROW(WorkingMemory(memory_, too_large), WorkingMemoryError);
    MemoryPlan for_more(2 * kFloats);
    for_more.Take(16);
    EXPECT_THROW(WorkingMemory(memory_, for_more), WorkingMemoryError);
    EXPECT_THROW(WorkingMemory(memory_.subspan(1), MemoryPlan(kFloats - 1)), WorkingMemoryError)
        << "a buffer that is not 64-byte aligned";
    EXPECT_TRUE(GuardIntact());
}

// Optional parts are taken only where they fit, and the plan and the memory give
// the same answer at the same point of the layout.
TEST_F(WorkingMemoryTest, PlanAndMemoryAgreeOnWhatStillFits) {
    const std::vector<std::size_t> wishes = {600, 500, 300, 100, 200};
    auto lay_out = [&](auto& memory) {
        std::vector<bool> kept;
        for (std::size_t floats : wishes) {
            kept.push_back(memory.Fits(floats));
            if (kept.back()) memory.Take(floats);
        }
        return kept;
    };
    MemoryPlan plan(kFloats);
    const std::vector<bool> planned = lay_out(plan);
    EXPECT_EQ(planned, (std::vector<bool>{true, false, true, true, false}));
    WorkingMemory memory(memory_, plan);
    EXPECT_EQ(lay_out(memory), planned);
    EXPECT_EQ(memory.taken(), plan.floats());
}

}  // namespace
}  // namespace wave::fast
