// Which of ALSA's capture PCMs a person is offered as microphones, and under
// which names: ALSA lists every plug-in and every way into every card.
#pragma once

#include <string>
#include <vector>

// One PCM name hint as ALSA gives it: NAME and DESC (empty when absent).
struct ZALSAHint {
    std::string name;
    std::string description;
};

// A microphone to offer: the name shown (and stored as the choice) and the
// PCM it opens.
struct ZALSAChoice {
    std::wstring shown;
    std::string pcm;
};

// The default device, the sound server when there is one, each card once by
// its name, and devices the user's own configuration defines; never the
// plug-ins (rate converters, null, jack, oss) nor a card's other ways in.
std::vector<ZALSAChoice> ZALSACaptureChoices(const std::vector<ZALSAHint>& hints);
