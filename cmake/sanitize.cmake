# Instrumented builds. KESTRUNE_SANITIZE=address builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, =thread with ThreadSanitizer (scripts/sanitize.sh runs the test
# suite in each). KESTRUNE_FUZZ=ON (clang only) instruments everything for libFuzzer with
# ASan and UBSan and adds the fuzz targets of fuzz/ (scripts/fuzz.sh). Included before any
# target is defined, so the flags reach every target.
set(KESTRUNE_SANITIZE "" CACHE STRING "Sanitizer build: address (ASan+UBSan), thread (TSan) or empty")
option(KESTRUNE_FUZZ "Build the libFuzzer targets of fuzz/ (needs clang)" OFF)

if(KESTRUNE_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  # Leak reports come after the exit handlers have unloaded the OpenCL driver; keeping it
  # mapped lets the suppressions name it (tests/sanitize/keep_loaded.c).
  add_library(kestrune_keep_loaded STATIC ${CMAKE_SOURCE_DIR}/tests/sanitize/keep_loaded.c)
  link_libraries(kestrune_keep_loaded)
  add_link_options(-Wl,--wrap=dlclose)
elseif(KESTRUNE_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KESTRUNE_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KESTRUNE_SANITIZE must be address, thread or empty, not '${KESTRUNE_SANITIZE}'")
endif()

if(KESTRUNE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KESTRUNE_FUZZ needs clang (libFuzzer): configure with CMAKE_CXX_COMPILER=clang++")
  endif()
  if(NOT KESTRUNE_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KESTRUNE_FUZZ brings its own sanitizers; leave KESTRUNE_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
