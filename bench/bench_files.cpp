// File transfer costs: the whole-file SHA-1 both sides compute, against
// sha1sum of the same file in the same run; and a 1 GiB transfer between two
// file services on loopback, against a raw blast of datagrams of a full
// BLOCK's size from one thread.
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "ZFileService.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"

namespace {

constexpr std::size_t kFileSize = 64 * 1024 * 1024;
// ZAN_BENCH_MB asks for a smaller transfer while looking into it.
const std::size_t kTransferSize = getenv("ZAN_BENCH_MB") ? std::stoul(getenv("ZAN_BENCH_MB")) << 20 : std::size_t{1} << 30;
// A full BLOCK: the 28-byte header and 1024 bytes of the file.
constexpr int kBlockDatagram = 1052;

std::string randomFile(const char* pattern, std::size_t size) {
    std::string name(pattern);
    const int fd = mkstemp(&name[0]);
    std::FILE* fp = fdopen(fd, "wb");
    std::string chunk(1 << 20, '\0');
    unsigned seed = 1;
    for (std::size_t written = 0; written < size; written += chunk.size()) {
        for (char& c : chunk) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        std::fwrite(chunk.data(), 1, chunk.size(), fp);
    }
    std::fclose(fp);
    return name;
}

const std::string& testFile() {
    static const std::string path = randomFile("/tmp/zanbench-sha.XXXXXX", kFileSize);
    return path;
}

std::wstring tempStore() {
    char name[] = "/tmp/zanbench.XXXXXX";
    const char* dir = mkdtemp(name);
    return ZFromUTF8(std::string(dir ? dir : "/tmp") + "/settings.ini");
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

// One device on loopback: the store, the switchboard fed by a reader thread
// (the dispatch service's part) and the file service on its own thread.
struct Device {
    ZInstance instance{tempStore()};
    ZMegaPort port{L"bench"};
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    std::wstring host = ZNetUDPPortGetLocalHost(udp);
    ZFileService service{&instance, &port};
    std::atomic<bool> stop{false};
    std::thread reader;

    Device() {
        port.setUDPPort(udp);
        reader = std::thread([this] {
            ZMegaPortBucket* bucket = port.getEmtpyBucket();
            while (!stop.load()) {
                ZNetWait({udp}, {}, {}, 50000);
                while (ZNetUDPPortRecv(udp, bucket->buffer, bucket->from)) {
                    port.fillRTPBucket(bucket);
                    bucket = port.getEmtpyBucket();
                }
            }
            port.returnEmptyBucket(bucket);
        });
        service.start(L"ZClient.ZFileService");
    }
    ~Device() {
        service.stop(true);
        stop.store(true);
        reader.join();
        port.reset();
        ZNetUDPPortClose(udp);
    }
    void post(const wchar_t* method, std::int64_t id, const std::string& path, const std::wstring& to) {
        ZHTTPHeaders command(method);
        command.set(L"File-ID", id);
        command.set(L"Path", ZFromUTF8(path));
        command.set(L"Send-From", host);
        command.set(L"Send-To", to);
        command.set(L"Buddy-Device-GUID", L"peer@device");
        instance.enqueue(L"ZFileService_commandQueue", command.serialize());
    }
    std::wstring complete(std::int64_t id) { return instance.get(L"File#" + ZToString(id) + L"_Complete"); }
};

// What bounds a transfer, gathered when ZAN_BENCH_TRACE is set (the
// reliable sender's log lines cost time of their own): time-outs, loss
// events and the largest window.
std::atomic<int> gTimeouts{0}, gLossEvents{0}, gLargestWindow{0};

void traceLine(const std::wstring& line) {
    if (line.find(L"RTO timeout") != std::wstring::npos) ++gTimeouts;
    if (line.find(L"Dropped ") != std::wstring::npos) ++gLossEvents;
    const std::size_t arrow = line.find(L"->");
    if (arrow == std::wstring::npos) return;
    const int window = std::atoi(ZToUTF8(line.substr(arrow + 2)).c_str());
    int seen = gLargestWindow.load();
    while (window > seen && !gLargestWindow.compare_exchange_weak(seen, window)) {
    }
}

// UDP datagrams the kernel dropped for full receive buffers, machine-wide.
long long rcvbufErrors() {
    std::FILE* fp = std::fopen("/proc/net/snmp", "re");
    if (!fp) return -1;
    char line[512];
    long long value = -1;
    bool header = true;
    while (std::fgets(line, sizeof line, fp)) {
        if (std::strncmp(line, "Udp:", 4) != 0) continue;
        if (header) {
            header = false;
            continue;
        }
        long long fields[5] = {};
        if (std::sscanf(line + 4, "%lld %lld %lld %lld %lld", &fields[0], &fields[1], &fields[2], &fields[3],
                        &fields[4]) == 5)
            value = fields[4];
    }
    std::fclose(fp);
    return value;
}

// Processor seconds of this process's threads whose name begins with the
// text.
double threadSeconds(const char* name) {
    double ticks = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return 0;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + entry->d_name;
        std::FILE* fp = std::fopen((base + "/stat").c_str(), "re");
        if (!fp) continue;
        char text[1024] = {};
        const std::size_t got = std::fread(text, 1, sizeof text - 1, fp);
        std::fclose(fp);
        text[got] = 0;
        const char* open = std::strchr(text, '(');
        const char* close = std::strrchr(text, ')');
        if (!open || !close || std::strncmp(open + 1, name, std::strlen(name)) != 0) continue;
        unsigned long utime = 0, stime = 0;
        // Fields after the name: state and eleven more, then utime, stime.
        std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
        ticks += static_cast<double>(utime + stime);
    }
    closedir(dir);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// From RECVFILE to a verified RECVFILECOMPLETE, the sender's scan done
// before. Phases: blocks (RECVFILE until every block is held), the silent
// second (until the verification starts), the verification.
void BM_Transfer1GiB(benchmark::State& state) {
    const std::string source = randomFile("/tmp/zanbench-send.XXXXXX", kTransferSize);
    const std::string target = source + ".received";
    double blocks = 0, silent = 0, verify = 0, total = 0, serviceCPU = 0;
    std::int64_t id = 1000;
    const bool trace = getenv("ZAN_BENCH_TRACE") != nullptr;
    if (trace) {
        ZLogSetFilter("T");
        ZSetDebugHooks(&traceLine, nullptr, nullptr);
    }
    const long long dropsBefore = rcvbufErrors();
    for (auto _ : state) {
        ++id;
        std::remove(target.c_str());
        Device sender, receiver;
        sender.post(L"SENDFILE", id, source, receiver.host);
        while (sender.complete(id) != L"--%") ZThreadSleep(1000);
        const double cpuBefore = threadSeconds("ZClient.ZFile");
        const std::int64_t start = ZTimeNow();
        receiver.post(L"RECVFILE", id, target, sender.host);
        std::int64_t held = 0, verifying = 0;
        std::string report;
        for (;;) {
            const std::wstring text = receiver.complete(id);
            const std::int64_t now = ZTimeNow();
            if (!held && (text == L"100%" || text == L"100% (Verifying...)")) held = now;
            if (!verifying && text == L"100% (Verifying...)") verifying = now;
            if (receiver.instance.dequeue(L"ZClient_commandQueue", report)) break;
            if (now - start > 300000000) break;
            ZThreadSleep(2000);
        }
        const std::int64_t end = ZTimeNow();
        serviceCPU += threadSeconds("ZClient.ZFile") - cpuBefore;
        if (report.find("Outcome: Done") == std::string::npos || !held || !verifying) {
            state.SkipWithError("the transfer did not end as done");
            break;
        }
        blocks += static_cast<double>(held - start) / 1e6;
        silent += static_cast<double>(verifying - held) / 1e6;
        verify += static_cast<double>(end - verifying) / 1e6;
        total += static_cast<double>(end - start) / 1e6;
        state.SetIterationTime(static_cast<double>(end - start) / 1e6);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["blocks_s"] = blocks / n;
    state.counters["silent_s"] = silent / n;
    state.counters["verify_s"] = verify / n;
    state.counters["block_MBps"] = blocks > 0 ? kTransferSize * n / blocks / 1e6 : 0;
    state.counters["total_MBps"] = total > 0 ? kTransferSize * n / total / 1e6 : 0;
    // Both services' threads and the digest workers, per second of transfer.
    state.counters["service_cpu"] = total > 0 ? serviceCPU / total : 0;
    state.counters["rcvbuf_drops"] = static_cast<double>(rcvbufErrors() - dropsBefore) / n;
    if (trace) {
        ZSetDebugHooks(nullptr, nullptr, nullptr);
        ZLogSetFilter("");
        state.counters["timeouts"] = gTimeouts.load() / n;
        state.counters["loss_events"] = gLossEvents.load() / n;
        state.counters["largest_cwnd"] = gLargestWindow.load();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTransferSize));
    std::remove(source.c_str());
    std::remove(target.c_str());
}
BENCHMARK(BM_Transfer1GiB)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// 1 GiB of 1052-byte datagrams from one thread to a socket a second thread
// drains: what arrives per second is the reference for the transfer.
void BM_RawBlast1GiB(benchmark::State& state) {
    const std::string datagram(kBlockDatagram, 'x');
    const std::int64_t count = static_cast<std::int64_t>(kTransferSize / ZFS_BLOCKSIZE);
    double arrived = 0, sentBytes = 0, seconds = 0;
    for (auto _ : state) {
        ZNetUDPPort* from = ZNetUDPPortOpen(L"127.0.0.1:0");
        ZNetUDPPort* to = ZNetUDPPortOpen(L"127.0.0.1:0");
        const std::wstring toHost = ZNetUDPPortGetLocalHost(to);
        std::atomic<bool> stop{false};
        std::atomic<std::int64_t> received{0}, last{0};
        std::thread drain([&] {
            std::string data;
            std::wstring sender;
            while (!stop.load()) {
                ZNetWait({to}, {}, {}, 20000);
                while (ZNetUDPPortRecv(to, data, sender)) {
                    received.fetch_add(static_cast<std::int64_t>(data.size()));
                    last.store(ZTimeNow());
                }
            }
        });
        const std::int64_t start = ZTimeNow();
        for (std::int64_t i = 0; i < count; ++i) ZNetUDPPortSend(from, toHost, datagram.data(), kBlockDatagram);
        // Whatever is still queued arrives within a moment.
        ZThreadSleep(100000);
        stop.store(true);
        drain.join();
        const std::int64_t end = std::max(last.load(), start + 1);
        state.SetIterationTime(static_cast<double>(end - start) / 1e6);
        arrived += static_cast<double>(received.load());
        sentBytes += static_cast<double>(count) * kBlockDatagram;
        seconds += static_cast<double>(end - start) / 1e6;
        ZNetUDPPortClose(from);
        ZNetUDPPortClose(to);
    }
    state.counters["arrived_MBps"] = arrived / seconds / 1e6;
    state.counters["arrived_share"] = arrived / sentBytes;
}
BENCHMARK(BM_RawBlast1GiB)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
