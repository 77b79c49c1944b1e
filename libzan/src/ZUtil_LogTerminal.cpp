// What of the log a person watching the terminal reads. The file keeps every
// line; the terminal gets the lines that need someone's attention and the
// few that say where the client stands, so a keep-alive every few seconds
// does not bury them.
#include <cwchar>

#include "ZUtil_LogFile.h"

namespace {

// Lines the program logs at the turns a person follows: the start, the
// outcome of signing in, the client's own state (not its services'), and the
// end of the run. Each is a function's tag and a text, both to be found.
struct ZMilestone {
    const wchar_t* where;
    const wchar_t* text;
};
const ZMilestone kMilestones[] = {
    {L"", L"Version: "},
    {L"", L"Request 'AUTHENTICATE' succeeded"},
    {L"", L"Request 'AUTHENTICATE' failed"},
    {L"[ZClient::_changeState]", L"Changing state to 'Online'"},
    {L"[ZClient::_changeState]", L"Changing state to 'Offline'"},
    {L"", L"---- Closed, Clean shutdown ----"},
};

bool holds(const std::wstring& line, const wchar_t* part) { return line.find(part) != std::wstring::npos; }

}  // namespace

bool ZLogIsForTheTerminal(const std::wstring& line) {
    if (holds(line, L"WARNING") || holds(line, L"ERROR")) return true;
    for (const ZMilestone& milestone : kMilestones)
        if (holds(line, milestone.where) && holds(line, milestone.text)) return true;
    return false;
}
