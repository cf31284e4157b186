// The agent's two outputs: the PCM stream on standard output, the status lines on standard error.
#pragma once

namespace quenwick {

inline constexpr int kPcmStream = 1;     // standard output
inline constexpr int kStatusStream = 2;  // standard error

// Once, first thing at start. POSIX (standard_streams-posix.cpp): a host may start the agent
// with standard input, output or error closed; the descriptors that the agent and its audio
// layer open next would then take those numbers, and PCM or status lines would land in them, so
// /dev/null holds the places instead. Windows (standard_streams-win32.cpp): the C runtime's
// descriptors are binary, never text mode, which would make each 0x0A of the PCM 0x0D 0x0A.
void prepareStandardStreams();

}  // namespace quenwick
