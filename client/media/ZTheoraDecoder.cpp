#include <cstring>
#include <stdexcept>

#include "ZImage.h"
#include "ZOgg.h"
#include "ZTheora.h"
#include "ZUtil.h"

ZTheoraDecoder::ZTheoraDecoder(const unsigned char* headerPacketBuffer, int headerPacketLength) {
    ZTRACE_KIND("ZTheoraDecoder");
    if (!headerPacketBuffer || headerPacketLength < 0) _refuse("Theora codebook missing");
    ogg_packet headerPacket, commentPacket, tablePacket;
    int start = 0;
    int bytesRead = ZDeserialize(headerPacketBuffer, headerPacketLength, headerPacket);
    if (!bytesRead) _refuse("Theora codebook: no header packet");
    start += bytesRead;
    bytesRead = ZDeserialize(headerPacketBuffer + start, headerPacketLength - start, commentPacket);
    if (!bytesRead) _refuse("Theora codebook: no comment packet");
    start += bytesRead;
    bytesRead = ZDeserialize(headerPacketBuffer + start, headerPacketLength - start, tablePacket);
    if (!bytesRead) _refuse("Theora codebook: no tables packet");

    theora_info_init(&_theoraInfo);
    theora_comment_init(&_theoraComment);
    const bool headersRead = !theora_decode_header(&_theoraInfo, &_theoraComment, &headerPacket) &&
                             !theora_decode_header(&_theoraInfo, &_theoraComment, &commentPacket) &&
                             !theora_decode_header(&_theoraInfo, &_theoraComment, &tablePacket);
    if (!headersRead || _theoraInfo.width == 0 || _theoraInfo.height == 0 ||
        theora_decode_init(&_theoraState, &_theoraInfo)) {
        theora_comment_clear(&_theoraComment);
        theora_info_clear(&_theoraInfo);
        _refuse("Theora codebook refused by the library");
    }
    _outputFormat = ZImageFormat{ZIT_RGB24, static_cast<std::int32_t>(_theoraInfo.width),
                                 static_cast<std::int32_t>(_theoraInfo.height)};
}

void ZTheoraDecoder::_refuse(const char* what) {
    // The base's destructor runs while this unwinds; registered, it goes quietly.
    ZTRACK(this, ZTheoraDecoder);
    throw std::runtime_error(what);
}

ZTheoraDecoder::~ZTheoraDecoder() {
    ZTRACE();
    theora_clear(&_theoraState);
    theora_comment_clear(&_theoraComment);
    theora_info_clear(&_theoraInfo);
}

namespace {

// Copies one plane row by row into a tight buffer; the library's rows may
// be wider than the picture and run upward (negative stride).
void copyPlane(std::vector<unsigned char>& to, const unsigned char* from, int width, int height, int stride) {
    to.resize(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        std::memcpy(&to[static_cast<std::size_t>(row) * width], from + static_cast<std::ptrdiff_t>(row) * stride,
                    static_cast<std::size_t>(width));
}

}  // namespace

bool ZTheoraDecoder::decode(const unsigned char* packetBuffer, int packetLength, ZImageFormat& format,
                            std::string& out) {
    ZTRACE();
    invariantTest();
    if (!packetBuffer || packetLength < 0) throw std::runtime_error("Theora packet missing");
    ogg_packet framePacket;
    if (!ZDeserialize(packetBuffer, packetLength, framePacket))
        throw std::runtime_error("Theora packet does not hold a whole framed packet");
    if (theora_decode_packetin(&_theoraState, &framePacket) < 0)
        throw std::runtime_error("Theora packet refused by the library");
    yuv_buffer outputYUV;
    if (theora_decode_YUVout(&_theoraState, &outputYUV))
        throw std::runtime_error("Theora picture not available");
    // The picture is the stream's size, which our own headers fixed.
    if (outputYUV.y_width != _outputFormat.width || outputYUV.y_height != _outputFormat.height ||
        outputYUV.uv_width != _outputFormat.width / 2 || outputYUV.uv_height != _outputFormat.height / 2)
        throw std::runtime_error("Theora picture of an unexpected size");
    copyPlane(_yBuffer, outputYUV.y, outputYUV.y_width, outputYUV.y_height, outputYUV.y_stride);
    copyPlane(_uBuffer, outputYUV.u, outputYUV.uv_width, outputYUV.uv_height, outputYUV.uv_stride);
    copyPlane(_vBuffer, outputYUV.v, outputYUV.uv_width, outputYUV.uv_height, outputYUV.uv_stride);
    format = _outputFormat;
    ZImageConvertFromIYUY(ZImageFormat{ZIT_IYUY, outputYUV.y_width, outputYUV.y_height}, _yBuffer.data(),
                          _uBuffer.data(), _vBuffer.data(), _outputFormat, out);
    return theora_packet_iskeyframe(&framePacket) != 0;
}
