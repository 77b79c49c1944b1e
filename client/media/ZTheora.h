// Webcam video as Theora. The encoder cuts a crop rectangle out of each
// captured frame (24-bit BGR or packed YUY2), scales it to the output size
// and appends the encoded frame as one framed codec packet (ZOgg.h). The
// decoder turns such a packet back into an RGB24 picture.
//
// Theora needs three header packets before it can decode; they never
// travel. ZTheoraEncoder_generateCodebook builds all three from the picture
// size and one fixed set of encoder settings, so a receiver regenerates
// exactly the sender's headers from the size in each packet's sub-header.
// Both ends must use the same settings and library.
//
// Threading: no locks. An encoder belongs to its capture stream (video
// capture thread), a decoder to its playback stream.
#pragma once

#include <theora/theora.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ZObject.h"
#include "ZPortable_Rect.h"

class ZTheoraDecoder;

// Largest side of a picture a receiver regenerates headers for: a peer's
// sub-header must not make us allocate without bound.
constexpr int ZTHEORA_MAX_SIDE = 2048;

// The codebook of a width x height stream, for a receiver. A size from a
// peer that is not a positive multiple of 16 up to ZTHEORA_MAX_SIDE raises
// std::runtime_error.
void ZTheoraEncoder_generateCodebook(std::string& buffer, std::int32_t width, std::int32_t height);
// The same into caller-owned records, which stay set up for encoding.
void ZTheoraEncoder_generateCodebook(std::string& buffer, theora_info& encoderInfo, theora_state& theoraState,
                                     std::int32_t width, std::int32_t height);

// Crops, scales and encodes the frames of one capture format.
class ZTheoraEncoder : public ZHeapObject {
public:
    ZTheoraEncoder(const ZImageFormat& srcImageFormat, const ZRect& cropRect, std::int32_t outputWidth,
                   std::int32_t outputHeight, std::int32_t fps);
    ~ZTheoraEncoder() override;

    // Appends one framed packet with the encoded frame; a frame of a type
    // other than BGR24 or YUY2 is refused with a warning.
    void encode(const unsigned char* sampleBuffer, int length, std::string& packetBuffer);
    std::int32_t getOutputWidth();
    std::int32_t getOutputHeight();

private:
    ZImageFormat _srcImageFormat;
    ZRect _cropRect;
    std::int32_t _outputWidth = 0;
    std::int32_t _outputHeight = 0;
    theora_info _encoderInfo;
    theora_state _theoraState;
    std::string _croppedBuffer;
    std::string _yPlane, _uPlane, _vPlane;
    std::string _resizedY, _resizedU, _resizedV;
    std::string _codebook;
    // Built from the codebook to prove that it decodes; never used.
    ZTheoraDecoder* _debug_decoder = nullptr;
};

// Decodes the frames of one stream, set up from its codebook. A codebook or
// packet it cannot use raises std::runtime_error.
class ZTheoraDecoder : public ZHeapObject {
public:
    ZTheoraDecoder(const unsigned char* headerPacketBuffer, int headerPacketLength);
    ~ZTheoraDecoder() override;

    // Fills the picture as RGB24; answers whether the packet was a key frame.
    bool decode(const unsigned char* packetBuffer, int packetLength, ZImageFormat& format, std::string& out);

private:
    [[noreturn]] void _refuse(const char* what);

    theora_info _theoraInfo;
    theora_comment _theoraComment;
    theora_state _theoraState;
    std::vector<unsigned char> _yBuffer, _uBuffer, _vBuffer;
    ZImageFormat _outputFormat;
};
