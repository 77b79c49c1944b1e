// The receiving side of a talk, each figure beside a reference in the same
// run: one service pass that takes a stream's share of a second (four audio
// and one video bucket of 20 + 5 a second) to the renderer's queues, against
// the bare decoders on the same packets; the pictures held for sound output
// reaching the store after the first refill, against writing them into the
// store directly; retiring a playing renderer (its two feeders joined), against
// starting and joining two idle threads; and the service thread fed 1000
// packets a second, against the rate it was offered (the buckets waiting at
// most, and the time to empty them once the sender stops).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "ZHTTPHeaders.h"
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZRTP.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZVideoPlaybackService.h"
#include "ZVideoPlaybackStream.h"
#include "ZVideoRenderer.h"

namespace {

using Clock = std::chrono::steady_clock;

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

const wchar_t* const kSender = L"10.0.0.5:4000";

// Speech-like sound and camera-like pictures, encoded once by the sending
// side's own encoders: 64 audio payloads of 1120 samples at 22000 Hz and 64
// video payloads of 48 x 48 cut from 640 x 480.
struct Payloads {
    std::vector<std::string> audio, video;
    Payloads() {
        std::unique_ptr<ZSpeexEncoder> speech(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
        std::string pcm(1120 * 2, '\0');
        std::mt19937 rng(3);
        for (int p = 0; p < 64; ++p) {
            for (int i = 0; i < 1120; ++i) {
                const int n = p * 1120 + i;
                const auto s = static_cast<std::int16_t>(6000 * std::sin(n * 0.29) + 2000 * std::sin(n * 0.071) +
                                                         (rng() & 255));
                std::memcpy(&pcm[2 * static_cast<std::size_t>(i)], &s, 2);
            }
            audio.emplace_back();
            speech->encode(bytes(pcm), static_cast<int>(pcm.size()), audio.back());
        }
        std::unique_ptr<ZTheoraEncoder> camera(
            ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 640, 480}, ZRect{80, 0, 560, 480}, 48, 48, 5));
        std::string frame(640 * 480 * 3, '\0');
        for (int f = 0; f < 64; ++f) {
            for (int y = 0; y < 480; ++y)
                for (int x = 0; x < 640; ++x)
                    for (int c = 0; c < 3; ++c)
                        frame[(static_cast<std::size_t>(y) * 640 + x) * 3 + c] =
                            static_cast<char>((x + 2 * y + 40 * c + 3 * f + (rng() & 15)) & 0xFF);
            video.emplace_back();
            camera->encode(bytes(frame), static_cast<int>(frame.size()), video.back());
        }
    }
};

const Payloads& payloads() {
    static const Payloads p;
    return p;
}

std::string datagram(int type, std::uint32_t seq, const std::string& payload) {
    const std::uint32_t subHeader = type == 1 ? 22000 : 48;
    std::string out;
    ZRTPCompose(out, static_cast<std::uint8_t>(type), static_cast<std::uint16_t>(seq), seq * 50, 1, &subHeader, 4,
                payload.data(), static_cast<int>(payload.size()));
    return out;
}

void file(ZMegaPort* port, const std::string& bytes) {
    ZMegaPortBucket* bucket = port->getEmtpyBucket();
    bucket->from = kSender;
    bucket->buffer = bytes;
    port->fillRTPBucket(bucket);
}

// A store, a switchboard and a playback service with one stream from kSender,
// its sound going into the null device at the pace of the clock.
struct Receiver {
    std::string settings = "/tmp/bench_playback_" + std::to_string(getpid()) + ".ini";
    ZInstance* instance;
    ZMegaPort* port;
    ZVideoPlaybackService* service;
    std::uint32_t audioSeq = 0, videoSeq = 0;

    Receiver() {
        _ZSoundBufferSetDevice("", "");
        ZLogSetFilter("");
        instance = ZSAFENEW(ZInstance, std::wstring(settings.begin(), settings.end()));
        port = ZSAFENEW(ZMegaPort, L"bench");
        service = ZSAFENEW(ZVideoPlaybackService, instance, port);
        command(L"OPEN");
    }
    ~Receiver() {
        command(L"CLOSE");
        delete service;
        delete port;
        delete instance;
        unlink(settings.c_str());
    }
    void command(const wchar_t* method) {
        ZHTTPHeaders message(method);
        message.set(L"Buddy-Device-GUID", L"pal@zandrel.net@dev");
        message.set(L"Recv-From-Host", kSender);
        instance->enqueue(L"ZVideoPlaybackService_commandQueue", message.serialize());
        service->pass();
    }
    void fileAudio() {
        ++audioSeq;
        file(port, datagram(1, audioSeq, payloads().audio[audioSeq % 64]));
    }
    void fileVideo() {
        ++videoSeq;
        file(port, datagram(2, videoSeq, payloads().video[(videoSeq - 1) % 64]));
    }
};

// One pass of the service over a fifth of a second of a talk.
void passFromBucketToRenderer(benchmark::State& state) {
    auto receiver = std::make_unique<Receiver>();
    int passes = 0;
    for (auto _ : state) {
        // A fresh stream now and then, so the sound queued faster than the
        // clock plays it stays small.
        if (++passes % 64 == 0) {
            receiver->command(L"OPEN");
            receiver->audioSeq = receiver->videoSeq = 0;
        }
        for (int i = 0; i < 4; ++i) receiver->fileAudio();
        receiver->fileVideo();
        const auto start = Clock::now();
        receiver->service->pass();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["packets"] = benchmark::Counter(5.0 * state.iterations(), benchmark::Counter::kIsRate);
}

// The reference: the same four audio and one video payloads through the bare decoders.
void bareDecoders(benchmark::State& state) {
    std::string codebook;
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    std::unique_ptr<ZSpeexDecoder> speech(ZSAFENEW(ZSpeexDecoder, bytes(codebook), 4));
    ZTheoraEncoder_generateCodebook(codebook, 48, 48);
    std::unique_ptr<ZTheoraDecoder> pictures;
    std::string pcm, rgb;
    ZImageFormat format;
    std::uint32_t audio = 0, video = 0;
    for (auto _ : state) {
        if (video % 64 == 0) {
            state.PauseTiming();
            pictures.reset(ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size())));
            state.ResumeTiming();
        }
        for (int i = 0; i < 4; ++i) {
            const std::string& payload = payloads().audio[++audio % 64];
            speech->decode(bytes(payload), static_cast<int>(payload.size()), pcm);
        }
        const std::string& payload = payloads().video[video++ % 64];
        pictures->decode(bytes(payload), static_cast<int>(payload.size()), format, rgb);
        benchmark::DoNotOptimize(rgb.data());
    }
    state.counters["packets"] = benchmark::Counter(5.0 * state.iterations(), benchmark::Counter::kIsRate);
}

std::vector<std::string> testPictures(int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(48 * 48 * 3, static_cast<char>(20 + 30 * i));
    return out;
}

// Five pictures queued while the sound prebuffers: from the packet that
// starts sound output until the last of them is in the store.
void picturesAfterTheFirstRefill(benchmark::State& state) {
    _ZSoundBufferSetDevice("", "");
    ZLogSetFilter("");
    const std::string settings = "/tmp/bench_playback_p" + std::to_string(getpid()) + ".ini";
    ZInstance* instance = ZSAFENEW(ZInstance, std::wstring(settings.begin(), settings.end()));
    const std::vector<std::string> pictures = testPictures(5);
    WAVEFORMATEX format{1, 1, 8000, 16000, 2, 16, 0};
    const std::string sound(3200, '\x11');  // 200 ms
    for (auto _ : state) {
        state.PauseTiming();
        instance->clear(L"pal_Image");
        auto* renderer = ZSAFENEW(ZVideoRenderer, instance, L"pal_Image", 500000);
        renderer->queueAudio(0, format, bytes(sound), 3200);
        renderer->queueAudio(0, format, bytes(sound), 3200);
        for (int i = 0; i < 5; ++i)
            renderer->queueVideo(200000 * static_cast<std::uint64_t>(i), ZImageFormat{ZIT_RGB24, 48, 48},
                                 bytes(pictures[static_cast<std::size_t>(i)]));
        state.ResumeTiming();
        const auto start = Clock::now();
        renderer->queueAudio(0, format, bytes(sound), 3200);  // past the prebuffer: output starts
        while (instance->getRaw(L"pal_Image") != pictures[4]) std::this_thread::yield();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        state.PauseTiming();
        delete renderer;
        state.ResumeTiming();
    }
    delete instance;
    unlink(settings.c_str());
}

// The reference: the same five pictures written into the store directly.
void storeWrites(benchmark::State& state) {
    const std::string settings = "/tmp/bench_playback_s" + std::to_string(getpid()) + ".ini";
    ZInstance* instance = ZSAFENEW(ZInstance, std::wstring(settings.begin(), settings.end()));
    const std::vector<std::string> pictures = testPictures(5);
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const std::string& picture : pictures)
            ZImageTools_instanceWrite(instance, L"pal_Image", ZImageFormat{ZIT_RGB24, 48, 48}, bytes(picture));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    delete instance;
    unlink(settings.c_str());
}

// Deleting a renderer whose sound plays and whose video feeder runs, as the
// playback thread does when a sender changes its rate.
void retireRenderer(benchmark::State& state) {
    _ZSoundBufferSetDevice("", "");
    ZLogSetFilter("");
    const std::string settings = "/tmp/bench_playback_r" + std::to_string(getpid()) + ".ini";
    ZInstance* instance = ZSAFENEW(ZInstance, std::wstring(settings.begin(), settings.end()));
    const std::vector<std::string> pictures = testPictures(1);
    WAVEFORMATEX format{1, 1, 8000, 16000, 2, 16, 0};
    const std::string sound(9600, '\x11');  // 600 ms: all of it fits the buffer at the start
    for (auto _ : state) {
        state.PauseTiming();
        instance->clear(L"pal_Image");
        auto* renderer = ZSAFENEW(ZVideoRenderer, instance, L"pal_Image", 500000);
        renderer->queueAudio(0, format, bytes(sound), static_cast<int>(sound.size()));
        renderer->queueVideo(0, ZImageFormat{ZIT_RGB24, 48, 48}, bytes(pictures[0]));
        while (!instance->isSet(L"pal_Image")) std::this_thread::yield();
        // Let both feeders settle into their sleeps.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.ResumeTiming();
        const auto start = Clock::now();
        delete renderer;
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    delete instance;
    unlink(settings.c_str());
}

// The reference: two idle threads started, woken and joined.
struct Idle {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
};
void idleProc(void* data) {
    Idle* idle = static_cast<Idle*>(data);
    std::unique_lock<std::mutex> guard(idle->mutex);
    idle->wake.wait(guard, [&] { return idle->stop; });
}
void twoThreadJoins(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Idle idle;
        ZThreadId a = ZThreadOpen(L"bench_idle_a", idleProc, &idle);
        ZThreadId b = ZThreadOpen(L"bench_idle_b", idleProc, &idle);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state.ResumeTiming();
        const auto start = Clock::now();
        {
            std::lock_guard<std::mutex> guard(idle.mutex);
            idle.stop = true;
        }
        idle.wake.notify_all();
        ZThreadClose(a);
        ZThreadClose(b);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

// The service on its own thread, fed 800 audio and 200 video packets a
// second for two seconds by another thread: the buckets waiting at most
// (filled and not yet handled), and how long the last ones wait once the
// sender stops. The reference is the offered rate: a millisecond a packet.
void serviceAt1000PacketsASecond(benchmark::State& state) {
    for (auto _ : state) {
        auto receiver = std::make_unique<Receiver>();
        ZMegaPort* port = receiver->port;
        receiver->service->start(L"ZClient.ZVideoPlaybackService");
        const int created0 = port->getNumBucketsCreated();
        std::atomic<bool> sending{true};
        int maxWaiting = 0;
        std::thread sampler([&] {
            while (sending) {
                maxWaiting = std::max(maxWaiting, port->getNumBucketsCreated() - port->getNumEmptyBuckets());
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        const auto start = Clock::now();
        for (int i = 0; i < 2000; ++i) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(1000 * i));
            if (i % 5 == 4)
                receiver->fileVideo();
            else
                receiver->fileAudio();
        }
        const auto sent = Clock::now();
        while (port->getNumBucketsCreated() - port->getNumEmptyBuckets() > 0) std::this_thread::yield();
        const auto drained = Clock::now();
        sending = false;
        sampler.join();
        receiver->service->stop(true);
        state.SetIterationTime(std::chrono::duration<double>(drained - start).count());
        state.counters["max_waiting"] = maxWaiting;
        state.counters["drain_us"] = std::chrono::duration<double, std::micro>(drained - sent).count();
        state.counters["buckets"] = port->getNumBucketsCreated() - created0;
        state.counters["offered_s"] = 2.0;
    }
}

}  // namespace

BENCHMARK(passFromBucketToRenderer)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(bareDecoders)->Unit(benchmark::kMicrosecond);
BENCHMARK(picturesAfterTheFirstRefill)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(storeWrites)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(retireRenderer)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(twoThreadJoins)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(50);
BENCHMARK(serviceAt1000PacketsASecond)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();
