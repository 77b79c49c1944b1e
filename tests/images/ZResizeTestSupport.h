// Helpers of the tests that hold the resize and super-sampling drivers of the
// processor slots against the generic ones: the slots with their drivers,
// seeded images of every element type and layout whose last byte lies
// against a guard page, fenced destinations, and sample access.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "../../imageprims/zpResizeSlots.h"
#include "ZSlotTestSupport.h"

using ResizeDriver = decltype(&resize_driver_gen);
using SuperDriver = decltype(&resize_superDriver_gen);
using ResizeEntry = decltype(&zpiResize_8u_C1R);

// One processor slot: its drivers, its entry functions and its table.
struct ResizeSlot {
    int slot;
    const char* name;
    ResizeDriver driver;
    SuperDriver superDriver;
    ResizeEntry entries[3];  // C1, C3, C4
    const zpRowHelper* table;
};

inline std::vector<ResizeSlot> resizeSlots() {
    return {
        {2, "sse", resize_driver_sse, resize_superDriver_sse,
         {zpiResize_8u_C1R_sse, zpiResize_8u_C3R_sse, zpiResize_8u_C4R_sse}, resizeRowHelpers_sse},
        {3, "sse2", resize_driver_sse2, resize_superDriver_sse2,
         {zpiResize_8u_C1R_sse2, zpiResize_8u_C3R_sse2, zpiResize_8u_C4R_sse2}, resizeRowHelpers_sse2},
        {4, "sse3", resize_driver_sse3, resize_superDriver_sse3,
         {zpiResize_8u_C1R_sse3, zpiResize_8u_C3R_sse3, zpiResize_8u_C4R_sse3}, resizeRowHelpers_sse3},
    };
}

inline void PrintTo(const ResizeSlot& slot, std::ostream* os) { *os << slot.name; }

inline std::string slotName(const ::testing::TestParamInfo<ResizeSlot>& info) { return info.param.name; }

inline int sampleBytes(int type) { return type == zpType8u ? 1 : (type == zpType16u ? 2 : 4); }

inline double sampleAt(const std::uint8_t* p, int type) {
    if (type == zpType8u) return *p;
    if (type == zpType16u) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

// Seeded samples across the type's range: any byte, any 16-bit value, floats
// of both signs with fractions.
inline void fillSamples(std::uint8_t* p, std::size_t count, int type, std::uint32_t seed) {
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 7;
    for (std::size_t i = 0; i < count; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        if (type == zpType8u) {
            p[i] = static_cast<std::uint8_t>(x >> 24);
        } else if (type == zpType16u) {
            const auto v = static_cast<std::uint16_t>(x >> 20);
            std::memcpy(p + 2 * i, &v, 2);
        } else {
            const float v = static_cast<float>(static_cast<std::int64_t>(x >> 40) % 100000) / 97.0f - 500.0f;
            std::memcpy(p + 4 * i, &v, 4);
        }
    }
}

// A packed image, or the planes of a planar one, each ending flush against
// a guard page. Rows are `pad` bytes longer than their samples.
class SlotImage {
public:
    SlotImage(int type, int width, int height, int pixelStep, int planes, int pad, std::uint32_t seed)
        : step(width * (planes ? 1 : pixelStep) * sampleBytes(type) + pad) {
        const int rowBytes = width * (planes ? 1 : pixelStep) * sampleBytes(type);
        const std::size_t size = static_cast<std::size_t>(step) * (height - 1) + rowBytes;
        for (int i = 0; i < (planes ? planes : 1); ++i) {
            memory_.push_back(std::make_unique<GuardedBytes>(size));
            fillSamples(memory_.back()->data(), size / sampleBytes(type), type, seed + i);
            pointers_.push_back(memory_.back()->data());
        }
        planar_ = planes != 0;
    }
    // The driver's source argument: the image or the array of planes.
    const void* source() const { return planar_ ? static_cast<const void*>(pointers_.data()) : pointers_[0]; }
    const std::uint8_t* plane(int i) const { return static_cast<const std::uint8_t*>(pointers_[i]); }
    int step;

private:
    std::vector<std::unique_ptr<GuardedBytes>> memory_;
    std::vector<const void*> pointers_;
    bool planar_ = false;
};

// Destination planes filled with the same seeded bytes for every variant,
// `offset` bytes past a 64-byte boundary.
class SlotDestination {
public:
    SlotDestination(std::size_t size, int planes, std::size_t offset, std::uint32_t seed) {
        for (int i = 0; i < (planes ? planes : 1); ++i) {
            memory_.push_back(std::make_unique<FencedBytes>(size, offset, seed + i));
            pointers_.push_back(memory_.back()->data());
        }
        planar_ = planes != 0;
    }
    void* target() { return planar_ ? static_cast<void*>(pointers_.data()) : pointers_[0]; }
    std::uint8_t* plane(int i) { return static_cast<std::uint8_t*>(pointers_[i]); }
    int planes() const { return static_cast<int>(pointers_.size()); }
    bool fencesIntact() const {
        for (const auto& m : memory_)
            if (!m->fencesIntact()) return false;
        return true;
    }

private:
    std::vector<std::unique_ptr<FencedBytes>> memory_;
    std::vector<void*> pointers_;
    bool planar_ = false;
};
