// Copy and alpha compositing of RGBA and RGB frames through every variant
// of the primitives' tables (entry 1 generic, 2 MMX/SSE, 3 SSE2, 4 the SSE3
// class), against memcpy of the same bytes on the same buffers in the same
// run. A slot this processor cannot run is reported as skipped, with why.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZImagePrimitives.h"

namespace {

using CopyFn = decltype(zpiCopy_8u_C4R);
using CompFn = decltype(zpiAlphaComp_8u_AC4R);

template <typename Fn>
Fn* entry(const char* name, int slot) {
    for (const zpRegistration* r = zpRegistrationList; r; r = r->next)
        if (std::strcmp(r->name, name) == 0) return static_cast<const zpVariantTable<Fn>*>(r->table)->entry[slot];
    return nullptr;
}

std::string unsupported(int slot) {
    __builtin_cpu_init();
    switch (slot) {
    case 2: return __builtin_cpu_supports("mmx") && __builtin_cpu_supports("sse") ? "" : "slot 2: no MMX with SSE";
    case 3: return __builtin_cpu_supports("sse2") ? "" : "slot 3: no SSE2";
    case 4: return __builtin_cpu_supports("sse3") ? "" : "slot 4: no SSE3";
    default: return "";
    }
}

// Frames of w x h pixels with `pad` bytes after each row and the first pixel
// `offset` bytes past a 64-byte boundary.
struct Frame {
    Frame(int width, int height, int channels, int pad, int offset, unsigned seed, bool mostlyOpaque = false)
        : step(width * channels + pad), bytes(static_cast<std::size_t>(step) * height + 128) {
        std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
        for (auto& b : bytes) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            b = static_cast<std::uint8_t>(x);
        }
        const std::size_t at = (64 - reinterpret_cast<std::uintptr_t>(bytes.data()) % 64) % 64 + offset;
        data = bytes.data() + at;
        // A skin or window picture: opaque but for translucent edges.
        if (mostlyOpaque && channels == 4)
            for (int y = 0; y < height; ++y)
                for (int px = 8; px < width - 8; ++px) data[static_cast<std::size_t>(y) * step + px * 4 + 3] = 255;
    }
    int step;
    std::vector<std::uint8_t> bytes;
    std::uint8_t* data;
};

struct CopyCase {
    const char* label;
    int channels, width, height, srcPad, dstPad, dstOffset;
};

const CopyCase kCopies[] = {
    {"C4/1920x1080/merged", 4, 1920, 1080, 0, 0, 0},   {"C4/1920x1080/padded", 4, 1920, 1080, 64, 32, 0},
    {"C3/1920x1080/merged", 3, 1920, 1080, 0, 0, 0},   {"C3/1920x1080/padded", 3, 1920, 1080, 64, 32, 0},
    {"C4/1920x1080/dst+1", 4, 1920, 1080, 0, 64, 1},   {"C4/1920x1080/dst+4", 4, 1920, 1080, 0, 64, 4},
    {"C4/256x256/merged", 4, 256, 256, 0, 0, 0},
    // Larger than the last-level cache, where streaming stores pay off.
    {"C4/4096x4096/merged", 4, 4096, 4096, 0, 0, 0},
};

struct CompCase {
    const char* label;
    int width, height, dstOffset;
    std::int32_t op;
    bool mostlyOpaque;
};

const CompCase kComps[] = {
    {"over/1920x1080/random", 1920, 1080, 0, zpAlphaOver, false},
    {"over/1920x1080/opaque", 1920, 1080, 0, zpAlphaOver, true},
    {"overPremul/1920x1080/random", 1920, 1080, 0, zpAlphaOverPremul, false},
    {"overPremul/1920x1080/opaque", 1920, 1080, 0, zpAlphaOverPremul, true},
    {"over/1920x1080/dst+1", 1920, 1080, 1, zpAlphaOver, false},
    {"over/1920x1080/dst+4", 1920, 1080, 4, zpAlphaOver, false},
    {"over/256x256/random", 256, 256, 0, zpAlphaOver, false},
};

void bytesPerIteration(benchmark::State& state, std::int64_t bytes) {
    state.SetBytesProcessed(state.iterations() * bytes);
}

void registerCopy(const CopyCase& c) {
    const std::int64_t row = std::int64_t{c.width} * c.channels;
    const std::string base = std::string("Copy/") + c.label;
    benchmark::RegisterBenchmark((base + "/memcpy").c_str(), [c, row](benchmark::State& state) {
        Frame src(c.width, c.height, c.channels, c.srcPad, 0, 1), dst(c.width, c.height, c.channels, c.dstPad, c.dstOffset, 2);
        for (auto _ : state) {
            if (c.srcPad == 0 && c.dstPad == 0) {
                std::memcpy(dst.data, src.data, row * c.height);
            } else {
                for (int y = 0; y < c.height; ++y)
                    std::memcpy(dst.data + std::int64_t{y} * dst.step, src.data + std::int64_t{y} * src.step, row);
            }
            benchmark::DoNotOptimize(dst.data);
        }
        bytesPerIteration(state, row * c.height);
    })->Unit(benchmark::kMicrosecond);
    for (int slot = 1; slot <= 4; ++slot) {
        CopyFn* fn = entry<CopyFn>(c.channels == 3 ? "zpiCopy_8u_C3R" : "zpiCopy_8u_C4R", slot);
        const std::string reason = unsupported(slot);
        benchmark::RegisterBenchmark((base + "/slot" + std::to_string(slot)).c_str(),
                                     [c, row, fn, reason](benchmark::State& state) {
            if (!reason.empty()) {
                state.SkipWithError(("not run: " + reason).c_str());
                return;
            }
            Frame src(c.width, c.height, c.channels, c.srcPad, 0, 1);
            Frame dst(c.width, c.height, c.channels, c.dstPad, c.dstOffset, 2);
            for (auto _ : state) {
                fn(src.data, src.step, dst.data, dst.step, {c.width, c.height});
                benchmark::DoNotOptimize(dst.data);
            }
            bytesPerIteration(state, row * c.height);
        })->Unit(benchmark::kMicrosecond);
    }
}

// The frame composited onto a second one in place, as the image copy does.
void registerComp(const CompCase& c) {
    const std::int64_t bytes = std::int64_t{c.width} * c.height * 4;
    const std::string base = std::string("AlphaComp/") + c.label;
    benchmark::RegisterBenchmark((base + "/memcpy").c_str(), [c, bytes](benchmark::State& state) {
        Frame src(c.width, c.height, 4, 0, 0, 1), dst(c.width, c.height, 4, 0, c.dstOffset, 2);
        for (auto _ : state) {
            std::memcpy(dst.data, src.data, bytes);
            benchmark::DoNotOptimize(dst.data);
        }
        bytesPerIteration(state, bytes);
    })->Unit(benchmark::kMicrosecond);
    for (int slot = 1; slot <= 4; ++slot) {
        CompFn* fn = entry<CompFn>("zpiAlphaComp_8u_AC4R", slot);
        const std::string reason = unsupported(slot);
        benchmark::RegisterBenchmark((base + "/slot" + std::to_string(slot)).c_str(),
                                     [c, bytes, fn, reason](benchmark::State& state) {
            if (!reason.empty()) {
                state.SkipWithError(("not run: " + reason).c_str());
                return;
            }
            Frame src(c.width, c.height, 4, 0, 0, 1, c.mostlyOpaque);
            Frame dst(c.width, c.height, 4, 0, c.dstOffset, 2);
            // The variants' cost does not depend on the lower picture, so the
            // passes composite onto the previous pass's result.
            for (auto _ : state) {
                fn(src.data, src.step, dst.data, dst.step, dst.data, dst.step, {c.width, c.height}, c.op);
                benchmark::DoNotOptimize(dst.data);
            }
            bytesPerIteration(state, bytes);
        })->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (const auto& c : kCopies) registerCopy(c);
    for (const auto& c : kComps) registerComp(c);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
