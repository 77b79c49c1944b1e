#include <gtest/gtest.h>

#include <map>
#include <utility>

#include "ZOptionMap.h"

TEST(ZOptionMap, ParsesNamesValuesAndPositionalTokens) {
    const struct {
        const char* line;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"", {}},
        {"-a -b v w", {{"a", ""}, {"b", "v"}, {"0", "w"}}},
        {"-log x", {{"log", "x"}}},
        {"-log", {{"log", ""}}},
        {"-LOG Xy -log z", {{"log", "z"}}},
        {"one two  three", {{"0", "one"}, {"1", "two"}, {"2", "three"}}},
        {"   -host   a:1  ", {{"host", "a:1"}}},
        {"- v", {{"", ""}, {"0", "v"}}},
        {"-avi \"my\tfile\"", {{"avi", "\"my\tfile\""}}},
    };
    for (const auto& c : cases) {
        ZOptionMap options(c.line);
        EXPECT_EQ(options.options(), c.expected) << c.line;
        EXPECT_EQ(options.commandLine(), c.line);
    }
}

TEST(ZOptionMap, LooksNamesUpWithoutCaseExceptInThePlainGet) {
    ZOptionMap options("-KeepLogFiles Seven -silent");
    EXPECT_TRUE(options.isSet("keepLogfiles"));
    EXPECT_TRUE(options.isSet("SILENT"));
    EXPECT_FALSE(options.isSet("norestart"));
    std::string value = "untouched";
    EXPECT_TRUE(options.get("keepLogfiles", value));
    EXPECT_EQ(value, "Seven");
    value = "untouched";
    EXPECT_FALSE(options.get("host", value));
    EXPECT_EQ(value, "untouched");
    EXPECT_EQ(options.get("keeplogfiles"), "Seven");
    EXPECT_EQ(options.get("keepLogfiles"), "");
}

TEST(ZOptionMap, ThePrintableCommandLineHidesOnlyThePassword) {
    const std::pair<const char*, const char*> rows[] = {
        {"-auth 127.0.0.1:1 -user bob -password secret -log x", "-auth 127.0.0.1:1 -user bob -password ******** -log x"},
        {"-PASSWORD  hunter2", "-PASSWORD  ********"},
        {"-password -user bob", "-password -user bob"},
        {"-password", "-password"},
        {"-log lt", "-log lt"},
        {"", ""},
    };
    for (const auto& [line, shown] : rows) EXPECT_EQ(ZOptionMap(line).printableCommandLine(), shown) << line;
}
