// The exported C interface; see merlin.h for the contract.

#include "merlin/merlin.h"

#include "merlin/conversion_slots.h"

namespace {

using kestrel::merlin::ConversionSlot;
using kestrel::merlin::ConversionSlots;

std::uint32_t saturate32(std::uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

ConversionSlot* slotAt(int32_t index) {
    return ConversionSlots::instance().slot(index);
}

}  // namespace

static_assert(MERLIN_SLOT_COUNT == kestrel::merlin::kSlotCount);
static_assert(MERLIN_MAX_PATH == kestrel::merlin::kMaxPath);

extern "C" {

MERLIN_EXPORT void Merlin_InitDll(void* windowHandle) {
    ConversionSlots::instance().setWindowHandle(windowHandle);
}

MERLIN_EXPORT int32_t Merlin_Start(const char* sourcePath, const char* outputPath) {
    try {
        return ConversionSlots::instance().start(sourcePath, outputPath);
    } catch (...) {
        return MERLIN_ERR_NO_SLOT;
    }
}

MERLIN_EXPORT int32_t Merlin_GetID(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    return s ? s->id.load() : 0;
}

MERLIN_EXPORT int32_t Merlin_IsBuildFinish(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    return s ? s->finished.load(std::memory_order_acquire) : 0;
}

MERLIN_EXPORT uint32_t Merlin_TotalBytes(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    return s ? saturate32(s->sourceLength.load()) : 0;
}

MERLIN_EXPORT uint32_t Merlin_DisposeBytes(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    return s ? saturate32(s->consumed.load()) : 0;
}

MERLIN_EXPORT uint32_t Merlin_MakeBytes(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    return s ? saturate32(s->outputLength.load()) : 0;
}

MERLIN_EXPORT void Merlin_GetNewFileName(int32_t slot, char* buffer) {
    ConversionSlot* s = slotAt(slot);
    if (s && buffer) s->copyNewFileName(buffer);
}

MERLIN_EXPORT int32_t Merlin_GetResult(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    if (!s || s->finished.load(std::memory_order_acquire) == 0) return MERLIN_RESULT_RUNNING;
    return s->result.load();
}

MERLIN_EXPORT uint32_t Merlin_GetFaults(int32_t slot) {
    ConversionSlot* s = slotAt(slot);
    if (!s || s->finished.load(std::memory_order_acquire) == 0) return 0;
    return s->faults.load();
}

MERLIN_EXPORT int32_t Merlin_InitItem(int32_t slot) {
    ConversionSlots::instance().release(slot);
    return 0;
}

}  // extern "C"
