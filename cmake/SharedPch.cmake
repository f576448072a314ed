# One precompiled header of Qt's headers, shared by many targets: most of a
# test's compile time is spent reading QtTest, QtWidgets and QtNetwork.
#   KELVANE_SHARED_PCH=tests  the tests, the fuzz replays and the benchmark
#                             (the default); the product's own libraries and
#                             program compile every file as it stands, so the
#                             build still catches an include that is missing
#   KELVANE_SHARED_PCH=all    every target (a second build, such as the
#                             sanitizer build in CI, where the first one has
#                             checked the includes)
#   KELVANE_SHARED_PCH=off    none
# The libFuzzer targets, whose flags differ, always compile without it.
set(KELVANE_SHARED_PCH tests CACHE STRING "targets that share one precompiled header of Qt's headers: tests, all or off")
set_property(CACHE KELVANE_SHARED_PCH PROPERTY STRINGS tests all off)
if(NOT KELVANE_SHARED_PCH MATCHES "^(tests|all|off)$")
    message(FATAL_ERROR "KELVANE_SHARED_PCH must be tests, all or off")
endif()

function(kelvane_targets_below dir out)
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    foreach(sub IN LISTS subdirs)
        kelvane_targets_below("${sub}" more)
        list(APPEND targets ${more})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Called once every folder has defined its targets.
function(kelvane_share_pch)
    if(KELVANE_SHARED_PCH STREQUAL "all")
        kelvane_targets_below("${PROJECT_SOURCE_DIR}" targets)
    else()
        set(targets "")
        foreach(dir tests bench)
            if(IS_DIRECTORY "${PROJECT_BINARY_DIR}/${dir}")
                kelvane_targets_below("${PROJECT_SOURCE_DIR}/${dir}" more)
                list(APPEND targets ${more})
            endif()
        endforeach()
    endif()
    file(WRITE "${PROJECT_BINARY_DIR}/shared_pch.cpp" "// The shared precompiled header's own target.\n")
    add_library(shared_pch STATIC "${PROJECT_BINARY_DIR}/shared_pch.cpp")
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        # Clang takes a header made with other module definitions (QT_NETWORK_LIB
        # ...) than a target's, so Qt Test's headers, which read them, come
        # too, without Qt Test's own definitions, which differ from folder to
        # folder.
        target_link_libraries(shared_pch PRIVATE Qt6::Widgets Qt6::Network)
        target_include_directories(shared_pch PRIVATE $<TARGET_PROPERTY:Qt6::Test,INTERFACE_INCLUDE_DIRECTORIES>)
        target_precompile_headers(shared_pch PRIVATE <QtWidgets> <QtNetwork> <QtTest>)
    else()
        # GCC refuses a header made with a definition that a target lacks, or
        # without one the header reads: the headers of the Qt modules come
        # without the definitions that name the modules a target links, and
        # Qt Test's headers, which read those, stay out.
        foreach(module Widgets Network)
            target_include_directories(shared_pch PRIVATE $<TARGET_PROPERTY:Qt6::${module},INTERFACE_INCLUDE_DIRECTORIES>)
        endforeach()
        target_compile_options(shared_pch PRIVATE $<TARGET_PROPERTY:Qt6::Core,INTERFACE_COMPILE_OPTIONS>)
        target_compile_definitions(shared_pch PRIVATE $<$<NOT:$<CONFIG:Debug>>:QT_NO_DEBUG>)
        target_precompile_headers(shared_pch PRIVATE <QtWidgets> <QtNetwork>)
    endif()
    kelvane_compile_rules(shared_pch)
    # Test code is never shipped: in the usual build type it is optimised and
    # described for the debugger a step less than the product (line tables
    # and functions, which a backtrace needs), which halves its compile time.
    # The header and the targets that read it agree on these flags.
    set(test_flags "")
    if(KELVANE_SHARED_PCH STREQUAL "tests" AND NOT MSVC)
        set(test_flags "$<$<CONFIG:RelWithDebInfo>:-O1;-g1>")
    endif()
    target_compile_options(shared_pch PRIVATE ${test_flags})
    foreach(target IN LISTS targets)
        get_target_property(type ${target} TYPE)
        if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY)$" AND NOT (KELVANE_FUZZ AND target MATCHES "^fuzz_"))
            target_precompile_headers(${target} REUSE_FROM shared_pch)
            target_compile_options(${target} PRIVATE ${test_flags})
        endif()
    endforeach()
endfunction()

if(NOT KELVANE_SHARED_PCH STREQUAL "off")
    cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL kelvane_share_pch)
endif()
