#include <theora/theoraenc.h>

#include <cstdlib>
#include <stdexcept>

#include "ZImage.h"
#include "ZOgg.h"
#include "ZTheora.h"
#include "ZUtil.h"

namespace {

// The one set of encoder settings both ends build their headers from.
void setEncoderInfo(theora_info& info, std::int32_t width, std::int32_t height) {
    theora_info_init(&info);
    info.width = info.frame_width = static_cast<ogg_uint32_t>(width);
    info.height = info.frame_height = static_cast<ogg_uint32_t>(height);
    info.offset_x = info.offset_y = 0;
    info.fps_numerator = info.fps_denominator = 1;
    info.aspect_numerator = info.aspect_denominator = 0;
    info.colorspace = OC_CS_UNSPECIFIED;
    info.target_bitrate = 45000;
    info.quality = 0;
    info.quick_p = 1;
    info.dropframes_p = 0;
    info.keyframe_auto_p = 1;
    info.keyframe_frequency = 64;
    info.keyframe_frequency_force = 64;
    info.keyframe_data_target_bitrate = 67500;
    info.keyframe_auto_threshold = 80;
    info.keyframe_mindistance = 8;
    info.noise_sensitivity = 2;
}

}  // namespace

void ZTheoraEncoder_generateCodebook(std::string& buffer, theora_info& encoderInfo, theora_state& theoraState,
                                     std::int32_t width, std::int32_t height) {
    ZTRACE();
    ZPRECONDITION(width && height);
    ZASSERT(!(width % 16));
    ZASSERT(!(height % 16));
    setEncoderInfo(encoderInfo, width, height);
    ZASSERT(!theora_encode_init( &theoraState, &encoderInfo ));
    // The rate control of this library drops frames as empty packets even
    // with dropframes_p 0; capping the bit reservoir keeps every frame.
    int rateFlags = TH_RATECTL_CAP_OVERFLOW;
    theora_control(&theoraState, TH_ENCCTL_SET_RATE_FLAGS, &rateFlags, sizeof(rateFlags));
    ZASSERT(!buffer.size( ));
    ogg_packet oggPacket;
    ZASSERT(!theora_encode_header( &theoraState, &oggPacket ));
    ZSerialize(oggPacket, buffer);
    theora_comment encoderComment;
    theora_comment_init(&encoderComment);
    ZASSERT(!theora_encode_comment( &encoderComment, &oggPacket ));
    ZSerialize(oggPacket, buffer);
    // The comment packet is the caller's to free.
    std::free(oggPacket.packet);
    theora_comment_clear(&encoderComment);
    ZASSERT(!theora_encode_tables( &theoraState, &oggPacket ));
    ZSerialize(oggPacket, buffer);
}

void ZTheoraEncoder_generateCodebook(std::string& buffer, std::int32_t width, std::int32_t height) {
    ZTRACE();
    // Receivers call this with the size a peer sent.
    if (width <= 0 || height <= 0 || width % 16 || height % 16 || width > ZTHEORA_MAX_SIDE ||
        height > ZTHEORA_MAX_SIDE)
        throw std::runtime_error("Theora picture size is not a positive multiple of 16 within the limit");
    theora_info encoderInfo;
    theora_state theoraState;
    buffer.clear();
    ZTheoraEncoder_generateCodebook(buffer, encoderInfo, theoraState, width, height);
    theora_clear(&theoraState);
    theora_info_clear(&encoderInfo);
}

ZTheoraEncoder::ZTheoraEncoder(const ZImageFormat& srcImageFormat, const ZRect& cropRect, std::int32_t outputWidth,
                               std::int32_t outputHeight, std::int32_t fps) {
    ZTRACE_KIND("ZTheoraEncoder");
    ZPRECONDITION(srcImageFormat.width > 0);
    ZPRECONDITION(srcImageFormat.height > 0);
    ZPRECONDITION(outputWidth > 0);
    ZPRECONDITION(outputHeight > 0);
    ZPRECONDITION(ZRectWithin( cropRect, srcImageFormat.width, srcImageFormat.height ));
    ZPRECONDITION(fps > 0);
    _srcImageFormat = srcImageFormat;
    _cropRect = cropRect;
    _outputWidth = outputWidth;
    _outputHeight = outputHeight;
    ZLOGC('E', L"ZTheoraEncoder( srcImageFormat=(" << srcImageFormat.type << L", width=" << srcImageFormat.width
                                                   << L", height=" << srcImageFormat.height << L"), cropRect=(left="
                                                   << cropRect.left << L", top=" << cropRect.top << L", right="
                                                   << cropRect.right << L", bottom=" << cropRect.bottom
                                                   << L"), outputWidth=" << outputWidth << L", outputHeight="
                                                   << outputHeight << L", fps=" << fps << L")");
    ZASSERT(!(_outputWidth% 16) && !(_outputHeight% 16));
    ZTheoraEncoder_generateCodebook(_codebook, _encoderInfo, _theoraState, _outputWidth, _outputHeight);
    _debug_decoder = ZSAFENEW(ZTheoraDecoder, reinterpret_cast<const unsigned char*>(_codebook.data()),
                              static_cast<int>(_codebook.size()));
}

ZTheoraEncoder::~ZTheoraEncoder() {
    ZTRACE();
    ZASSERT_PTR(_debug_decoder);
    delete _debug_decoder;
    theora_clear(&_theoraState);
    theora_info_clear(&_encoderInfo);
}

std::int32_t ZTheoraEncoder::getOutputWidth() {
    ZTRACE();
    invariantTest();
    return _outputWidth;
}

std::int32_t ZTheoraEncoder::getOutputHeight() {
    ZTRACE();
    invariantTest();
    return _outputHeight;
}

void ZTheoraEncoder::encode(const unsigned char* sampleBuffer, int length, std::string& packetBuffer) {
    ZTRACE();
    invariantTest();
    ZPRECONDITION(sampleBuffer && length >= 0);
    ZLOGC('E', L"ZTheoraEncoder::encode( sampleBuffer=..., length=" << length << L", packetBuffer=... )");
    const int cropWidth = _cropRect.right - _cropRect.left;
    const int cropHeight = _cropRect.bottom - _cropRect.top;
    if (_srcImageFormat.type != ZIT_BGR24 && _srcImageFormat.type != ZIT_YUY2) {
        ZLOG(L"WARNING unsupported format " << _srcImageFormat.type << L", ignoring.");
        return;
    }
    if (!ZImageFormatFits(_srcImageFormat, static_cast<std::size_t>(length))) {
        ZLOG(L"WARNING Frame of " << length << L" bytes is too short for " << _srcImageFormat.toString()
                                  << L", ignoring.");
        return;
    }
    ZImageFormat cropFormat{_srcImageFormat.type, cropWidth, cropHeight};
    if (_srcImageFormat.type == ZIT_BGR24) {
        ZImageConvert(_srcImageFormat, sampleBuffer, _cropRect, ZIT_RGB24, _croppedBuffer);
        cropFormat.type = ZIT_RGB24;
    } else {
        ZImageCrop(_srcImageFormat, sampleBuffer, _cropRect, _croppedBuffer);
    }
    ZImageConvertToIYUY(cropFormat, reinterpret_cast<const unsigned char*>(_croppedBuffer.data()), _yPlane, _uPlane,
                        _vPlane);
    const std::string* y = &_yPlane;
    const std::string* u = &_uPlane;
    const std::string* v = &_vPlane;
    if (cropWidth != _outputWidth || cropHeight != _outputHeight) {
        const ZImageFormat planes{ZIT_IYUY, cropWidth, cropHeight};
        ZImageResizeIYUY(planes, reinterpret_cast<const unsigned char*>(_yPlane.data()),
                         reinterpret_cast<const unsigned char*>(_uPlane.data()),
                         reinterpret_cast<const unsigned char*>(_vPlane.data()), _outputWidth, _outputHeight,
                         _resizedY, _resizedU, _resizedV);
        y = &_resizedY;
        u = &_resizedU;
        v = &_resizedV;
    }
    ZASSERT(_encoderInfo.width == static_cast<ogg_uint32_t>(_outputWidth) &&
            _encoderInfo.height == static_cast<ogg_uint32_t>(_outputHeight));
    yuv_buffer yuv;
    yuv.y_width = static_cast<int>(_encoderInfo.width);
    yuv.y_height = static_cast<int>(_encoderInfo.height);
    yuv.y_stride = yuv.y_width;
    yuv.uv_width = yuv.y_width / 2;
    yuv.uv_height = yuv.y_height / 2;
    yuv.uv_stride = yuv.uv_width;
    yuv.y = reinterpret_cast<unsigned char*>(const_cast<char*>(y->data()));
    yuv.u = reinterpret_cast<unsigned char*>(const_cast<char*>(u->data()));
    yuv.v = reinterpret_cast<unsigned char*>(const_cast<char*>(v->data()));
    ZASSERT(!theora_encode_YUVin( &_theoraState, &yuv ));
    ogg_packet oggPacket;
    ZASSERT(theora_encode_packetout( &_theoraState, 0, &oggPacket ) == 1);
    ZSerialize(oggPacket, packetBuffer);
}
