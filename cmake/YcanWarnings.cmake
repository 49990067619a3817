# Warning flags and sanitizer instrumentation shared by every target we build.
function(ycan_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(YCAN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(YCAN_SANITIZE)
  add_compile_options(-fsanitize=${YCAN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${YCAN_SANITIZE})
endif()
