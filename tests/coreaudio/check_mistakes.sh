#!/usr/bin/env bash
# Shows that the syntax check of the Core Audio backend catches the mistakes it exists for.
#
# Usage: check_mistakes.sh CLANGXX SOURCE_ROOT
#
# The backend source is first checked as it is and must pass. Then each mistake is put into a
# fresh copy of it (or of a header it includes), and the check must reject that copy with the
# diagnostic the mistake calls for. A mistake whose edit no longer applies to the source fails
# too, so the list cannot go quietly stale. Exits 0 only if every step behaved.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 CLANGXX SOURCE_ROOT" >&2
  exit 2
fi
clangxx=$1
root=$2
source="$root/src/capture/coreaudio/core_audio_hardware.mm"
decls="$root/tests/coreaudio/sdk-decls"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# check FILE [EXTRA_FLAGS...]: the syntax check; extra include directories come before src/.
check() {
  local file=$1
  shift
  "$clangxx" -std=c++20 -x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=gnustep-2.0 \
    -Wall -Wextra -Werror -fsyntax-only -I "$decls" "$@" -I "$root/src" "$file"
}

failures=0
passed=0

# expect_rejected NAME FILE PATTERN [EXTRA_FLAGS...]
expect_rejected() {
  local name=$1 file=$2 pattern=$3
  shift 3
  local log="$work/$name.log"
  if check "$file" "$@" >"$log" 2>&1; then
    echo "FAIL  $name: the check accepted it"
    failures=$((failures + 1))
  elif ! grep -q -e "$pattern" "$log"; then
    echo "FAIL  $name: rejected, but without the expected diagnostic /$pattern/:"
    sed 's/^/      /' "$log"
    failures=$((failures + 1))
  else
    echo "ok    $name: $(grep -m1 'error:' "$log" | sed 's/^.*error: //')"
    passed=$((passed + 1))
  fi
}

# mutate NAME ORIGINAL COPY SED_EXPRESSION: writes the edited copy; fails if nothing changed.
mutate() {
  local name=$1 original=$2 copy=$3 expression=$4
  mkdir -p "$(dirname "$copy")"
  sed -e "$expression" "$original" >"$copy"
  if cmp -s "$original" "$copy"; then
    echo "FAIL  $name: the edit '$expression' no longer applies to $original"
    failures=$((failures + 1))
    return 1
  fi
}

# The source as it is.
if check "$source" >"$work/unmodified.log" 2>&1; then
  echo "ok    unmodified source accepted"
  passed=$((passed + 1))
else
  echo "FAIL  unmodified source rejected:"
  sed 's/^/      /' "$work/unmodified.log"
  failures=$((failures + 1))
fi

# 1. A selector the class does not have: the private flag's setter is setPrivate:.
if mutate wrong-selector "$source" "$work/wrong-selector.mm" 's/\[tap setPrivate:/[tap setIsPrivate:/'; then
  expect_rejected wrong-selector "$work/wrong-selector.mm" "selector 'setIsPrivate:'"
fi

# 2. An IO block whose input buffer list is not const does not have the IO block's type.
if mutate wrong-io-block "$source" "$work/wrong-io-block.mm" \
  's/const ::AudioBufferList\* inputData,/::AudioBufferList* inputData,/'; then
  expect_rejected wrong-io-block "$work/wrong-io-block.mm" "AudioDeviceIOBlock"
fi

# 3. Under ARC an Objective-C object becomes a CF reference only through a bridged cast.
if mutate missing-bridge "$source" "$work/missing-bridge.mm" \
  's/(__bridge CFDictionaryRef)composition/(CFDictionaryRef)composition/'; then
  expect_rejected missing-bridge "$work/missing-bridge.mm" "requires a bridged cast"
fi

# 4. A stream description that has drifted from Core Audio's: the real source, compiled with an
#    edited convert/audio_buffers.h found ahead of the real one.
if mutate layout-drift "$root/src/convert/audio_buffers.h" "$work/overlay/convert/audio_buffers.h" \
  's/std::uint32_t mBytesPerFrame;/std::uint16_t mBytesPerFrame;/'; then
  expect_rejected layout-drift "$source" "does not match Core Audio's" -I "$work/overlay"
fi

echo "$passed passed, $failures failed"
[[ $failures -eq 0 ]]
