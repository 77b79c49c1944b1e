// Attribute scopes and the two expression grammars.
#include <gtest/gtest.h>

#include "ZAttributeStack.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTestNode.h"
#include "ZTestSupport.h"

using zantest::testNotifyHandle;

namespace {

class AttributeStackTest : public ::testing::Test {
protected:
    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZAttributeStack stack{&instance, testNotifyHandle()};
};

struct ExprCase {
    const wchar_t* expression;
    const wchar_t* expected;
};

}  // namespace

TEST_F(AttributeStackTest, EvalSubstitutesReferencesByTheGrammar) {
    stack.set(L"a", L"1");
    stack.set(L"a.b", L"dotted");
    stack.set(L"x", L"lower");
    stack.set(L"X", L"upper");
    stack.set(L"p", L"$q");
    stack.set(L"q", L"2");
    stack.set(L"self", L"$self");
    const ExprCase cases[] = {
        {L"plain text", L"plain text"}, {L"$unset", L""},     {L"a$", L"a$"},
        {L"$$", L"$$"},                 {L"{$a}b", L"1b"},    {L"$a.b", L"dotted"},
        {L"$X", L"lower"},              {L"${x}", L"x}"},     {L"$p", L"2"},
        {L"$self", L"$self"},           {L"[$a]", L"[1]"},    {L"x{$a}{$a}y", L"x11y"},
        {L"}$a", L"}1"},                {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(stack.eval(c.expression), c.expected) << c.expression;
}

TEST_F(AttributeStackTest, CalcAndTestReadIntegerExpressions) {
    stack.set(L"n", L"6");
    const struct {
        const wchar_t* expression;
        std::int32_t value;
    } cases[] = {
        {L"", 0},
        {L"7abc", 7},
        {L" 2 * ( 3 + 4 ) ", 14},
        {L"-5", -5},
        {L"--5", 5},
        {L"10 - 2 - 3", 5},
        {L"7 / 2", 3},
        {L"-7 / 2", -3},
        {L"2+", 2},
        {L"1 2", 1},
        {L"99999999999", 2147483647},
        {L"2 + 3 * 4", 14},
        {L"100 / 10 / 5", 2},
        {L"$n * 2", 12},
        {L"2147483647 + 1", -2147483647 - 1},
        {L"1/0", 0},
        {L"(-2147483647-1)/-1", 0},
        {L"-(2147483647+1)", -2147483647 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(stack.calc(c.expression), c.value) << c.expression;

    const struct {
        const wchar_t* expression;
        bool value;
    } tests[] = {
        {L"TRUE", true}, {L"True", true},   {L"1", true},    {L"2-1", true},
        {L"0", false},   {L"false", false}, {L"yes", false}, {L"", false},
    };
    for (const auto& c : tests) EXPECT_EQ(stack.test(c.expression), c.value) << c.expression;
}

TEST_F(AttributeStackTest, CyclicAndGrowingValuesStopAtTheBound) {
    stack.set(L"a", L"$b");
    stack.set(L"b", L"$a");
    const std::wstring cyclic = stack.eval(L"$a");
    EXPECT_TRUE(cyclic == L"$a" || cyclic == L"$b") << cyclic;

    // A peer's text that names itself grows by one "x" per round.
    instance.set(L"Peer_Text", std::wstring(L"x$peer_text"), false);
    const std::wstring grown = stack.eval(L"$peer_text");
    EXPECT_EQ(grown, std::wstring(ZATTRIBUTE_EVAL_LIMIT, L'x') + L"$peer_text");

    // Naming itself three times triples it every round: stopped by size.
    instance.set(L"Peer_Text", std::wstring(L"ab$peer_text$peer_text$peer_text"), false);
    const std::wstring tripled = stack.eval(L"$peer_text");
    EXPECT_LE(tripled.size(), ZATTRIBUTE_EVAL_MAX_LENGTH);
    EXPECT_GT(tripled.size(), ZATTRIBUTE_EVAL_MAX_LENGTH / 3);
}

TEST_F(AttributeStackTest, LookupGoesFromTheInnermostScopeToTheStore) {
    instance.set(L"Shared_Name", std::wstring(L"store"), false);
    EXPECT_EQ(stack.get(L"shared_name"), L"store");
    stack.set(L"shared_name", L"outer");
    stack.push();
    stack.set(L"shared_name", L"inner");
    EXPECT_EQ(stack.eval(L"$Shared_Name"), L"inner");
    stack.pop();
    EXPECT_EQ(stack.get(L"shared_name"), L"outer");
    EXPECT_EQ(stack.get(L""), L"");
}

TEST_F(AttributeStackTest, NodeScopeEvaluatesAttributesInOrderAfterItsPath) {
    stack.set(L"width", L"100");
    const ZAttributeList attributes = {{L"half", L"$width"},
                                       {L"label", L"{$half}px at $path"},
                                       {L"path", L"mine"},
                                       {L"after", L"$path"}};
    stack.push(L"/skin/Window_main", attributes);
    EXPECT_EQ(stack.get(L"label"), L"100px at /skin/Window_main");
    EXPECT_EQ(stack.get(L"after"), L"mine");
    EXPECT_EQ(stack.depth(), 2);
    stack.pop();
    EXPECT_EQ(stack.get(L"label"), L"");
}

TEST_F(AttributeStackTest, ScopesCarryTheirNotifyListener) {
    static char other;
    auto* otherHandle = reinterpret_cast<ZNotifyHandle*>(&other);
    stack.push(otherHandle);
    stack.push();
    EXPECT_EQ(stack.getNotifyListener(), otherHandle);
    stack.pop();
    stack.pop();
    EXPECT_EQ(stack.getNotifyListener(), testNotifyHandle());
    EXPECT_ZABORT(stack.push(nullptr));
    EXPECT_ZABORT(ZAttributeStack(&instance, nullptr));
}

TEST_F(AttributeStackTest, DeeplyNestedTextsEndWithoutExhaustingTheStack) {
    // A peer's text with thousands of nested groups, evaluated and calculated.
    const std::wstring braces = L"$" + std::wstring(30000, L'{') + L"$x";
    const std::wstring parens = std::wstring(100000, L'(') + L"1";
    const std::wstring signs = std::wstring(100000, L'-') + L"1";
    instance.set(L"Peer_Text", braces, false);
    EXPECT_EQ(stack.eval(L"$peer_text"), braces);
    EXPECT_EQ(stack.calc(parens), 0);
    EXPECT_EQ(stack.calc(signs), 0);
    EXPECT_FALSE(stack.test(parens));
    // Nesting a skin writes stays as it was.
    EXPECT_EQ(stack.calc(std::wstring(40, L'(') + L"7" + std::wstring(40, L')')), 7);
    EXPECT_EQ(stack.calc(L"- - -7"), -7);
}
