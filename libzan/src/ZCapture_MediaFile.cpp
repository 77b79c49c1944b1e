// Readers of the media files a capture can loop: every size and offset comes
// from the file and is checked against the file's length before use.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>

#include "ZCaptureMediaFile.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;  // 100 ns
constexpr std::int32_t kMaxSide = 8192;
constexpr std::size_t kMaxFrames = 1000000;
constexpr std::size_t kMaxAudioBytes = 64u << 20;
constexpr std::uint32_t kYUY2 = 0x32595559;

std::uint16_t u16At(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint32_t u32At(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(u16At(b, at)) | static_cast<std::uint32_t>(u16At(b, at + 2)) << 16;
}

// Reads exactly count bytes at an offset.
bool readAt(std::ifstream& in, std::uint64_t offset, std::size_t count, std::string& out) {
    out.resize(count);
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(out.data(), static_cast<std::streamsize>(count));
    return in.gcount() == static_cast<std::streamsize>(count);
}

std::int64_t clampInterval(std::int64_t interval) {
    // Between 1000 frames per second and one frame in ten seconds.
    return std::clamp<std::int64_t>(interval, kUnitsPerSecond / 1000, kUnitsPerSecond * 10);
}

// The AVI parts a capture uses, gathered while walking the chunks.
struct ZAviScan {
    std::ifstream& in;
    std::uint64_t fileSize;
    ZCaptureMediaFile& file;
    int streams = 0;
    int videoStream = -1;
    int audioStream = -1;
    std::int64_t interval = 0;
    bool videoReady = false;
    int audioBlockAlign = 0;
    std::vector<ZCaptureMediaFile::Chunk> audioChunks;
    std::uint64_t audioIndexed = 0;
    const char* fault = nullptr;

    bool walk(std::uint64_t begin, std::uint64_t end, int depth) {
        std::uint64_t at = begin;
        std::string head;
        while (at + 8 <= end) {
            if (!readAt(in, at, 8, head)) return fail("truncated chunk header");
            const std::string id = head.substr(0, 4);
            const std::uint64_t size = u32At(head, 4);
            const std::uint64_t body = at + 8;
            if (body + size > end) return fail("chunk runs past its list");
            if (id == "LIST") {
                std::string type;
                if (size < 4 || !readAt(in, body, 4, type)) return fail("bad list");
                if (depth > 4) return fail("lists nested too deep");
                if (type == "strl") ++streams;
                if (!walk(body + 4, body + size, depth + 1)) return false;
            } else if (!chunk(id, body, size)) {
                return false;
            }
            at = body + size + (size & 1);
        }
        return true;
    }

    bool chunk(const std::string& id, std::uint64_t body, std::uint64_t size) {
        const int stream = streams - 1;
        if (id == "strh") {
            std::string h;
            if (size < 32 || !readAt(in, body, 32, h)) return fail("short stream header");
            const std::string type = h.substr(0, 4);
            const std::uint32_t scale = u32At(h, 20), rate = u32At(h, 24);
            if (type == "vids" && videoStream < 0) {
                videoStream = stream;
                if (scale && rate) interval = kUnitsPerSecond * scale / rate;
            } else if (type == "auds" && audioStream < 0) {
                audioStream = stream;
            }
        } else if (id == "strf" && stream >= 0 && stream == videoStream && !videoReady) {
            std::string f;
            if (size < 40 || !readAt(in, body, 40, f)) return fail("short bitmap header");
            return takeBitmap(f);
        } else if (id == "strf" && stream >= 0 && stream == audioStream && !file.hasAudio) {
            std::string f;
            if (size < 16 || !readAt(in, body, 16, f)) return fail("short wave format");
            takeWave(f);
        } else if (id == "avih" && interval == 0) {
            std::string h;
            if (size >= 4 && readAt(in, body, 4, h)) interval = static_cast<std::int64_t>(u32At(h, 0)) * 10;
        } else if (id.size() == 4 && std::isdigit(static_cast<unsigned char>(id[0])) &&
                   std::isdigit(static_cast<unsigned char>(id[1]))) {
            const int number = (id[0] - '0') * 10 + (id[1] - '0');
            const std::string kind = id.substr(2);
            if (number == videoStream && (kind == "db" || kind == "dc") && size > 0) {
                if (file.frames.size() >= kMaxFrames) return fail("too many frames");
                file.frames.push_back({body, static_cast<std::uint32_t>(size)});
            } else if (number == audioStream && kind == "wb" && size > 0 && audioIndexed + size <= kMaxAudioBytes) {
                // Audio beyond what is kept in memory is left out of the index too.
                audioIndexed += size;
                audioChunks.push_back({body, static_cast<std::uint32_t>(size)});
            }
        }
        return true;
    }

    bool takeBitmap(const std::string& f) {
        const std::int32_t width = static_cast<std::int32_t>(u32At(f, 4));
        const std::int32_t height = static_cast<std::int32_t>(u32At(f, 8));
        const std::uint16_t bits = u16At(f, 14);
        const std::uint32_t compression = u32At(f, 16);
        if (width <= 0 || width > kMaxSide || height == 0 || height < -kMaxSide || height > kMaxSide)
            return fail("frame size out of range");
        ZCaptureVideoType& v = file.video;
        if (compression == ZCAPTURE_BI_RGB && bits == 24) {
            v.subtype = ZCAPTURE_SUBTYPE_RGB24;
            file.storedRowBytes = (static_cast<std::uint32_t>(width) * 3 + 3) & ~3u;
            v.header.height = height;
        } else if (compression == kYUY2 && bits == 16 && width % 2 == 0) {
            v.subtype = ZCAPTURE_SUBTYPE_YUY2;
            file.storedRowBytes = static_cast<std::uint32_t>(width) * 2;
            v.header.height = -std::abs(height);
        } else {
            return fail("video is neither uncompressed RGB24 nor YUY2");
        }
        v.header.width = width;
        v.header.bitCount = bits;
        v.header.compression = compression;
        v.header.sizeImage = static_cast<std::uint32_t>(width) * (bits / 8) * static_cast<std::uint32_t>(std::abs(height));
        videoReady = true;
        return true;
    }

    void takeWave(const std::string& f) {
        const std::uint16_t tag = u16At(f, 0), channels = u16At(f, 2), bits = u16At(f, 14);
        const std::uint32_t rate = u32At(f, 4);
        // Only mono PCM is handed on; other audio stays in the file unheard.
        if (tag != 1 || channels != 1 || (bits != 8 && bits != 16) || rate == 0 || rate > 384000) return;
        file.hasAudio = true;
        file.audio.channels = 1;
        file.audio.samplesPerSecond = rate;
        file.audio.bitsPerSample = bits;
        audioBlockAlign = bits / 8;
    }

    bool fail(const char* why) {
        fault = why;
        return false;
    }
};

bool readAvi(std::ifstream& in, std::uint64_t fileSize, ZCaptureMediaFile& file, const char*& fault) {
    std::string riff;
    if (!readAt(in, 0, 12, riff) || riff.compare(0, 4, "RIFF") != 0 || riff.compare(8, 4, "AVI ") != 0) {
        fault = "not an AVI file";
        return false;
    }
    const std::uint64_t end = std::min<std::uint64_t>(fileSize, 8 + static_cast<std::uint64_t>(u32At(riff, 4)));
    ZAviScan scan{in, fileSize, file, 0, -1, -1, 0, false, 0, {}, 0, nullptr};
    if (!scan.walk(12, end, 0)) {
        fault = scan.fault;
        return false;
    }
    if (!scan.videoReady || file.frames.empty()) {
        fault = "no video frames";
        return false;
    }
    const std::uint64_t need = static_cast<std::uint64_t>(file.storedRowBytes) * std::abs(file.video.header.height);
    // Frames shorter than one image cannot be shown; they leave the index.
    file.frames.erase(std::remove_if(file.frames.begin(), file.frames.end(),
                                     [need](const ZCaptureMediaFile::Chunk& c) { return c.length < need; }),
                      file.frames.end());
    if (file.frames.empty()) {
        fault = "every frame is shorter than one image";
        return false;
    }
    file.video.frameInterval = clampInterval(scan.interval > 0 ? scan.interval : kUnitsPerSecond / 15);
    file.layout = ZCaptureMediaFile::AVI_FRAMES;
    if (file.hasAudio) {
        std::string part;
        for (const auto& c : scan.audioChunks) {
            if (file.audioBytes.size() + c.length > kMaxAudioBytes || !readAt(in, c.offset, c.length, part)) break;
            file.audioBytes += part;
        }
        file.audioBytes.resize(file.audioBytes.size() / scan.audioBlockAlign * scan.audioBlockAlign);
        if (file.audioBytes.empty()) file.hasAudio = false;
    }
    return true;
}

// "YUV4MPEG2 W176 H144 F15:1 C420jpeg\n", then "FRAME[ params]\n" and planes.
bool readY4m(std::ifstream& in, std::uint64_t fileSize, ZCaptureMediaFile& file, const char*& fault) {
    std::string line;
    const bool read = readAt(in, 0, static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, 512)), line);
    const std::size_t newline = line.find('\n');
    if (!read || line.compare(0, 10, "YUV4MPEG2 ") != 0 || newline == std::string::npos) {
        fault = "not a YUV4MPEG2 file";
        return false;
    }
    long long width = 0, height = 0, num = 0, den = 0;
    std::string chroma = "420";
    std::size_t at = 10;
    while (at < newline) {
        std::size_t next = line.find(' ', at);
        if (next == std::string::npos || next > newline) next = newline;
        const std::string token = line.substr(at, next - at);
        if (token.size() > 1) {
            const std::string value = token.substr(1);
            if (token[0] == 'W') width = std::atoll(value.c_str());
            if (token[0] == 'H') height = std::atoll(value.c_str());
            if (token[0] == 'C') chroma = value;
            if (token[0] == 'F' && std::sscanf(value.c_str(), "%lld:%lld", &num, &den) != 2) num = den = 0;
        }
        at = next + 1;
    }
    if (width <= 0 || width > kMaxSide || width % 2 || height <= 0 || height > kMaxSide) {
        fault = "frame size out of range";
        return false;
    }
    const bool is420 = chroma.compare(0, 3, "420") == 0;
    if (!is420 && chroma.compare(0, 3, "422") != 0) {
        fault = "chroma is neither 4:2:0 nor 4:2:2";
        return false;
    }
    const std::uint64_t chromaRows = is420 ? (height + 1) / 2 : height;
    const std::uint64_t frameBytes = width * height + 2 * (width / 2) * chromaRows;
    std::uint64_t pos = newline + 1;
    std::string head;
    while (pos + 6 <= fileSize && file.frames.size() < kMaxFrames) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize - pos, 256));
        if (!readAt(in, pos, want, head) || head.compare(0, 5, "FRAME") != 0) break;
        const std::size_t end = head.find('\n');
        if (end == std::string::npos) break;
        const std::uint64_t data = pos + end + 1;
        if (data + frameBytes > fileSize) break;
        file.frames.push_back({data, static_cast<std::uint32_t>(frameBytes)});
        pos = data + frameBytes;
    }
    if (file.frames.empty()) {
        fault = "no video frames";
        return false;
    }
    ZCaptureVideoType& v = file.video;
    v.subtype = ZCAPTURE_SUBTYPE_YUY2;
    v.header.width = static_cast<std::int32_t>(width);
    v.header.height = -static_cast<std::int32_t>(height);
    v.header.bitCount = 16;
    v.header.compression = kYUY2;
    v.header.sizeImage = static_cast<std::uint32_t>(width * height * 2);
    // A rate of num/den frames a second; sscanf saturates a huge den, whose
    // interval would overflow: it is the longest interval anyway.
    std::int64_t interval = kUnitsPerSecond / 15;
    if (num > 0 && den > 0)
        interval = den > std::numeric_limits<std::int64_t>::max() / kUnitsPerSecond ? kUnitsPerSecond * 10
                                                                                    : kUnitsPerSecond * den / num;
    v.frameInterval = clampInterval(interval);
    file.layout = is420 ? ZCaptureMediaFile::Y4M_420 : ZCaptureMediaFile::Y4M_422;
    file.storedRowBytes = static_cast<std::uint32_t>(width);
    return true;
}

}  // namespace

bool ZCaptureReadMediaFile(const std::string& path, ZCaptureMediaFile& file) {
    file = ZCaptureMediaFile{};
    file.path = path;
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    const char* fault = "cannot be opened";
    bool ok = false;
    if (size > 0) {
        std::string magic;
        readAt(in, 0, static_cast<std::size_t>(std::min<std::streamoff>(size, 4)), magic);
        const std::uint64_t length = static_cast<std::uint64_t>(size);
        ok = magic == "RIFF" ? readAvi(in, length, file, fault) : readY4m(in, length, file, fault);
    }
    if (!ok) {
        ZLOG(L"WARNING Unable to capture from '" << path << L"': " << fault << L", ignoring.");
        file = ZCaptureMediaFile{};
    }
    return ok;
}

bool ZCaptureReadMediaFrame(std::ifstream& in, const ZCaptureMediaFile& file, std::size_t index, std::string& out) {
    if (index >= file.frames.size()) return false;
    const ZCaptureMediaFile::Chunk& chunk = file.frames[index];
    const ZCaptureBitmapHeader& h = file.video.header;
    const std::size_t width = static_cast<std::size_t>(h.width);
    const std::size_t height = static_cast<std::size_t>(std::abs(h.height));
    std::string stored;
    if (!readAt(in, chunk.offset, chunk.length, stored)) return false;
    if (file.layout == ZCaptureMediaFile::AVI_FRAMES) {
        const std::size_t row = width * (h.bitCount / 8);
        out.resize(row * height);
        for (std::size_t y = 0; y < height; ++y)
            std::memcpy(out.data() + y * row, stored.data() + y * file.storedRowBytes, row);
        return true;
    }
    // Planar Y, U, V to packed Y0 U Y1 V.
    const std::size_t chromaWidth = width / 2;
    const std::size_t chromaRows = file.layout == ZCaptureMediaFile::Y4M_420 ? (height + 1) / 2 : height;
    const char* Y = stored.data();
    const char* U = Y + width * height;
    const char* V = U + chromaWidth * chromaRows;
    out.resize(width * height * 2);
    char* o = out.data();
    for (std::size_t y = 0; y < height; ++y) {
        const std::size_t cy = file.layout == ZCaptureMediaFile::Y4M_420 ? y / 2 : y;
        for (std::size_t x = 0; x < width; x += 2) {
            *o++ = Y[y * width + x];
            *o++ = U[cy * chromaWidth + x / 2];
            *o++ = Y[y * width + x + 1];
            *o++ = V[cy * chromaWidth + x / 2];
        }
    }
    return true;
}
