// Media files a capture can take its video and audio from instead of the
// devices: uncompressed AVI (RGB24 or YUY2 video, PCM audio) and YUV4MPEG2
// (4:2:0 or 4:2:2, handed on as YUY2).
//
// Stateless: the reader functions may be called from any thread.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "ZCaptureBackend.h"

// Where each stream of a media file lies and how its samples are laid out.
struct ZCaptureMediaFile {
    enum Layout { AVI_FRAMES, Y4M_420, Y4M_422 };
    struct Chunk {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
    };

    std::string path;
    // Video: the type handed to the tap (header height positive = bottom-up).
    ZCaptureVideoType video;
    Layout layout = AVI_FRAMES;
    std::uint32_t storedRowBytes = 0;  // AVI rows are padded to four bytes
    std::vector<Chunk> frames;
    // Audio (AVI only): the whole PCM stream.
    bool hasAudio = false;
    ZCaptureAudioType audio;
    std::string audioBytes;
};

// Reads a file's layout and index; false after one warning line when it is
// not a file of these kinds or is damaged.
bool ZCaptureReadMediaFile(const std::string& path, ZCaptureMediaFile& file);
// One frame as the video type describes it (rows compact); false when the
// file cannot be read there.
bool ZCaptureReadMediaFrame(std::ifstream& in, const ZCaptureMediaFile& file, std::size_t index, std::string& out);
