// The program's command line as options with values.
//
// Threading: built and read by one thread.
#pragma once

#include <map>
#include <string>

#include "ZObject.h"

// Options written "-name value" (names lower-cased, values as given); a
// value without a name before it is filed under "0", "1", ...
class ZOptionMap : public ZStackObject {
public:
    explicit ZOptionMap(const std::string& commandLine);

    // The name is lower-cased before the look-up.
    bool isSet(const std::string& name) const;
    // The name is lower-cased; out is left alone when the option is absent.
    bool get(const std::string& name, std::string& value) const;
    // Looks the name up as given (callers pass lower case); "" when absent.
    std::string get(const std::string& name) const;

    const std::string& commandLine() const { return _commandLine; }
    // The command line as a log may show it: the value after "-password"
    // (any case) becomes "********".
    std::string printableCommandLine() const;
    const std::map<std::string, std::string>& options() const { return _options; }

private:
    std::string _commandLine;
    std::map<std::string, std::string> _options;
};
