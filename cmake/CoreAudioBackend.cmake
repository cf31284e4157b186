# The macOS audio layer: Core Audio process taps, in Objective-C++ with ARC.
#
# Included from the top-level CMakeLists.txt on Apple platforms, once quenwick_core exists.
# Defines:
#   quenwick_backend        the Core Audio implementation of the audio hardware interface
#   quenwick_sign(target)   embeds packaging/macos/Info.plist, with the project's version, in
#                           the executable `target` and signs it after each link with the
#                           hardened runtime and packaging/macos/quenwick.entitlements
#   QUENWICK_CODESIGN_IDENTITY (cache) the signing identity; "-" signs ad hoc
#
# Process taps first exist in macOS 14.2. CMAKE_OSX_DEPLOYMENT_TARGET must say so before
# project(), because project() hands it to the compilers; this file only checks it.

include_guard(GLOBAL)

if(NOT CMAKE_OSX_DEPLOYMENT_TARGET OR CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS 14.2)
  message(FATAL_ERROR
    "The Core Audio backend needs macOS 14.2 or later: set CMAKE_OSX_DEPLOYMENT_TARGET to 14.2 "
    "before project() (it is \"${CMAKE_OSX_DEPLOYMENT_TARGET}\")")
endif()

enable_language(OBJCXX)

get_filename_component(QUENWICK_SOURCE_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

# The Objective-C++ file gets the same flags as the C++ sources, sanitizers included.
string(APPEND CMAKE_OBJCXX_FLAGS " ${CMAKE_CXX_FLAGS}")

add_library(quenwick_backend STATIC
  ${QUENWICK_SOURCE_ROOT}/src/capture/coreaudio/core_audio_hardware.mm)
set_target_properties(quenwick_backend PROPERTIES
  OBJCXX_STANDARD 20
  OBJCXX_STANDARD_REQUIRED ON
  OBJCXX_EXTENSIONS OFF)
target_include_directories(quenwick_backend PUBLIC ${QUENWICK_SOURCE_ROOT}/src)
target_compile_options(quenwick_backend PRIVATE -fobjc-arc)
target_link_libraries(quenwick_backend PUBLIC
  quenwick_core
  "-framework CoreAudio"
  "-framework Foundation"
  "-framework CoreFoundation")

set(QUENWICK_CODESIGN_IDENTITY "-" CACHE STRING
  "Identity that signs the agent (codesign --sign); \"-\" signs ad hoc")
set(QUENWICK_INFO_PLIST ${CMAKE_BINARY_DIR}/Info.plist)
configure_file(${QUENWICK_SOURCE_ROOT}/packaging/macos/Info.plist ${QUENWICK_INFO_PLIST} @ONLY)
set(QUENWICK_ENTITLEMENTS ${QUENWICK_SOURCE_ROOT}/packaging/macos/quenwick.entitlements)
find_program(QUENWICK_CODESIGN codesign REQUIRED)

function(quenwick_sign target)
  # A single-file tool carries its Info.plist in a section of its own; the identifier in it
  # becomes the signature's identifier, and the usage description is shown by the prompt.
  target_link_options(${target} PRIVATE
    "LINKER:-sectcreate,__TEXT,__info_plist,${QUENWICK_INFO_PLIST}")
  # Editing either file relinks, and so re-signs.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
    ${QUENWICK_INFO_PLIST} ${QUENWICK_ENTITLEMENTS})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${QUENWICK_CODESIGN} --force --options runtime
            --entitlements ${QUENWICK_ENTITLEMENTS}
            --sign ${QUENWICK_CODESIGN_IDENTITY}
            $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} (identity ${QUENWICK_CODESIGN_IDENTITY})"
    VERBATIM)
endfunction()
