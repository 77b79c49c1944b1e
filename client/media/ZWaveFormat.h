// The PCM format record of decoded sound: 18 packed bytes, the field names
// of the wave-format header that sound files and devices describe
// themselves with.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct WAVEFORMATEX {
    std::uint16_t wFormatTag = 0;  // 1: linear PCM
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "the wave format record is 18 packed bytes");

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
