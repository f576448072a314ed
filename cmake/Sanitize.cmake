# Sanitizers and libFuzzer instrumentation for every target of the build.
#   -DKELVANE_SANITIZE=address,undefined   the product and the tests, any report fails the test
#   -DKELVANE_FUZZ=ON                      the libFuzzer targets in fuzz/ (clang++ only)
option(KELVANE_FUZZ "Build the libFuzzer targets into the build folder's fuzz/ (needs clang++)" OFF)
set(KELVANE_SANITIZE "" CACHE STRING "Sanitizers for the product and the tests, e.g. address,undefined")

if(KELVANE_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KELVANE_FUZZ needs clang's libFuzzer: configure with -DCMAKE_CXX_COMPILER=clang++")
endif()

# What the tests get in their environment; empty without sanitizers.
set(KELVANE_SANITIZER_ENV "")
if(KELVANE_SANITIZE)
    add_compile_options(-fsanitize=${KELVANE_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${KELVANE_SANITIZE})
    set(supp "${PROJECT_SOURCE_DIR}/tests/sanitizers")
    set(KELVANE_SANITIZER_ENV
        "ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1"
        "LSAN_OPTIONS=suppressions=${supp}/lsan.supp:print_suppressions=0"
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=${supp}/ubsan.supp")
endif()
if(KELVANE_FUZZ)
    # Coverage for the fuzzer in the product's own code, not only in the targets.
    add_compile_options(-fsanitize=fuzzer-no-link)
    # Programs other than the targets (the updater, the tests) then need the
    # coverage hooks too; without a sanitizer runtime nothing else brings them.
    add_link_options(-fsanitize=fuzzer-no-link)
endif()
