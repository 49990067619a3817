# Warning flags shared by every target we build.
function(ycan_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
  if(YCAN_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # GCC 12 reports maybe-uninitialized false positives inside the standard
  # library (std::regex, std::function) once sanitizer instrumentation is on.
  if(YCAN_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()
