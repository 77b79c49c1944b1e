# Common settings for every target built from our own sources.
#
# zan_target(<target> <root>) turns on the warnings we keep at zero and
# rewrites __FILE__ so log lines name sources relative to <root>
# ("./src/ZUtil_Log.cpp" for the base library).
function(zan_target target root)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror
    -fmacro-prefix-map=${root}/=./)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The fuzz tree: clang also reports fields not read yet and handlers
    # deleted through their own type, which gcc, the compiler of record,
    # leaves alone.
    target_compile_options(${target} PRIVATE -Wno-unused-private-field -Wno-delete-non-abstract-non-virtual-dtor)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # gcc 12 at -O3 (the Release benches) reports overlapping copies inside
    # std::string's own assignments (gcc bug 105651): not ours to mend.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()
