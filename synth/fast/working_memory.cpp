#include "synth/fast/working_memory.h"

#include <cstdint>
#include <string>

namespace wave::fast {

WorkingMemory::WorkingMemory(std::span<float> memory, const MemoryPlan& plan)
    : memory_(memory), planned_(plan.floats()) {
    if (reinterpret_cast<std::uintptr_t>(memory.data()) % (kPartAlignFloats * sizeof(float)) != 0) {
        throw WorkingMemoryError("fast path working memory: the buffer is not 64-byte aligned");
    }
    if (plan.capacity() != memory.size() || planned_ > memory.size()) {
        throw WorkingMemoryError("fast path working memory: a plan of " + std::to_string(planned_) +
                                 " floats for " + std::to_string(plan.capacity()) +
                                 " does not fit in " + std::to_string(memory.size()));
    }
}

std::span<float> WorkingMemory::Take(std::size_t floats) {
    const std::size_t part = PartFloats(floats);
    if (part < floats || part > planned_ - taken_) {
        throw WorkingMemoryError("fast path working memory: a take of " + std::to_string(floats) +
                                 " floats goes past the plan (" + std::to_string(taken_) + " of " +
                                 std::to_string(planned_) + " taken)");
    }
    const std::span<float> taken = memory_.subspan(taken_, floats);
    taken_ += part;
    return taken;
}

}  // namespace wave::fast
