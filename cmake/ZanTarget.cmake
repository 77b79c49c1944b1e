# Common settings for every target built from our own sources.
#
# zan_target(<target> <root>) turns on the warnings we keep at zero and
# rewrites __FILE__ so log lines name sources relative to <root>
# ("./src/ZUtil_Log.cpp" for the base library).
function(zan_target target root)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Werror
    -fmacro-prefix-map=${root}/=./)
endfunction()
