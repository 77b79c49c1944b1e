// Volume and mute over the ALSA simple mixer: "Master" stands for the
// speakers line and "PCM" for the wave output; the effective level is the
// product of both. Nothing is cached: every call reads the lines afresh.
#include "ZNonPortable_Sound.h"

#include <alsa/asoundlib.h>

#include <mutex>

#include "ZNonPortable_SoundDevices.h"
#include "ZUtil.h"

namespace {

const char* kSpeakers = "Master";
const char* kWaveOut = "PCM";

// An open simple mixer on the configured device, closed with the scope.
class ZMixer {
public:
    ZMixer() {
        const std::string device = _ZSoundMixerDevice();
        if (snd_mixer_open(&_mixer, 0) < 0) {
            _mixer = nullptr;
            return;
        }
        if (snd_mixer_attach(_mixer, device.c_str()) < 0 || snd_mixer_selem_register(_mixer, nullptr, nullptr) < 0 ||
            snd_mixer_load(_mixer) < 0) {
            snd_mixer_close(_mixer);
            _mixer = nullptr;
        }
    }
    ~ZMixer() {
        if (_mixer) snd_mixer_close(_mixer);
    }
    ZMixer(const ZMixer&) = delete;
    ZMixer& operator=(const ZMixer&) = delete;

    snd_mixer_elem_t* find(const std::string& name) {
        if (!_mixer) return nullptr;
        snd_mixer_selem_id_t* id = nullptr;
        snd_mixer_selem_id_alloca(&id);
        snd_mixer_selem_id_set_index(id, 0);
        snd_mixer_selem_id_set_name(id, name.c_str());
        return snd_mixer_find_selem(_mixer, id);
    }

private:
    snd_mixer_t* _mixer = nullptr;
};

const ZSoundControl* findControl(const ZSoundLine& line, std::uint32_t type) {
    for (const ZSoundControl& c : line.controls)
        if (c.type == type) return &c;
    return nullptr;
}

}  // namespace

int _ZSoundGetLineControls(const char* lineName, ZSoundLine& line) {
    line.name = lineName;
    line.controls.clear();
    ZMixer mixer;
    snd_mixer_elem_t* elem = mixer.find(lineName);
    if (!elem) return -ENOENT;
    if (snd_mixer_selem_has_playback_switch(elem)) {
        ZSoundControl mute;
        mute.type = ZSOUND_CONTROL_MUTE;
        mute.maximum = 1;
        int on = 1;
        mute.readOk = snd_mixer_selem_get_playback_switch(elem, SND_MIXER_SCHN_FRONT_LEFT, &on) == 0;
        mute.value = on ? 0 : 1;  // the switch is "sound on"
        line.controls.push_back(mute);
    }
    if (snd_mixer_selem_has_playback_volume(elem)) {
        ZSoundControl volume;
        volume.type = ZSOUND_CONTROL_VOLUME;
        long low = 0, high = 0, value = 0;
        snd_mixer_selem_get_playback_volume_range(elem, &low, &high);
        volume.readOk = snd_mixer_selem_get_playback_volume(elem, SND_MIXER_SCHN_FRONT_LEFT, &value) == 0;
        // The unsigned model of the readings: everything relative to the minimum.
        volume.minimum = 0;
        volume.maximum = static_cast<std::uint32_t>(high - low);
        volume.value = static_cast<std::uint32_t>(value - low);
        line.controls.push_back(volume);
    }
    return 0;
}

bool _ZSoundGetMute(const ZSoundLine& line) {
    const ZSoundControl* mute = findControl(line, ZSOUND_CONTROL_MUTE);
    if (!mute) return false;
    if (!mute->readOk) return true;
    return mute->value != 0;
}

float _ZSoundGetVolume(const ZSoundLine& line) {
    const ZSoundControl* volume = findControl(line, ZSOUND_CONTROL_VOLUME);
    if (!volume || !volume->readOk || volume->maximum == volume->minimum) return 1.0f;
    const std::uint32_t offset = volume->value - volume->minimum;
    const std::uint32_t range = volume->maximum - volume->minimum;
    return static_cast<float>(static_cast<double>(offset) / static_cast<double>(range));
}

std::uint32_t _ZSoundVolumeValue(std::uint32_t minimum, std::uint32_t maximum, float volume) {
    return minimum + static_cast<std::uint32_t>(static_cast<double>(maximum - minimum) * volume);
}

void _ZSoundSetMute(const ZSoundLine& line, bool mute) {
    if (!findControl(line, ZSOUND_CONTROL_MUTE)) return;
    ZMixer mixer;
    snd_mixer_elem_t* elem = mixer.find(line.name);
    const int result = elem ? snd_mixer_selem_set_playback_switch_all(elem, mute ? 0 : 1) : -ENOENT;
    ZWARNASSERT_T(result == 0,
                  "!(result = mixerSetControlDetails( 0, &details, MIXER_SETCONTROLDETAILSF_VALUE | MIXER_OBJECTF_MIXER ))");
}

void _ZSoundSetVolume(const ZSoundLine& line, float volume) {
    const ZSoundControl* control = findControl(line, ZSOUND_CONTROL_VOLUME);
    if (!control) {
        ZLOG(L"WARNING Couldn't set volume, ignoring.");
        return;
    }
    ZMixer mixer;
    snd_mixer_elem_t* elem = mixer.find(line.name);
    int result = -ENOENT;
    if (elem) {
        long low = 0, high = 0;
        snd_mixer_selem_get_playback_volume_range(elem, &low, &high);
        const std::uint32_t value = _ZSoundVolumeValue(control->minimum, control->maximum, volume);
        result = snd_mixer_selem_set_playback_volume_all(elem, low + static_cast<long>(value));
    }
    ZWARNASSERT_T(result == 0, "!mixerSetControlDetails( 0, &details, MIXER_GETCONTROLDETAILSF_VALUE | MIXER_OBJECTF_MIXER )");
}

bool ZSoundGetMute() {
    ZTRACE();
    ZSoundLine speakers;
    _ZSoundGetLineControls(kSpeakers, speakers);
    if (_ZSoundGetMute(speakers)) return true;
    ZSoundLine wave;
    _ZSoundGetLineControls(kWaveOut, wave);
    return _ZSoundGetMute(wave);
}

void ZSoundSetMute(bool mute) {
    ZTRACE();
    ZSoundLine speakers;
    _ZSoundGetLineControls(kSpeakers, speakers);
    _ZSoundSetMute(speakers, mute);
    if (mute) return;
    ZSoundLine wave;
    _ZSoundGetLineControls(kWaveOut, wave);
    _ZSoundSetMute(wave, false);
}

float ZSoundGetVolume() {
    ZTRACE();
    ZSoundLine speakers, wave;
    _ZSoundGetLineControls(kSpeakers, speakers);
    _ZSoundGetLineControls(kWaveOut, wave);
    return _ZSoundGetVolume(speakers) * _ZSoundGetVolume(wave);
}

void ZSoundSetVolume(float volume) {
    ZTRACE();
    ZSoundLine speakers, wave;
    _ZSoundGetLineControls(kSpeakers, speakers);
    _ZSoundSetVolume(speakers, volume);
    _ZSoundGetLineControls(kWaveOut, wave);
    _ZSoundSetVolume(wave, 1.0f);
}
