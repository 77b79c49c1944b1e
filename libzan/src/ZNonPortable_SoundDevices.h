// The ALSA devices the sound family uses ("default" unless a test chose
// others) and the configuration they are looked up in.
#pragma once

#include <string>

std::string _ZSoundMixerDevice();
std::string _ZSoundPlaybackDevice();
// Empty for the system's configuration.
std::string _ZSoundConfigText();
