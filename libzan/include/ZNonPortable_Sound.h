// Platform layer: the playback volume and mute of the sound system (the
// master line times the wave-output line) and one-shot playback of WAV files.
//
// Threading: called on the UI thread. Playback runs on a worker thread of
// its own per sound; nothing else is shared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

bool ZSoundGetMute();
// Unmuting also unmutes the wave-output line; muting touches only the master.
void ZSoundSetMute(bool mute);
// Master volume x wave-output volume, 0.0 .. 1.0.
float ZSoundGetVolume();
// The master to the value, the wave output to full.
void ZSoundSetVolume(float volume);
// Starts playing a PCM WAV file and returns at once; warns when it cannot.
void ZSoundPlay(const std::wstring& path);

// ---- inside the layer (and its tests) ------------------------------------------

constexpr std::uint32_t ZSOUND_CONTROL_MUTE = 0x20010002;
constexpr std::uint32_t ZSOUND_CONTROL_VOLUME = 0x50030001;

// One control of a mixer line as read: its type, bounds and value (readOk
// false when the value could not be read).
struct ZSoundControl {
    std::uint32_t type = 0;
    std::uint32_t minimum = 0;
    std::uint32_t maximum = 0;
    std::uint32_t value = 0;
    bool readOk = true;
};

// A line of the mixer ("Master" for the speakers, "PCM" for the wave
// output) and its controls; empty when the line is not there.
struct ZSoundLine {
    std::string name;
    std::vector<ZSoundControl> controls;
};

// 0 when the line was found; the controls stay empty otherwise.
int _ZSoundGetLineControls(const char* lineName, ZSoundLine& line);
bool _ZSoundGetMute(const ZSoundLine& line);
float _ZSoundGetVolume(const ZSoundLine& line);
void _ZSoundSetMute(const ZSoundLine& line, bool mute);
void _ZSoundSetVolume(const ZSoundLine& line, float volume);
// The control value for a volume: minimum + (maximum - minimum) x volume, truncated.
std::uint32_t _ZSoundVolumeValue(std::uint32_t minimum, std::uint32_t maximum, float volume);

// The PCM layout of a RIFF/WAVE file and where its samples lie.
struct ZWaveInfo {
    int channels = 0;
    int sampleRate = 0;
    int bitsPerSample = 0;
    std::size_t dataOffset = 0;
    std::size_t dataLength = 0;
};
// Reads the header of untrusted bytes; false (nothing logged) for anything
// but well-formed PCM.
bool _ZSoundParseWave(const std::string& bytes, ZWaveInfo& info);

// The mixer and playback devices; tests point them at a configuration of
// their own (configText in the ALSA configuration language, or empty for
// the system's).
void _ZSoundSetDevices(const std::string& mixerDevice, const std::string& playbackDevice,
                       const std::string& configText);
// Waits until every started sound has finished; false after timeoutMs.
bool _ZSoundWaitIdle(int timeoutMs);
