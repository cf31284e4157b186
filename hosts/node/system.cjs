'use strict';
// What the agent needs of the system it runs on, and what this one has: read before the agent is
// started, so that a system it cannot serve is named in words instead of a loader's exit 127.

const os = require('node:os');

// The oldest C library the Linux agents link against (the dist build's symbol versions), the
// first macOS with process taps, and the first Windows build with process loopback.
const GLIBC_FLOOR = [2, 34];
const MACOS_FLOOR = [14, 2];
const WINDOWS_FLOOR = 20348;

const version = (text) => (text ? text.split('.').map(Number) : null);
const older = (found, floor) => {
  for (let i = 0; i < floor.length; i += 1) {
    if ((found[i] || 0) !== floor[i]) return (found[i] || 0) < floor[i];
  }
  return false;
};

let header; // process.report's header, read once: making a report is not free
function reportHeader() {
  if (header === undefined) header = process.report?.getReport?.().header ?? null;
  return header;
}

// This system as the checks read it. macOS: the Darwin kernel's release, whose major minus 9 is
// macOS's since macOS 11, and whose minor is macOS's on macOS 14 (Darwin 23.2 is macOS 14.2).
// Windows: os.release() is "10.0.BUILD". Anything unreadable is left out and not checked.
function describeSystem() {
  const { platform, arch } = process;
  const described = { platform, arch };
  const glibc = platform === 'linux' && reportHeader()?.glibcVersionRuntime;
  // Node's report names glibc's version where it runs on glibc, and nothing on musl.
  if (platform === 'linux' && reportHeader()) described.libc = glibc ? 'glibc' : 'other';
  if (glibc) described.glibc = glibc;
  const release = os.release();
  const darwin = /^(\d+)\.(\d+)\.\d+$/.exec(release);
  if (platform === 'darwin' && darwin && Number(darwin[1]) >= 20) {
    described.macos = `${Number(darwin[1]) - 9}.${darwin[2]}`;
  }
  const windows = /^10\.0\.(\d+)$/.exec(release);
  if (platform === 'win32' && windows) described.windowsBuild = Number(windows[1]);
  return described;
}

// Why the agent cannot run on the described system, in words naming what it needs and what was
// found; null when nothing is known against it. The C library matters to a `prebuilt` agent only
// (a platform package's): one built on the system itself, given or on the PATH, is its own judge.
function systemProblem(described, prebuilt) {
  const cannot = 'the quenwick agent cannot run on this system: it needs';
  const glibcFloor = GLIBC_FLOOR.join('.');
  if (!prebuilt) return osProblem(described, cannot);
  if (described.libc === 'other') {
    return `${cannot} glibc ${glibcFloor} or later, and this Linux has another C library ` +
      '(musl, as on Alpine)';
  }
  if (described.glibc && older(version(described.glibc), GLIBC_FLOOR)) {
    return `${cannot} glibc ${glibcFloor} or later, and this Linux has glibc ${described.glibc}`;
  }
  return osProblem(described, cannot);
}

function osProblem(described, cannot) {
  if (described.macos && older(version(described.macos), MACOS_FLOOR)) {
    return `${cannot} macOS ${MACOS_FLOOR.join('.')} or later (process taps), and this Mac has ` +
      `macOS ${described.macos}`;
  }
  if (described.windowsBuild !== undefined && described.windowsBuild < WINDOWS_FLOOR) {
    return `${cannot} Windows build ${WINDOWS_FLOOR} or later (process loopback), and this ` +
      `Windows is build ${described.windowsBuild}`;
  }
  return null;
}

module.exports = { describeSystem, systemProblem };
