// Push-to-talk speech as Speex narrowband. One encode call turns a run of
// 16-bit PCM into one audio packet: N (4 bytes, little-endian), then the
// Speex bit-stream of every whole frame of the run followed by the
// library's terminator. The decoder is set up from a codebook, which is the
// sampling rate as 4 bytes; it never travels, the receiver rebuilds it from
// the rate in each audio packet's sub-header. Samples are neither resampled
// nor filtered: the rate reaches the library only through its set-rate
// request, so both ends must use the same library.
//
// Threading: no locks. Each class keeps one float scratch buffer per thread;
// an instance is used by one thread at a time (encoders on the audio capture
// thread, decoders on the playback thread).
#pragma once

#include <speex/speex_bits.h>

#include <cstdint>
#include <string>

#include "ZNonPortable_Capture.h"
#include "ZObject.h"
#include "ZWaveFormat.h"

// The codebook of a sampling rate: the rate as 4 bytes. Replaces buffer.
void ZSpeexEncoder_generateCodebook(std::string& codebook, std::int32_t hz);

// Encodes 16-bit mono PCM of one capture format into audio packets.
class ZSpeexEncoder : public ZHeapObject {
public:
    explicit ZSpeexEncoder(const ZAudioFormat& format);
    ~ZSpeexEncoder() override;

    // Bytes of PCM in one Speex frame (320 for 16-bit narrowband).
    int getFrameSize();
    // Appends one packet of the whole frames of the samples to packetBuffer.
    // A trailing partial frame is dropped (one warning per encoder); a run
    // without a whole frame appends nothing.
    void encode(const unsigned char* sampleBuffer, int length, std::string& packetBuffer);

private:
    ZAudioFormat _format;
    SpeexBits _bits;
    void* _encoderState = nullptr;
    std::int32_t _frameSize = 0;
    bool _warnedPartialFrame = false;
};

// Decodes audio packets of one sampling rate into 16-bit mono PCM. Bytes
// from a peer that it cannot use (a codebook that is not a positive 4-byte
// rate, a packet whose length field disagrees, no whole frame) raise
// std::runtime_error; nothing a peer sends stops the program.
class ZSpeexDecoder : public ZHeapObject {
public:
    ZSpeexDecoder(const unsigned char* headerPacketBuffer, int headerPacketLength);
    ~ZSpeexDecoder() override;

    WAVEFORMATEX getWaveFormat();
    // Replaces out with the packet's samples, saturated to 16 bits.
    void decode(const unsigned char* fromSpeexBytes, int numSpeexBytes, std::string& out);

private:
    [[noreturn]] void _refuse(const char* what);

    SpeexBits _bits;
    WAVEFORMATEX _waveFormat;
    void* _decoderState = nullptr;
    std::int32_t _frameSize = 0;
};
