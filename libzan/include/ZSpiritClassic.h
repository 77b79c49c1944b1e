// Boost Spirit Classic, the grammar library of the text parsers.
//
// gcc 12 at -O2 takes the empty optional of a failed Spirit match for an
// uninitialised read; the match's value is only read after a hit. The
// warning is reported inside these headers, so it is silenced for them only.
#pragma once

#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <boost/spirit/include/classic_assign_actor.hpp>
#include <boost/spirit/include/classic_chset.hpp>
#include <boost/spirit/include/classic_core.hpp>
#pragma GCC diagnostic pop
