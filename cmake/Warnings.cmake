# Warnings are errors on every build: native, i686 and x86_64 MinGW.
function(tovrin_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
