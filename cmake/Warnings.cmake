# Every target of ours calls tavrik_warnings(); third-party headers come in as SYSTEM includes.
function(tavrik_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Wunused -Woverloaded-virtual -Wnull-dereference
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(TAVRIK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
