// A client library opened at run time rather than by the loader, so that a machine without it
// still starts the agent and hears, in a status line, what to install. Each backend keeps its
// functions in one table of its own (pipewire_library.h, pulse_library.h).
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "capture/capture.h"

namespace quenwick {

struct RuntimeLibrary {
  const char* server;         // "PipeWire": whose client library it is, as the user knows it
  const char* soname;         // the file dlopen looks for
  const char* whatToInstall;  // the packages that have it, on the systems a user may have
};

// Opens the library and takes every one of `functions`, in their order; a library that lacks
// one is refused whole, and the words name what it lacks.
std::variant<std::vector<void*>, CaptureFailure> openRuntimeLibrary(
    const RuntimeLibrary& library, std::span<const char* const> functions);

// Fills `table`, a struct of nothing but function pointers, one for each of `names` in order.
template <class Table, std::size_t N>
std::optional<CaptureFailure> openRuntimeTable(Table& table, const RuntimeLibrary& library,
                                               const char* const (&names)[N]) {
  static_assert(sizeof(Table) == N * sizeof(void*), "one name for each function of the table");
  static_assert(std::is_trivially_copyable_v<Table>);
  auto opened = openRuntimeLibrary(library, names);
  if (auto* failure = std::get_if<CaptureFailure>(&opened)) return *failure;
  // POSIX gives dlsym's pointers and function pointers one representation.
  std::memcpy(static_cast<void*>(&table), std::get<std::vector<void*>>(opened).data(),
              sizeof(Table));
  return std::nullopt;
}

}  // namespace quenwick
