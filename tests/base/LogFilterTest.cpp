#include <gtest/gtest.h>

#include <string>

#include "ZTestHooks.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// Sets the filter for the scope and empties it again.
class ZScopedFilter {
public:
    explicit ZScopedFilter(const std::string& filter) { ZLogSetFilter(filter); }
    ~ZScopedFilter() { ZLogSetFilter(""); }
};

void captureOnly(const std::wstring& line) { ZTestCaptureLine(line); }
void throwAbort() { throw ZTestAbort(); }

}  // namespace

TEST(ZLogFilter, CategoriesPassByLetterOrByCase) {
    struct Case {
        const char* filter;
        const char* enabled;
        const char* disabled;
    } const cases[] = {
        {"", "", "atxXA1 "},
        {"t", "t", "sTxX"},
        {"x", "abtxz", "ATX0."},
        {"X", "ATXZ", "atx0."},
        {"xX", "atzATZ", "0.-"},
        {"sN", "sN", "nSt"},
        {"1.", "1.", "2x"},
    };
    for (const Case& c : cases) {
        ZScopedFilter filter(c.filter);
        EXPECT_EQ(ZLogGetFilter(), c.filter);
        for (const char* p = c.enabled; *p; ++p) EXPECT_TRUE(ZLogIsEnabled(*p)) << c.filter << " " << *p;
        for (const char* p = c.disabled; *p; ++p) EXPECT_FALSE(ZLogIsEnabled(*p)) << c.filter << " " << *p;
    }
}

TEST(ZLogFilter, KeepsTheFirstFiftyTwoCharactersAndTestsThemAll) {
    const std::string fiftyOne(51, '-');
    {
        ZScopedFilter filter(fiftyOne + "q");
        EXPECT_EQ(ZLogGetFilter().size(), 52u);
        EXPECT_TRUE(ZLogIsEnabled('q'));
    }
    {
        ZScopedFilter filter(fiftyOne + "qr");
        EXPECT_EQ(ZLogGetFilter(), fiftyOne + "q");
        EXPECT_TRUE(ZLogIsEnabled('q'));
        EXPECT_FALSE(ZLogIsEnabled('r'));
    }
    // A shorter filter replaces a longer one completely.
    ZScopedFilter filter("r");
    EXPECT_EQ(ZLogGetFilter(), "r");
    EXPECT_FALSE(ZLogIsEnabled('q'));
}

TEST(ZLogFilter, DisabledCategoryLinesAreNeitherBuiltNorLogged) {
    ZScopedFilter filter("t");
    ZLogCapture log;
    int built = 0;
    auto count = [&built] { return ++built; };
    ZLOGC('s', L"skipped " << count());
    ZLOGC('t', L"kept " << count());
    EXPECT_EQ(built, 1);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(L"] kept 1\n"), std::wstring::npos);
}

TEST(ZLogHooks, WithoutHooksLoggingCallStacksAndAbortDoNothing) {
    ZLogCapture log;
    ZSetDebugHooks(nullptr, nullptr, nullptr);
    ZLog(L"nowhere\n");
    ZLogCallStack();
    ZAbort();
    ZSetDebugHooks(captureOnly, ZCallStackDumpCurrent, throwAbort);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_THROW(ZAbort(), ZTestAbort);
}
