// Log lines of the dispatch service: after the function part, the user
// identity in parentheses and the state's name in square brackets.
#pragma once

#include "ZUtil.h"

#define ZDISPATCH_LOG(...) ZLOGCTX(_prefix(), __VA_ARGS__)
#define ZDISPATCH_LOGC(category, ...)                                          \
    do {                                                                       \
        if (ZLogIsEnabled(category)) ZLOGCTX(_prefix(), __VA_ARGS__);          \
    } while (0)
#define ZDISPATCH_ACTIVITY(...) ZLOG(L"ACTIVITY: " << _prefix() << __VA_ARGS__)
