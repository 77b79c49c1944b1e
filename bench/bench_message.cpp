// Message parsing and writing cost: every datagram, relay frame and queued
// command goes through ZHTTPHeaders::deserialize and serialize. The
// reference is a minimal hand parser of the same bytes (lines split with
// memchr, name and value split at the colon, into a small array), and for
// writing, the same bytes appended from that array.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string_view>

#include "ZHTTPHeaders.h"

namespace {

// A typical signalling request between two devices, 201 bytes.
std::string typicalSignallingMessage() {
    ZHTTPHeaders h(L"INVITE");
    h.set(L"CSeq", 17);
    h.set(L"From", L"alice@example.org/3f2c9a1e-77d4-4b7e-9c1a-2d5e8f0b6a11");
    h.set(L"To", L"bob@example.org");
    h.set(L"Via", L"192.168.1.20:5060, 203.0.113.7:40123");
    h.set(L"Session", L"video");
    h.addContent("v=0 s=zan");
    return h.serialize();
}

struct HandField {
    std::string_view name;
    std::string_view value;
};

// Header lines up to the empty one; returns the block's length, 0 if none.
std::size_t handParse(const std::string& text, HandField (&fields)[16], int& count) {
    const char* p = text.data();
    const char* end = p + text.size();
    count = 0;
    while (p < end) {
        const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (!lf) return 0;
        const std::string_view line(p, static_cast<std::size_t>(lf - p) - (lf > p && lf[-1] == '\r'));
        p = lf + 1;
        if (line.empty()) return static_cast<std::size_t>(p - text.data());
        const std::size_t colon = count ? line.find(':') : std::string_view::npos;
        if (count < 16) {
            fields[count++] = colon == std::string_view::npos
                                  ? HandField{std::string_view(), line}
                                  : HandField{line.substr(0, colon), line.substr(colon + 2)};
        }
    }
    return 0;
}

}  // namespace

static void BM_HandParseSignallingMessage(benchmark::State& state) {
    const std::string text = typicalSignallingMessage();
    for (auto _ : state) {
        HandField fields[16];
        int count = 0;
        benchmark::DoNotOptimize(handParse(text, fields, count));
        benchmark::DoNotOptimize(fields);
    }
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_HandParseSignallingMessage);

static void BM_DeserializeSignallingMessage(benchmark::State& state) {
    const std::string text = typicalSignallingMessage();
    for (auto _ : state) {
        ZHTTPHeaders h;
        benchmark::DoNotOptimize(h.deserialize(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DeserializeSignallingMessage);

// A service parsing one message after another into the same value.
static void BM_DeserializeSignallingMessageReused(benchmark::State& state) {
    const std::string text = typicalSignallingMessage();
    ZHTTPHeaders h;
    for (auto _ : state) benchmark::DoNotOptimize(h.deserialize(text));
}
BENCHMARK(BM_DeserializeSignallingMessageReused);

static void BM_HandWriteSignallingMessage(benchmark::State& state) {
    const std::string text = typicalSignallingMessage();
    HandField fields[16];
    int count = 0;
    const std::size_t header = handParse(text, fields, count);
    const std::string_view content(text.data() + header, text.size() - header);
    for (auto _ : state) {
        std::string out;
        for (int i = 0; i < count; ++i) {
            if (i) out.append(fields[i].name).append(": ");
            out.append(fields[i].value).append("\r\n");
        }
        out.append("\r\n").append(content);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_HandWriteSignallingMessage);

static void BM_SerializeSignallingMessage(benchmark::State& state) {
    ZHTTPHeaders h;
    h.deserialize(typicalSignallingMessage());
    for (auto _ : state) benchmark::DoNotOptimize(h.serialize());
}
BENCHMARK(BM_SerializeSignallingMessage);

BENCHMARK_MAIN();
