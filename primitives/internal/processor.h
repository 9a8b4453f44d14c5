#pragma once
// Processor classification behind InitPrimitiveDispatch, split from CPUID
// itself so that every row of the table can be exercised.

#include <cstdint>

namespace sp::internal {

struct ProcessorIdentity {
    bool cpuidAvailable = false;
    bool expectedVendor = false;
    int32_t family = 0;  // base family field only
    bool mmx = false;
    bool sse = false;
    bool sse2 = false;
    bool sse3 = false;
    bool multiThreading = false;
    bool longMode = false;
};

ProcessorIdentity ReadProcessorIdentity();
int32_t ClassifyProcessor(const ProcessorIdentity& id);
int32_t VariantIndexForType(int32_t typeCode);

}  // namespace sp::internal
