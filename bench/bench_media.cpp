// The media codecs beside the bare library calls on the same input: one
// Speex frame encoded and decoded (a frame is 20 ms of speech, 7.27 ms at
// the capture's 22000 Hz), Theora frames cropped, scaled and encoded (15
// frames a second leave 66.7 ms each), pictures decoded at three sizes,
// and the codebook a receiver makes per size change.
#include <benchmark/benchmark.h>
#include <speex/speex.h>
#include <theora/theoraenc.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "ZImage.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZOgg.h"
#include "ZRTP.h"
#include "ZVideoPlaybackStream.h"
#include "ZVideoRenderer.h"
#include "ZSpeex.h"
#include "ZTheora.h"

namespace {

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string speech(int samples) {
    std::string pcm(static_cast<std::size_t>(samples) * 2, '\0');
    std::mt19937 rng(3);
    for (int i = 0; i < samples; ++i) {
        const auto s = static_cast<std::int16_t>(6000 * std::sin(i * 0.29) + 2000 * std::sin(i * 0.071) + (rng() & 255));
        std::memcpy(&pcm[2 * static_cast<std::size_t>(i)], &s, 2);
    }
    return pcm;
}

// Smooth pictures with some noise, as a camera gives them.
std::string picture(int w, int h, int bpp, int frame) {
    std::string s(static_cast<std::size_t>(w) * h * bpp, '\0');
    std::mt19937 rng(frame);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < bpp; ++c)
                s[(static_cast<std::size_t>(y) * w + x) * bpp + c] =
                    static_cast<char>((x + 2 * y + 40 * c + frame + (rng() & 15)) & 0xFF);
    return s;
}

void speexWrapped(benchmark::State& state) {
    const std::string pcm = speech(160 * 64);
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
    std::string codebook, packet, out;
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    std::unique_ptr<ZSpeexDecoder> decoder(ZSAFENEW(ZSpeexDecoder, bytes(codebook), 4));
    std::size_t frame = 0;
    for (auto _ : state) {
        packet.clear();
        encoder->encode(bytes(pcm) + 320 * frame, 320, packet);
        decoder->decode(bytes(packet), static_cast<int>(packet.size()), out);
        benchmark::DoNotOptimize(out.data());
        frame = (frame + 1) % 64;
    }
}

void speexBare(benchmark::State& state) {
    const std::string pcm = speech(160 * 64);
    void* encoder = speex_encoder_init(&speex_nb_mode);
    void* decoder = speex_decoder_init(&speex_nb_mode);
    spx_int32_t rate = 22000;
    speex_encoder_ctl(encoder, SPEEX_SET_SAMPLING_RATE, &rate);
    speex_decoder_ctl(decoder, SPEEX_SET_SAMPLING_RATE, &rate);
    SpeexBits bits;
    speex_bits_init(&bits);
    float in[160], out[160];
    char packed[200];
    std::size_t frame = 0;
    for (auto _ : state) {
        for (int i = 0; i < 160; ++i) {
            std::int16_t s;
            std::memcpy(&s, &pcm[320 * frame + 2 * i], 2);
            in[i] = s;
        }
        speex_bits_reset(&bits);
        speex_encode(encoder, in, &bits);
        speex_bits_insert_terminator(&bits);
        const int n = speex_bits_write(&bits, packed, sizeof(packed));
        speex_bits_read_from(&bits, packed, n);
        speex_decode(decoder, &bits, out);
        benchmark::DoNotOptimize(out);
        frame = (frame + 1) % 64;
    }
    speex_bits_destroy(&bits);
    speex_encoder_destroy(encoder);
    speex_decoder_destroy(decoder);
}

// ZTheoraEncoder on w x h frames of a type, cropped at crop and scaled to side x side.
void theoraWrapped(benchmark::State& state, std::int32_t type, int w, int h, ZRect crop, int outW, int outH) {
    const int bpp = type == ZIT_YUY2 ? 2 : 3;
    std::vector<std::string> frames;
    for (int i = 0; i < 8; ++i) frames.push_back(picture(w, h, bpp, i));
    std::unique_ptr<ZTheoraEncoder> encoder(ZSAFENEW(ZTheoraEncoder, ZImageFormat{type, w, h}, crop, outW, outH, 15));
    std::string packet;
    std::size_t i = 0;
    for (auto _ : state) {
        packet.clear();
        encoder->encode(bytes(frames[i % 8]), static_cast<int>(frames[i % 8].size()), packet);
        benchmark::DoNotOptimize(packet.data());
        ++i;
    }
}

// The library alone on planes made beforehand from the same frames.
void theoraBare(benchmark::State& state, int w, int h) {
    std::vector<std::string> ys, us, vs;
    for (int i = 0; i < 8; ++i) {
        std::string y, u, v;
        const std::string rgb = picture(w, h, 3, i);
        ZImageConvertToIYUY(ZImageFormat{ZIT_RGB24, w, h}, bytes(rgb), y, u, v);
        ys.push_back(y);
        us.push_back(u);
        vs.push_back(v);
    }
    std::string codebook;
    theora_info info;
    theora_state state_;
    ZTheoraEncoder_generateCodebook(codebook, info, state_, w, h);
    std::size_t i = 0;
    for (auto _ : state) {
        yuv_buffer yuv;
        yuv.y_width = w;
        yuv.y_height = h;
        yuv.y_stride = w;
        yuv.uv_width = w / 2;
        yuv.uv_height = h / 2;
        yuv.uv_stride = w / 2;
        yuv.y = reinterpret_cast<unsigned char*>(ys[i % 8].data());
        yuv.u = reinterpret_cast<unsigned char*>(us[i % 8].data());
        yuv.v = reinterpret_cast<unsigned char*>(vs[i % 8].data());
        theora_encode_YUVin(&state_, &yuv);
        ogg_packet packet;
        theora_encode_packetout(&state_, 0, &packet);
        benchmark::DoNotOptimize(packet.packet);
        ++i;
    }
    theora_clear(&state_);
    theora_info_clear(&info);
}

void theoraDecode(benchmark::State& state, int side) {
    std::unique_ptr<ZTheoraEncoder> encoder(
        ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, side, side}, ZRect{0, 0, side, side}, side, side, 15));
    std::vector<std::string> packets;
    for (int i = 0; i < 64; ++i) {
        const std::string frame = picture(side, side, 3, i);
        std::string packet;
        encoder->encode(bytes(frame), static_cast<int>(frame.size()), packet);
        packets.push_back(packet);
    }
    std::string codebook;
    ZTheoraEncoder_generateCodebook(codebook, side, side);
    std::unique_ptr<ZTheoraDecoder> decoder;
    ZImageFormat format;
    std::string out;
    std::size_t i = 0;
    for (auto _ : state) {
        // A fresh decoder at each key frame keeps the stream in order.
        if (i % 64 == 0) {
            state.PauseTiming();
            decoder.reset(ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size())));
            state.ResumeTiming();
        }
        decoder->decode(bytes(packets[i % 64]), static_cast<int>(packets[i % 64].size()), format, out);
        benchmark::DoNotOptimize(out.data());
        ++i;
    }
}

void theoraCodebook(benchmark::State& state, int side) {
    std::string codebook;
    for (auto _ : state) {
        ZTheoraEncoder_generateCodebook(codebook, side, side);
        benchmark::DoNotOptimize(codebook.data());
    }
}

// From a received datagram to the renderer's queue: one audio packet of
// seven Speex frames, or one 48 x 48 video packet, through a playback
// stream whose renderer plays into the null sound device.
void playbackRecv(benchmark::State& state, bool video) {
    _ZSoundBufferSetDevice("", "");
    const std::string settings = "/tmp/bench_media_" + std::to_string(getpid()) + ".ini";
    ZInstance* instance = ZSAFENEW(ZInstance, std::wstring(settings.begin(), settings.end()));
    ZMegaPort* port = ZSAFENEW(ZMegaPort, L"bench");
    ZHTTPHeaders open(L"OPEN");
    open.set(L"Buddy-Device-GUID", L"pal@zandrel.net@dev");
    std::unique_ptr<ZVideoPlaybackStream> stream(ZSAFENEW(ZVideoPlaybackStream, instance, port, open));
    std::vector<std::string> packets;
    if (video) {
        std::unique_ptr<ZTheoraEncoder> encoder(
            ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 640, 480}, ZRect{80, 0, 560, 480}, 48, 48, 15));
        for (int i = 0; i < 64; ++i) {
            const std::string frame = picture(640, 480, 3, i);
            std::string payload;
            encoder->encode(bytes(frame), static_cast<int>(frame.size()), payload);
            packets.push_back(payload);
        }
    } else {
        std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
        const std::string pcm = speech(1120 * 64);
        for (int i = 0; i < 64; ++i) {
            std::string payload;
            encoder->encode(bytes(pcm) + 2240 * i, 2240, payload);
            packets.push_back(payload);
        }
    }
    const std::uint32_t subHeader = video ? 48 : 22000;
    std::uint32_t seq = 0;
    std::string datagram;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string& payload = packets[seq % 64];
        ++seq;
        ZRTPCompose(datagram, video ? 2 : 1, static_cast<std::uint16_t>(seq), seq * 50, 1, &subHeader, 4,
                    payload.data(), static_cast<int>(payload.size()));
        state.ResumeTiming();
        stream->recv(datagram);
    }
    stream.reset();
    delete port;
    delete instance;
    unlink(settings.c_str());
}

}  // namespace

BENCHMARK_CAPTURE(playbackRecv, Audio, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(playbackRecv, Video48, true)->Unit(benchmark::kMicrosecond);
BENCHMARK(speexWrapped)->Unit(benchmark::kMicrosecond);
BENCHMARK(speexBare)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(theoraWrapped, BGR24_320x240, ZIT_BGR24, 320, 240, ZRect{0, 0, 320, 240}, 320, 240)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(theoraWrapped, YUY2_320x240, ZIT_YUY2, 320, 240, ZRect{0, 0, 320, 240}, 320, 240)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(theoraBare, Planes_320x240, 320, 240)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(theoraWrapped, BGR24_640x480_to_48, ZIT_BGR24, 640, 480, ZRect{80, 0, 560, 480}, 48, 48)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(theoraDecode, Side48, 48)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(theoraDecode, Side160, 160)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(theoraDecode, Side320, 320)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(theoraCodebook, Side48, 48)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(theoraCodebook, Side320, 320)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
