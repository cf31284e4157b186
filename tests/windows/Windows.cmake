# The Windows build's tests, run under Wine (the toolchain's emulator, scripts/wine-run): the unit
# tests of everything but the platform's audio, the agent's run control as a process
# (tests/windows/test_wine.py), and the executable's imports. Included from tests/CMakeLists.txt.

# Debian's libgtest-dev ships GoogleTest's sources: built here with the agent's compiler.
set(QUENWICK_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources, for mingw-w64")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUENWICK_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -Wno-error)
target_compile_options(gtest_main PRIVATE -Wno-error)

# A tap's lists read into cycles: plain C++, and the conversion's exactness test goes through it.
add_executable(quenwick_tests ${QUENWICK_UNIT_TESTS} support/allocation_count.cpp
  ${PROJECT_SOURCE_DIR}/src/capture/coreaudio/buffer_list_cycle.cpp)
target_include_directories(quenwick_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(quenwick_tests PRIVATE -ffp-contract=off)
target_link_libraries(quenwick_tests PRIVATE quenwick_loopback gtest_main)
add_test(NAME unit COMMAND quenwick_tests --gtest_brief=1)
set_tests_properties(unit PROPERTIES TIMEOUT 600)

add_executable(quenwick-steady windows/steady_capture.cpp)
target_link_libraries(quenwick-steady PRIVATE quenwick_core)
add_executable(quenwick-console-event windows/console_event.cpp)

# The agent as a process under Wine, and what the executables import: in the cross build only.
# The host's Python and tools run these, not the emulator.
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()
find_program(QUENWICK_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH
             DOC "Python with pytest, numpy and jsonschema")
add_test(NAME wine_agent
         COMMAND ${QUENWICK_PYTHON} -m pytest -q ${CMAKE_CURRENT_SOURCE_DIR}/windows)
set_tests_properties(wine_agent PROPERTIES ENVIRONMENT QUENWICK_WINDOWS_BUILD=${PROJECT_BINARY_DIR}
                                           TIMEOUT 600)
add_test(NAME pe_imports
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-pe-imports $<TARGET_FILE:quenwick>
                 $<TARGET_FILE:quenwick-steady>)
