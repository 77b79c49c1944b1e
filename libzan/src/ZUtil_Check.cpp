// Failed checks: one log line, then the abort hook for the fatal strengths.
#include "ZUtil.h"

void ZCheckFailed(const char* file, int line, const char* function, const char* strength,
                  const char* expression, bool fatal) {
    std::wstring text = ZLogPrefix(file, line, function);
    text << strength << expression << L")\n";
    ZLog(text);
    if (fatal) ZAbort();
}
