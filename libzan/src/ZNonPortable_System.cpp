// The one-line description of the machine for the log: kernel, processor
// clock, memory, the X screen when there is one, and the locale.
#include <X11/Xlib.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ZNonPortable_Runtime.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

struct ZScreenFacts {
    int monitors = 0, width = 0, height = 0, widthMM = 0, heightMM = 0, bpp = 0;
};

ZScreenFacts screenFacts() {
    ZScreenFacts facts;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return facts;
    Display* x = XOpenDisplay(nullptr);
    if (!x) return facts;
    const int screen = DefaultScreen(x);
    facts.monitors = ScreenCount(x);
    facts.width = DisplayWidth(x, screen);
    facts.height = DisplayHeight(x, screen);
    facts.widthMM = DisplayWidthMM(x, screen);
    facts.heightMM = DisplayHeightMM(x, screen);
    facts.bpp = DefaultDepth(x, screen);
    XCloseDisplay(x);
    return facts;
}

// Current and maximum clock in MHz of the first processor.
void processorClock(int& current, int& maximum) {
    current = maximum = 0;
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("cpu MHz", 0) == 0) {
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) current = std::atoi(line.c_str() + colon + 1);
            break;
        }
    }
    std::ifstream maxFreq("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
    long long kHz = 0;
    if (maxFreq >> kHz) maximum = static_cast<int>(kHz / 1000);
    if (!maximum) maximum = current;
}

// The locale the user chose, as language and territory codes ("en", "US").
void localeParts(std::string& language, std::string& country) {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string locale;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    locale = locale.substr(0, locale.find_first_of(".@"));
    const std::size_t underscore = locale.find('_');
    language = locale.substr(0, underscore);
    country = underscore == std::string::npos ? std::string() : locale.substr(underscore + 1);
    if (language.empty() || language == "C" || language == "POSIX") language = "(unknown)";
    if (country.empty()) country = "(unknown)";
}

// Names and abbreviations of the user's country and language, from the
// locale's address data ("United States", "USA", "English", "ENG"); where a
// locale is not installed they fall back to the codes of its name.
struct ZLocaleNames {
    std::string country, countryAbbreviation, language, languageAbbreviation;
};

ZLocaleNames localeNames() {
    ZLocaleNames out;
    localeParts(out.language, out.country);
    out.countryAbbreviation = out.country;
    out.languageAbbreviation = out.language;
    locale_t locale = newlocale(LC_ADDRESS_MASK, "", static_cast<locale_t>(nullptr));
    if (!locale) return out;
    auto take = [locale](nl_item item, std::string& value, bool upper) {
        const char* text = nl_langinfo_l(item, locale);
        if (!text || !*text) return;
        value = text;
        if (upper)
            for (char& c : value) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    };
    take(_NL_ADDRESS_COUNTRY_NAME, out.country, false);
    take(_NL_ADDRESS_COUNTRY_AB3, out.countryAbbreviation, true);
    take(_NL_ADDRESS_LANG_NAME, out.language, false);
    take(_NL_ADDRESS_LANG_TERM, out.languageAbbreviation, true);
    freelocale(locale);
    return out;
}

}  // namespace

std::wstring ZSystemGetDescription() {
    utsname names{};
    uname(&names);
    const int major = std::atoi(names.release);
    const char* dot = std::strchr(names.release, '.');
    const int minor = dot ? std::atoi(dot + 1) : 0;
    const char* dot2 = dot ? std::strchr(dot + 1, '.') : nullptr;
    const int patch = dot2 ? std::atoi(dot2 + 1) : 0;
    const char* hash = std::strchr(names.version, '#');
    const int build = hash ? std::atoi(hash + 1) : 0;

    int currentMHz, maximumMHz;
    processorClock(currentMHz, maximumMHz);

    struct sysinfo memory{};
    sysinfo(&memory);
    const unsigned long long physicalMB =
        (static_cast<unsigned long long>(memory.totalram) * memory.mem_unit) >> 20;
    // What the process can really have: memory and swap, or its address-space
    // limit when that is smaller. The 47-bit user half of the address space
    // (128 TiB) says nothing about the machine beside the physical figure.
    unsigned long long virtualBytes =
        (static_cast<unsigned long long>(memory.totalram) + memory.totalswap) * memory.mem_unit;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < virtualBytes)
        virtualBytes = limit.rlim_cur;
    const unsigned long long virtualMB = virtualBytes >> 20;

    const ZScreenFacts screen = screenFacts();
    const ZLocaleNames locale = localeNames();

    std::wstring d;
    d << L"OS=" << names.sysname << L"(" << major << L"," << minor << L")[" << patch << L".0]#" << build;
    d << L", DX=(unknown)";
    d << L", CPU=" << currentMHz << L"/" << maximumMHz << L"Mhz";
    d << L", RAM=" << physicalMB << L"/" << virtualMB << L"MB";
    d << L", numMonitors=" << screen.monitors;
    d << L", screen=(" << screen.width << L"x" << screen.height << L"px, " << screen.widthMM << L"x"
      << screen.heightMM << L"mm)";
    d << L", bpp=" << screen.bpp;
    d << L", country=" << locale.country << L"(" << locale.countryAbbreviation << L")";
    d << L", language=" << locale.language << L"(" << locale.languageAbbreviation << L")";
    return d;
}
