// Helpers of the tests that compare the processor-specific variants (table
// entries 2 to 4) with the generic one: reaching an entry, deciding whether
// this processor can run it, and buffers that catch over-reads and
// over-writes.
#pragma once

#include <cpuid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ZImagePrimitives.h"

// Seeded noise, eight bytes per step so large frames fill quickly.
inline void fillNoise(std::uint8_t* p, std::size_t n, std::uint64_t seed) {
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < n; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(p + i, &x, n - i < 8 ? n - i : 8);
    }
}

// Entry `slot` of the named primitive's variant table, or null.
template <typename Fn>
Fn* primitiveEntry(const char* name, int slot) {
    for (const zpRegistration* r = zpRegistrationList; r; r = r->next)
        if (std::strcmp(r->name, name) == 0) return static_cast<const zpVariantTable<Fn>*>(r->table)->entry[slot];
    return nullptr;
}

// Why this processor cannot run a slot's instructions, from CPUID itself;
// empty when it can.
inline std::string slotUnsupportedReason(int slot) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return "no CPUID leaf 1";
    const bool mmx = edx & (1u << 23), sse = edx & (1u << 25), sse2 = edx & (1u << 26), sse3 = ecx & 1u;
    switch (slot) {
    case 2: return mmx && sse ? "" : "slot 2: no MMX with SSE";
    case 3: return sse2 ? "" : "slot 3: no SSE2";
    case 4: return sse2 && sse3 ? "" : "slot 4: no SSE3";
    default: return "";
    }
}

// Bytes that end flush against a page the process may not touch, so one
// byte read past the end faults. The start is `gap` bytes further from the
// guard page when a test wants other alignments.
class GuardedBytes {
public:
    GuardedBytes(std::size_t size, std::size_t gap = 0) : size_(size) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t data = (size + gap + page - 1) / page * page;
        mapped_ = data + page;
        void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<std::uint8_t*>(p);
        mprotect(base_ + data, page, PROT_NONE);
        bytes_ = base_ + data - gap - size;
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    ~GuardedBytes() { munmap(base_, mapped_); }
    std::uint8_t* data() { return bytes_; }
    std::size_t size() const { return size_; }
    void fill(std::uint32_t seed) { fillNoise(bytes_, size_, seed); }

private:
    std::uint8_t* base_ = nullptr;
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

// A destination region with 64 known bytes on either side and the start
// moved `offset` bytes past a 64-byte boundary.
class FencedBytes {
public:
    static constexpr std::size_t kFence = 64;
    FencedBytes(std::size_t size, std::size_t offset, std::uint32_t seed)
        : storage_(size + 2 * kFence + 128), offset_(kFence + (64 - reinterpret_cast<std::uintptr_t>(storage_.data()) % 64) % 64 + offset),
          size_(size) {
        fillNoise(storage_.data(), storage_.size(), seed);
        initial_ = storage_;
    }
    std::uint8_t* data() { return storage_.data() + offset_; }
    // The bytes of the region and its fences, to compare whole.
    std::vector<std::uint8_t> span() const {
        return {storage_.begin() + offset_ - kFence, storage_.begin() + offset_ + size_ + kFence};
    }
    bool fencesIntact() const {
        return std::memcmp(storage_.data() + offset_ - kFence, initial_.data() + offset_ - kFence, kFence) == 0 &&
               std::memcmp(storage_.data() + offset_ + size_, initial_.data() + offset_ + size_, kFence) == 0;
    }
    bool unchanged() const { return storage_ == initial_; }

private:
    std::vector<std::uint8_t> storage_;
    std::vector<std::uint8_t> initial_;
    std::size_t offset_;
    std::size_t size_;
};
