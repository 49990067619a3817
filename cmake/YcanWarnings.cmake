# Warning flags and sanitizer instrumentation shared by every target we build.
function(ycan_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(YCAN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 reports maybe-uninitialized false positives inside the standard
  # library (std::regex, std::function) once sanitizer instrumentation is on.
  if(YCAN_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

if(YCAN_SANITIZE)
  add_compile_options(-fsanitize=${YCAN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${YCAN_SANITIZE})
endif()
