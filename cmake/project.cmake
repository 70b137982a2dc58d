# Project-wide compiler settings and the test helper.

set(LORRIVAN_WARNINGS -Wall -Wextra)
option(LORRIVAN_SANITIZE "Build the native tests with AddressSanitizer and UndefinedBehaviorSanitizer" ON)

# Flags for every target of the project's own code.
function(lorrivan_target_defaults target)
    target_compile_options(${target} PRIVATE ${LORRIVAN_WARNINGS})
    if(WIN32)
        target_compile_definitions(${target} PRIVATE
            _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000
            WIN32_LEAN_AND_MEAN NOMINMAX)
    elseif(LORRIVAN_SANITIZE)
        target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
            -fno-sanitize-recover=undefined)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()

if(WIN32)
    # No MinGW runtime DLL next to the binaries.
    add_link_options(-static -static-libgcc -static-libstdc++)
    set(LORRIVAN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    # One Wine prefix and one persistent wineserver for the whole test run.
    add_test(NAME wine_prefix_start
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh start ${LORRIVAN_WINEPREFIX})
    add_test(NAME wine_prefix_stop
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh stop ${LORRIVAN_WINEPREFIX})
    set_tests_properties(wine_prefix_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
    set_tests_properties(wine_prefix_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
endif()

# GoogleTest, built from the Debian sources with the current toolchain.
if(NOT TARGET gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT WIN32 AND LORRIVAN_SANITIZE)
        foreach(t gtest gtest_main)
            target_compile_options(${t} PRIVATE -fsanitize=address,undefined)
        endforeach()
    endif()
endif()

# The test programs of the Windows build share one Wine prefix, and with it one
# registry. Programs that write the network registry keys (the network adapter class's
# Control\Network and Control\Class entries, the Tcpip and Tcpip6 interface keys) take
# this lock, so that they run one at a time and none sees what another wrote; each
# removes what it wrote.
set(LORRIVAN_NETWORK_REGISTRY_LOCK network_registry_keys)

# lorrivan_add_test(name SOURCES ... LIBRARIES ... [TIMEOUT s] [SERIAL] [LABELS ...]
#                   [LOCKS ...] [NO_TEST])
# One test executable, run by CTest (under Wine in the Windows build). LOCKS names the
# resources that the program must not share with another test while it runs. NO_TEST
# builds the executable only, for a test that runs it in a command of its own.
function(lorrivan_add_test name)
    cmake_parse_arguments(T "SERIAL;NO_TEST" "TIMEOUT" "SOURCES;LIBRARIES;LABELS;LOCKS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    lorrivan_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${T_LIBRARIES} gtest_main gtest)
    if(T_NO_TEST)
        return()
    endif()
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 150)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
    if(T_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_LOCKS)
        set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
    if(WIN32)
        set_tests_properties(${name} PROPERTIES
            FIXTURES_REQUIRED wine
            ENVIRONMENT "WINEPREFIX=${LORRIVAN_WINEPREFIX};WINEDEBUG=-all")
    endif()
endfunction()
