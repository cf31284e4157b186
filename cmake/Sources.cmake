# The agent's sources, listed rather than globbed, with the files of each platform picked by name
# as ninja picks subprocess-posix.cc or subprocess-win32.cc: no source above them asks which
# platform it is built for. QUENWICK_PLATFORM is linux, darwin or win32; CMakeLists.txt sets it
# from the target system. Paths are relative to the project's root.
#
# Run as a script, it prints a platform's sources, one "KIND PATH" a line (KIND: convert, core or
# main), for checks that compile the agent without CMake, such as the macOS link check:
#   cmake -DQUENWICK_PLATFORM=darwin -P cmake/Sources.cmake
if(QUENWICK_PLATFORM STREQUAL "win32")
  set(os win32)
elseif(QUENWICK_PLATFORM MATCHES "^(linux|darwin)$")
  set(os posix)
else()
  message(FATAL_ERROR "QUENWICK_PLATFORM is linux, darwin or win32, not '${QUENWICK_PLATFORM}'")
endif()

# What happens to each cycle, knowing nothing of any audio layer.
set(QUENWICK_CONVERT_SOURCES
  src/convert/capture_callback.cpp
  src/convert/downmix.cpp
  src/convert/resampler.cpp
  src/convert/sample_layout.cpp
  src/convert/sinc_resampler.cpp
  src/convert/timeline.cpp)

# The system's small services that run control, the capture and the output share: wake-ups,
# whole writes, a process's facts.
set(QUENWICK_SYSTEM_SOURCES
  src/system/process_facts-${QUENWICK_PLATFORM}.cpp
  src/system/sleep_clock-${QUENWICK_PLATFORM}.cpp
  src/system/wakeup-${os}.cpp
  src/system/write_all-${os}.cpp)

# The PCM stream to the host, and its writes that never wait.
set(QUENWICK_OUTPUT_SOURCES
  src/output/no_wait_twin-${os}.cpp
  src/output/packet_ring.cpp
  src/output/pcm_output.cpp)

# Run control, the capture interface's shared parts, and on POSIX the plain C++ of the Core Audio
# backend, which builds on Linux too: the scripted layer speaks Core Audio.
set(QUENWICK_CORE_SOURCES
  src/app/agent.cpp
  src/app/command_line.cpp
  src/app/ending.cpp
  src/app/ending-${os}.cpp
  src/app/main_queue.cpp
  src/app/outage.cpp
  src/app/parent_watch-${os}.cpp
  src/app/run_control.cpp
  src/app/shutdown-${os}.cpp
  src/app/silence_watch.cpp
  src/app/standard_streams-${os}.cpp
  src/app/status.cpp
  src/capture/mixing/channel_map.cpp
  src/capture/mixing/packet_mixer.cpp
  src/capture/mixing/stereo_cycle.cpp
  src/capture/process_targets.cpp)
set(QUENWICK_CORE_AUDIO_SOURCES
  src/capture/coreaudio/aggregate_device.cpp
  src/capture/coreaudio/buffer_list_cycle.cpp
  src/capture/coreaudio/core_audio_capture.cpp
  src/capture/coreaudio/core_audio_words.cpp
  src/capture/coreaudio/format_handover.cpp
  src/capture/coreaudio/process_resolution.cpp
  src/capture/coreaudio/tap.cpp
  src/capture/coreaudio/tap_format.cpp
  src/capture/coreaudio/uuid.cpp)
if(os STREQUAL "posix")
  list(APPEND QUENWICK_CORE_SOURCES ${QUENWICK_CORE_AUDIO_SOURCES})
endif()

# The entry point, and the platform's list of backends: the one place that names them.
set(QUENWICK_MAIN_SOURCES src/app/main.cpp src/capture/backends-${QUENWICK_PLATFORM}.cpp)

# Linux's two backends, PipeWire and PulseAudio, each library opened at run time, and what they
# share: who a client's process is, and the opening of a library.
set(QUENWICK_LINUX_BACKEND_SOURCES
  src/capture/linux/process_match.cpp
  src/capture/linux/runtime_library.cpp
  src/capture/pipewire/capture_channel.cpp
  src/capture/pipewire/capture_node.cpp
  src/capture/pipewire/graph_watch.cpp
  src/capture/pipewire/link_plan.cpp
  src/capture/pipewire/pipewire_capture.cpp
  src/capture/pipewire/pipewire_connection.cpp
  src/capture/pipewire/pipewire_library.cpp
  src/capture/pipewire/registry_bridge.cpp
  src/capture/pulseaudio/pulse_capture.cpp
  src/capture/pulseaudio/pulse_library.cpp
  src/capture/pulseaudio/sink_input_plan.cpp
  src/capture/pulseaudio/stream_ring.cpp)

# The process-loopback backend's portable sequence (Windows), built on every platform for the
# scripted loopback in the tests.
set(QUENWICK_LOOPBACK_SOURCES
  src/capture/loopback/activation.cpp
  src/capture/loopback/capture_loop.cpp
  src/capture/loopback/loopback_capture.cpp
  src/capture/loopback/loopback_words.cpp
  src/capture/loopback/session_watch.cpp)

# The process-loopback backend's translation into Windows' own calls (COM, WASAPI, MMCSS): it
# builds for Windows only, over the portable sequence of quenwick_loopback.
set(QUENWICK_WINDOWS_BACKEND_SOURCES
  src/capture/loopback/windows_audio_com.cpp)

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(kind convert core)
    string(TOUPPER ${kind} list)
    foreach(source ${QUENWICK_${list}_SOURCES})
      message(NOTICE "${kind} ${source}")
    endforeach()
  endforeach()
  foreach(source ${QUENWICK_SYSTEM_SOURCES} ${QUENWICK_OUTPUT_SOURCES})
    message(NOTICE "core ${source}")
  endforeach()
  foreach(source ${QUENWICK_MAIN_SOURCES})
    message(NOTICE "main ${source}")
  endforeach()
endif()
