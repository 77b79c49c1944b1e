// The command-line option map.
#include "ZOptionMap.h"

#include <algorithm>

namespace {

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace

ZOptionMap::ZOptionMap(const std::string& commandLine) : _commandLine(commandLine) {
    std::string name;
    int positional = 0;
    std::size_t at = 0;
    while (at < commandLine.size()) {
        // Only the blank separates: tabs and quotes are ordinary characters.
        const std::size_t end = commandLine.find(' ', at);
        const std::string token = commandLine.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? commandLine.size() : end + 1;
        if (token.empty()) continue;
        if (token[0] == '-') {
            name = lower(token.substr(1));
            _options[name].clear();
            continue;
        }
        if (name.empty()) name = std::to_string(positional++);
        _options[name] = token;
        name.clear();
    }
}

bool ZOptionMap::isSet(const std::string& name) const { return _options.count(lower(name)) != 0; }

bool ZOptionMap::get(const std::string& name, std::string& value) const {
    const auto found = _options.find(lower(name));
    if (found == _options.end()) return false;
    value = found->second;
    return true;
}

std::string ZOptionMap::get(const std::string& name) const {
    const auto found = _options.find(name);
    return found == _options.end() ? std::string() : found->second;
}

std::string ZOptionMap::printableCommandLine() const {
    std::string out;
    bool secret = false;
    std::size_t at = 0;
    while (at <= _commandLine.size()) {
        const std::size_t end = std::min(_commandLine.find(' ', at), _commandLine.size());
        const std::string token = _commandLine.substr(at, end - at);
        if (at > 0) out += ' ';
        if (secret && !token.empty() && token[0] != '-') {
            out += "********";
            secret = false;
        } else {
            out += token;
            if (!token.empty()) secret = lower(token) == "-password";
        }
        at = end + 1;
    }
    return out;
}
