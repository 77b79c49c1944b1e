#include "ZAttributeStack.h"

#include <algorithm>

#include "ZInstance.h"
#include "ZObject.h"
#include "ZPortable_Text.h"
#include "ZSpiritClassic.h"
#include "ZUtil.h"

namespace sp = BOOST_SPIRIT_CLASSIC_NS;

typedef const wchar_t* ZExprIter;

// The substitution grammar. Ordered choice, no blank skipping; every action
// runs as soon as its element matched, even when an enclosing one fails.
class ZEvaluator : public sp::grammar<ZEvaluator> {
public:
    explicit ZEvaluator(ZAttributeStack& stack) : _stack(stack) {}

    struct PushText {
        ZAttributeStack& stack;
        void operator()(ZExprIter first, ZExprIter last) const { stack.valueStack().emplace_back(first, last); }
    };
    struct PushDollar {
        ZAttributeStack& stack;
        void operator()(wchar_t) const { stack.valueStack().emplace_back(L"$"); }
    };
    struct PushLowerName {
        ZAttributeStack& stack;
        void operator()(ZExprIter first, ZExprIter last) const {
            stack.valueStack().push_back(ZToLower(std::wstring(first, last)));
        }
    };
    struct PopEvalPush {
        ZAttributeStack& stack;
        void operator()(ZExprIter, ZExprIter) const {
            auto& values = stack.valueStack();
            ZASSERT_T(!values.empty(), "eval.size( )");
            if (values.empty()) return;
            const std::wstring name = values.back();
            values.pop_back();
            values.push_back(stack.get(name));
        }
    };
    struct Pop2ConcatPush {
        ZAttributeStack& stack;
        void operator()(ZExprIter, ZExprIter) const {
            auto& values = stack.valueStack();
            ZASSERT_T(values.size() >= 2, "eval.size( ) >= 2");
            if (values.size() < 2) return;
            std::wstring later = values.back();
            values.pop_back();
            values.back() += later;
        }
    };

    template <typename ScannerT>
    struct definition {
        explicit definition(const ZEvaluator& self) {
            ZAttributeStack& s = self._stack;
            name = (sp::alnum_p >> *(sp::alnum_p | sp::chset_p(L"._@")))[PushLowerName{s}];
            variable = (sp::ch_p(L'$') >> name)[PopEvalPush{s}];
            text = (+(~sp::chset_p(L"${")))[PushText{s}];
            element = text | variable | (sp::ch_p(L'{') >> element >> sp::ch_p(L'}')) | sp::ch_p(L'$')[PushDollar{s}];
            expression = element >> *(element[Pop2ConcatPush{s}]);
        }
        sp::rule<ScannerT> expression, element, text, variable, name;
        const sp::rule<ScannerT>& start() const { return expression; }
    };

private:
    ZAttributeStack& _stack;
};

namespace {

// Signed 32-bit arithmetic that wraps instead of being undefined; division
// by zero and the one overflowing quotient give 0.
std::int32_t wrapped(std::uint32_t bits) { return static_cast<std::int32_t>(bits); }

std::int32_t applyOp(wchar_t op, std::int32_t left, std::int32_t right) {
    const auto l = static_cast<std::uint32_t>(left);
    const auto r = static_cast<std::uint32_t>(right);
    switch (op) {
        case L'+': return wrapped(l + r);
        case L'-': return wrapped(l - r);
        case L'*': return wrapped(l * r);
        default:
            if (right == 0 || (left == INT32_MIN && right == -1)) return 0;
            return left / right;
    }
}

// How deep the substitution grammar would nest: open braces not yet closed.
int braceDepth(const std::wstring& text) {
    int depth = 0;
    int deepest = 0;
    for (wchar_t c : text) {
        if (c == L'{') deepest = std::max(deepest, ++depth);
        if (c == L'}' && depth > 0) --depth;
    }
    return deepest;
}

// How deep the integer grammar would nest: open parentheses plus the run of
// signs in front of the current factor.
int expressionDepth(const std::wstring& text) {
    int depth = 0;
    int signs = 0;
    int deepest = 0;
    for (wchar_t c : text) {
        if (c == L'(') {
            ++depth;
        } else if (c == L')') {
            if (depth > 0) --depth;
        } else if (c == L'-' || c == L'+') {
            ++signs;
        } else if (c != L' ' && c != L'\t' && c != L'\n' && c != L'\r') {
            signs = 0;
        }
        deepest = std::max(deepest, depth + signs);
    }
    return deepest;
}

}  // namespace

// The integer grammar: unary signs bind tightest, then * and /, then + and
// -, all left-associative; blanks are skipped around tokens.
class ZCalculator : public sp::grammar<ZCalculator> {
public:
    explicit ZCalculator(std::deque<std::int32_t>& integers) : _integers(integers) {}

    struct PushInt {
        std::deque<std::int32_t>& integers;
        void operator()(ZExprIter first, ZExprIter last) const {
            std::int64_t value = 0;
            for (ZExprIter it = first; it != last; ++it) {
                value = value * 10 + (*it - L'0');
                if (value > INT32_MAX) {
                    value = INT32_MAX;
                    break;
                }
            }
            integers.push_back(static_cast<std::int32_t>(value));
        }
    };
    struct DoOp {
        std::deque<std::int32_t>& integers;
        wchar_t op;
        void operator()(ZExprIter, ZExprIter) const {
            if (integers.size() < 2) return;
            const std::int32_t right = integers.back();
            integers.pop_back();
            integers.back() = applyOp(op, integers.back(), right);
        }
    };
    struct DoNegate {
        std::deque<std::int32_t>& integers;
        void operator()(ZExprIter, ZExprIter) const {
            if (integers.empty()) return;
            integers.back() = wrapped(0u - static_cast<std::uint32_t>(integers.back()));
        }
    };

    template <typename ScannerT>
    struct definition {
        explicit definition(const ZCalculator& self) {
            auto& n = self._integers;
            integer = sp::lexeme_d[+sp::digit_p][PushInt{n}];
            factor = integer | (sp::ch_p(L'(') >> expression >> sp::ch_p(L')')) |
                     (sp::ch_p(L'-') >> factor)[DoNegate{n}] | (sp::ch_p(L'+') >> factor);
            term = factor >> *((sp::ch_p(L'*') >> factor)[DoOp{n, L'*'}] | (sp::ch_p(L'/') >> factor)[DoOp{n, L'/'}]);
            expression =
                term >> *((sp::ch_p(L'+') >> term)[DoOp{n, L'+'}] | (sp::ch_p(L'-') >> term)[DoOp{n, L'-'}]);
        }
        sp::rule<ScannerT> expression, term, factor, integer;
        const sp::rule<ScannerT>& start() const { return expression; }
    };

private:
    std::deque<std::int32_t>& _integers;
};

ZAttributeStack::ZAttributeStack(ZInstance* instance, ZNotifyHandle* notifyListener)
    : _instance(instance), _evaluator(nullptr), _calculator(nullptr) {
    ZTRACE_KIND("ZAttributeStack");
    ZPRECONDITION(instance && notifyListener);
    _evaluator = new ZEvaluator(*this);
    _calculator = new ZCalculator(_integerStack);
    _stateStack.push_back(Scope{{}, notifyListener});
}

ZAttributeStack::~ZAttributeStack() {
    ZASSERT_PTR(_calculator);
    ZASSERT_PTR(_evaluator);
    delete _calculator;
    delete _evaluator;
}

void ZAttributeStack::push() {
    ZASSERT(!_stateStack.empty());
    _stateStack.push_back(Scope{{}, _stateStack.back().listener});
}

void ZAttributeStack::push(ZNotifyHandle* listener) {
    ZPRECONDITION(listener);
    _stateStack.push_back(Scope{{}, listener});
}

void ZAttributeStack::push(const std::wstring& path, const ZAttributeList& attributes) {
    push();
    set(L"path", path);
    // The scope is already on top, so a value may use earlier ones of the
    // same node.
    for (const auto& [name, value] : attributes) set(name, eval(value));
}

void ZAttributeStack::pop() {
    ZASSERT(!_stateStack.empty());
    if (!_stateStack.empty()) _stateStack.pop_back();
}

void ZAttributeStack::set(const std::wstring& name, const std::wstring& value) {
    ZASSERT(!_stateStack.empty());
    if (!_stateStack.empty()) _stateStack.back().attributes[name] = value;
}

void ZAttributeStack::set(const std::wstring& name, std::int64_t value) {
    set(name, std::to_wstring(value));
}

std::wstring ZAttributeStack::get(const std::wstring& name) {
    if (name.empty()) return std::wstring();
    for (auto scope = _stateStack.rbegin(); scope != _stateStack.rend(); ++scope) {
        auto found = scope->attributes.find(name);
        if (found != scope->attributes.end()) return found->second;
    }
    return _instance->get(name);
}

std::wstring ZAttributeStack::eval(const std::wstring& text) {
    std::wstring work = text;
    for (int round = 0; round < ZATTRIBUTE_EVAL_LIMIT; ++round) {
        if (work.find(L'$') == std::wstring::npos) return work;
        if (braceDepth(work) > ZATTRIBUTE_NESTING_LIMIT) return work;
        _valueStack.clear();
        sp::parse(work.data(), work.data() + work.size(), *_evaluator);
        if (_valueStack.empty()) return std::wstring();
        std::wstring result = _valueStack.back();
        if (result == work) return result;
        if (result.size() > ZATTRIBUTE_EVAL_MAX_LENGTH) return work;
        work = std::move(result);
    }
    return work;
}

void ZAttributeStack::_calculate(const std::wstring& text) {
    _integerStack.clear();
    if (expressionDepth(text) > ZATTRIBUTE_NESTING_LIMIT) return;
    sp::parse(text.data(), text.data() + text.size(), *_calculator, sp::space_p);
}

std::int32_t ZAttributeStack::calc(const std::wstring& text) {
    _calculate(eval(text));
    return _integerStack.empty() ? 0 : _integerStack.back();
}

bool ZAttributeStack::test(const std::wstring& text) {
    const std::wstring value = eval(text);
    if (ZCaseEquals(value, L"true")) return true;
    _calculate(value);
    return !_integerStack.empty() && _integerStack.back() != 0;
}

ZNotifyHandle* ZAttributeStack::getNotifyListener() const {
    return _stateStack.empty() ? nullptr : _stateStack.back().listener;
}
