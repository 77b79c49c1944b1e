// File transfer costs: the whole-file SHA-1 both sides compute, against
// sha1sum of the same file in the same run.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <cstdio>
#include <string>

#include "ZPortable.h"

namespace {

constexpr std::size_t kFileSize = 64 * 1024 * 1024;

const std::string& testFile() {
    static const std::string path = [] {
        char name[] = "/tmp/zanbench-sha.XXXXXX";
        const int fd = mkstemp(name);
        std::FILE* fp = fdopen(fd, "wb");
        std::string chunk(1 << 20, '\0');
        unsigned seed = 1;
        for (std::size_t written = 0; written < kFileSize; written += chunk.size()) {
            for (char& c : chunk) c = static_cast<char>(seed = seed * 1103515245 + 12345);
            std::fwrite(chunk.data(), 1, chunk.size(), fp);
        }
        std::fclose(fp);
        return std::string(name);
    }();
    return path;
}

void BM_ZFileSHA1(benchmark::State& state) {
    const std::wstring path = ZFromUTF8(testFile());
    for (auto _ : state) benchmark::DoNotOptimize(ZFileSHA1(path));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}
BENCHMARK(BM_ZFileSHA1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sha1sum(benchmark::State& state) {
    const std::string command = "sha1sum " + testFile() + " > /dev/null";
    for (auto _ : state) benchmark::DoNotOptimize(std::system(command.c_str()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}
BENCHMARK(BM_Sha1sum)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
