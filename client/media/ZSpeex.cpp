#include "ZSpeex.h"

#include <speex/speex.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "ZPortable_Bytes.h"
#include "ZUtil.h"

namespace {

// The float frames of the calls on this thread, kept between calls.
thread_local std::vector<float> fromSamplesFloat;
thread_local std::vector<float> toSamplesFloat;

constexpr int kSpeexGetFrameSize = 3;   // SPEEX_GET_FRAME_SIZE
constexpr int kSpeexSetSamplingRate = 24;  // SPEEX_SET_SAMPLING_RATE

std::int16_t saturate(float sample) {
    if (std::isnan(sample)) return 0;
    if (sample <= -32768.0f) return -32768;
    if (sample >= 32767.0f) return 32767;
    return static_cast<std::int16_t>(sample);  // toward zero
}

}  // namespace

void ZSpeexEncoder_generateCodebook(std::string& codebook, std::int32_t hz) {
    ZTRACE();
    ZPRECONDITION(hz);
    codebook.clear();
    ZSerialize(static_cast<int>(hz), codebook);
}

// ---- encoder ---------------------------------------------------------------------------

ZSpeexEncoder::ZSpeexEncoder(const ZAudioFormat& format) : _format(format) {
    ZTRACE_KIND("ZSpeexEncoder");
    speex_bits_init(&_bits);
    ZASSERT_T((_encoderState = speex_encoder_init(&speex_nb_mode)) != nullptr,
              "_encoderState = speex_encoder_init( &speex_nb_mode )");
    speex_encoder_ctl(_encoderState, kSpeexGetFrameSize, &_frameSize);
    spx_int32_t rate = static_cast<spx_int32_t>(_format.samplesPerSecond);
    speex_encoder_ctl(_encoderState, kSpeexSetSamplingRate, &rate);
}

ZSpeexEncoder::~ZSpeexEncoder() {
    ZTRACE();
    speex_bits_destroy(&_bits);
    if (_encoderState) speex_encoder_destroy(_encoderState);
}

int ZSpeexEncoder::getFrameSize() {
    ZTRACE();
    invariantTest();
    return _frameSize * static_cast<int>(_format.bytesPerSample);
}

void ZSpeexEncoder::encode(const unsigned char* sampleBuffer, int length, std::string& packetBuffer) {
    ZTRACE();
    invariantTest();
    ZPRECONDITION(sampleBuffer && length >= 0);
    if (_format.bytesPerSample != 2) {
        ZLOG(L"ERROR Attempting to encode unsupported bpp " << (_format.bytesPerSample * 2) << L", aborting.");
        ZAbort();
        return;
    }
    const int samples = length / 2;
    const int frames = _frameSize > 0 ? samples / _frameSize : 0;
    if (frames * _frameSize != samples || (length % 2)) {
        // The capture's own chunking can end a run inside a frame: the
        // whole frames go out, the rest is dropped.
        if (!_warnedPartialFrame)
            ZLOG(L"WARNING Encoding " << length << L" bytes, not a whole number of " << getFrameSize()
                                      << L"-byte frames; dropping the partial frame.");
        _warnedPartialFrame = true;
    }
    if (frames == 0) return;
    fromSamplesFloat.resize(static_cast<std::size_t>(frames) * _frameSize);
    for (std::size_t i = 0; i < fromSamplesFloat.size(); ++i) {
        std::int16_t sample;
        std::memcpy(&sample, sampleBuffer + 2 * i, 2);
        fromSamplesFloat[i] = static_cast<float>(sample);
    }
    speex_bits_reset(&_bits);
    for (int i = 0; i < frames; ++i)
        speex_encode(_encoderState, &fromSamplesFloat[static_cast<std::size_t>(i) * _frameSize], &_bits);
    speex_bits_insert_terminator(&_bits);
    const int numBytes = speex_bits_nbytes(&_bits);
    ZSerialize(numBytes, packetBuffer);
    const std::size_t oldSize = packetBuffer.size();
    packetBuffer.resize(oldSize + numBytes);
    ZASSERT(numBytes == speex_bits_write( &_bits, &packetBuffer[oldSize], numBytes ));
}

// ---- decoder ---------------------------------------------------------------------------

ZSpeexDecoder::ZSpeexDecoder(const unsigned char* headerPacketBuffer, int headerPacketLength) {
    ZTRACE_KIND("ZSpeexDecoder");
    // The codebook is rebuilt from a peer's sub-header: refuse, never stop.
    if (!headerPacketBuffer || headerPacketLength != static_cast<int>(sizeof(int)))
        _refuse("Speex codebook is not 4 bytes (headerPacketLength == sizeof(int))");
    std::int32_t rate = 0;
    std::memcpy(&rate, headerPacketBuffer, 4);
    if (rate <= 0) _refuse("Speex codebook rate is not positive");
    _waveFormat.wFormatTag = WAVE_FORMAT_PCM;
    _waveFormat.nChannels = 1;
    _waveFormat.nSamplesPerSec = static_cast<std::uint32_t>(rate);
    _waveFormat.nAvgBytesPerSec = static_cast<std::uint32_t>(rate) * 2;
    _waveFormat.nBlockAlign = 2;
    _waveFormat.wBitsPerSample = 16;
    _waveFormat.cbSize = 0;
    speex_bits_init(&_bits);
    ZASSERT_T((_decoderState = speex_decoder_init(&speex_nb_mode)) != nullptr,
              "_decoderState = speex_decoder_init( &speex_nb_mode )");
    spx_int32_t samplesPerSec = rate;
    ZASSERT_T(!speex_decoder_ctl(_decoderState, kSpeexSetSamplingRate, &samplesPerSec),
              "!speex_decoder_ctl( _decoderState, 24, &_waveFormat.nSamplesPerSec )");
    speex_decoder_ctl(_decoderState, kSpeexGetFrameSize, &_frameSize);
}

void ZSpeexDecoder::_refuse(const char* what) {
    // The base's destructor runs while this unwinds; registered, it goes quietly.
    ZTRACK(this, ZSpeexDecoder);
    throw std::runtime_error(what);
}

ZSpeexDecoder::~ZSpeexDecoder() {
    ZTRACE();
    speex_bits_destroy(&_bits);
    if (_decoderState) speex_decoder_destroy(_decoderState);
}

WAVEFORMATEX ZSpeexDecoder::getWaveFormat() {
    ZTRACE();
    invariantTest();
    return _waveFormat;
}

void ZSpeexDecoder::decode(const unsigned char* fromSpeexBytes, int numSpeexBytes, std::string& out) {
    ZTRACE();
    invariantTest();
    out.clear();
    if (!fromSpeexBytes || numSpeexBytes < 4) throw std::runtime_error("Speex packet shorter than its length field");
    int sampleBufferSize = 0;
    ZDeserialize(reinterpret_cast<const char*>(fromSpeexBytes), static_cast<unsigned int>(numSpeexBytes),
                 sampleBufferSize);
    if (sampleBufferSize != numSpeexBytes - 4)
        throw std::runtime_error("Speex packet length field disagrees with its size (numSpeexBytes == sampleBufferSize)");
    if (sampleBufferSize == 0) throw std::runtime_error("Speex packet holds no frame");
    speex_bits_read_from(&_bits, reinterpret_cast<char*>(const_cast<unsigned char*>(fromSpeexBytes + 4)),
                         sampleBufferSize);
    // Frames are counted by the calls that decoded one: a run of an even
    // number of 300-bit frames ends on a byte, with no terminator after it.
    int frameCount = 0;
    int answer = 0;
    while (speex_bits_remaining(&_bits) >= 1) {
        const std::size_t needed = static_cast<std::size_t>(frameCount + 1) * _frameSize;
        if (toSamplesFloat.size() < needed)
            toSamplesFloat.resize(toSamplesFloat.empty() ? std::max<std::size_t>(_frameSize, needed)
                                                         : std::max(toSamplesFloat.size() * 2, needed),
                                  0.0f);
        answer = speex_decode(_decoderState, &_bits, &toSamplesFloat[static_cast<std::size_t>(frameCount) * _frameSize]);
        if (answer != 0) break;
        ++frameCount;
    }
    if (answer < -1) ZLOG(L"WARNING Error #" << answer << L" reported by speex_decode( ).");
    if (frameCount < 1) throw std::runtime_error("Speex packet holds no whole frame (frameCount > 1)");
    ZASSERT(_waveFormat.wBitsPerSample == 16);
    const std::size_t samples = static_cast<std::size_t>(frameCount) * _frameSize;
    out.resize(samples * 2);
    for (std::size_t i = 0; i < samples; ++i) {
        const std::int16_t sample = saturate(toSamplesFloat[i]);
        std::memcpy(&out[2 * i], &sample, 2);
    }
}
