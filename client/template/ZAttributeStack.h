// Attribute scopes of one update pass, and the two expression grammars over
// them: ZEvaluator substitutes "$name" references, ZCalculator reads the
// substituted text as a signed 32-bit integer expression.
//
// Threading: UI thread only; the store below the scopes is thread-safe by
// itself.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

class ZInstance;
struct ZNotifyHandle;
class ZEvaluator;
class ZCalculator;

// A node's raw attributes: (name, expression) pairs in document order.
typedef std::list<std::pair<std::wstring, std::wstring>> ZAttributeList;

// How often eval substitutes again before it gives up on a fixed point: a
// value that refers to itself or grows on each pass (store values can come
// from peers) must not hang the UI thread.
constexpr int ZATTRIBUTE_EVAL_LIMIT = 16;
// A value that names itself more than once multiplies with every round;
// eval stops before a result grows past this many units.
constexpr std::size_t ZATTRIBUTE_EVAL_MAX_LENGTH = 65536;
// The grammars recurse once per brace, parenthesis or unary sign: a text
// nested deeper than this (thousands of "{" in a peer's text) is not parsed,
// so it cannot exhaust the UI thread's stack.
constexpr int ZATTRIBUTE_NESTING_LIMIT = 64;

// The scopes one update pass opens on its way down the node tree, over the
// shared store.
class ZAttributeStack {
public:
    // One scope: the values a node opened or published, and the listener that
    // store watches registered under it report to.
    struct Scope {
        std::map<std::wstring, std::wstring> attributes;
        ZNotifyHandle* listener = nullptr;
    };

    ZAttributeStack(ZInstance* instance, ZNotifyHandle* notifyListener);
    ~ZAttributeStack();
    ZAttributeStack(const ZAttributeStack&) = delete;
    ZAttributeStack& operator=(const ZAttributeStack&) = delete;

    // An empty scope under the current listener, or under a new one.
    void push();
    void push(ZNotifyHandle* listener);
    // A node's scope: "path", then every attribute evaluated in list order.
    void push(const std::wstring& path, const ZAttributeList& attributes);
    void pop();

    // Into the top scope, unevaluated.
    void set(const std::wstring& name, const std::wstring& value);
    void set(const std::wstring& name, std::int64_t value);

    // The innermost scope's value of the exact name, else the store's.
    std::wstring get(const std::wstring& name);
    std::wstring eval(const std::wstring& text);
    std::int32_t calc(const std::wstring& text);
    bool test(const std::wstring& text);

    ZNotifyHandle* getNotifyListener() const;
    int depth() const { return static_cast<int>(_stateStack.size()); }

    // The working stacks of the grammars.
    std::deque<std::wstring>& valueStack() { return _valueStack; }
    std::deque<std::int32_t>& integerStack() { return _integerStack; }

private:
    // Parses an already substituted text into the integer stack.
    void _calculate(const std::wstring& text);

    ZInstance* _instance;
    std::vector<Scope> _stateStack;
    ZEvaluator* _evaluator;
    ZCalculator* _calculator;
    std::deque<std::wstring> _valueStack;
    std::deque<std::int32_t> _integerStack;
};
