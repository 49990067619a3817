# Sanitizer instrumentation for everything built (YCAN_SANITIZE:
# address,undefined or thread), library, tests and tools alike.
if(YCAN_SANITIZE)
  add_compile_options(-fsanitize=${YCAN_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${YCAN_SANITIZE})
endif()
