'use strict';
// The quenwick agent as a Node module: one call starts a capture, which hands over PCM as a
// stream of Buffers and the agent's status lines as typed events, and tells how it ended.

const { spawn } = require('node:child_process');
const { EventEmitter } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const readline = require('node:readline');
const { Transform } = require('node:stream');
const { inspect } = require('node:util');

const system = require('./system.cjs');

// What the agent writes on standard output: raw mono signed 16-bit little-endian PCM.
const SAMPLE_RATE = 16000;
const CHANNELS = 1;
const BYTES_PER_SAMPLE = 2;
const SAMPLE_FORMAT = 's16le';

// The agent's words for a start with nothing to hear, which a deadline of ours ends with too.
const NOTHING_TO_HEAR =
  'none of the requested processes are audio processes yet; is the app playing sound?';
// Its words, with the same status 3, for a request none of whose processes lives.
const NONE_EXISTS = 'none of the requested processes exists';
// How many of the agent's last lines that are no status line an error carries: what a loader
// (GLIBC_2.34 not found) or dyld (Symbol not found) wrote before the agent could say anything.
const LINES_KEPT = 5;
// The events emitted under their own name as the agent writes them: --report's, and those of a
// server that goes away and comes back (--recover).
const NAMED = ['backend', 'format', 'running', 'playing', 'ended', 'silence', 'sound',
  'interrupted', 'resumed', 'slept'];
const LARGEST_PID = 2 ** 31 - 1;
// setTimeout fires at once past this (about 24.8 days): a longer wait has no deadline.
const LONGEST_TIMER_MS = 2 ** 31 - 1;

class QuenwickError extends Error {
  constructor(message, { status = null, signal = null, event = undefined } = {}) {
    super(message);
    this.name = new.target.name;
    this.status = status;
    this.signal = signal;
    this.event = event;
  }
}
// Exit status 1: the command line the options made was refused.
class UsageError extends QuenwickError {}
// Exit status 2: the audio layer refused, the audio server went away, or the PCM could not be
// written; the message is the agent's.
class AudioLayerError extends QuenwickError {}
// Exit status 3: none of the listed processes plays sound yet, or waitForAudio's deadline passed.
class NothingToHearError extends QuenwickError {}
// Exit status 3, the agent found none of the listed processes alive: waiting would be in vain.
class NoSuchProcessError extends QuenwickError {}
// The agent was ended by a signal that it does not handle (SIGKILL, SIGINT, ...).
class SignalError extends QuenwickError {}
// No agent to start.
class BinaryNotFoundError extends QuenwickError {}

const errorsByStatus = { 1: UsageError, 2: AudioLayerError, 3: NothingToHearError };

function isExecutable(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

// The agent's package of each platform that has one, by npm's os and cpu: npm installs the
// one that fits among the main package's optionalDependencies (scripts/package makes them).
const PLATFORM_PACKAGES = require('./platforms.json');

// The agent's file name: Windows runs only an .exe.
const agentName = (platform) => (platform === 'win32' ? 'quenwick.exe' : 'quenwick');

// The PATH of `env`: Windows names it case-insensitively, and a copy of its process.env keeps the
// system's spelling, often Path.
function searchPath(env, platform) {
  if (platform !== 'win32') return env.PATH;
  const key = Object.keys(env).find((name) => name.toUpperCase() === 'PATH');
  return key === undefined ? undefined : env[key];
}

// A packaged Electron app keeps node_modules in an app.asar archive, which Electron's fs reads
// but from which no process can be started: the agent must be the unpacked copy beside it.
const IN_ASAR = /([\\/])app\.asar(?=[\\/])/;

function unpacked(agent) {
  if (!IN_ASAR.test(agent)) return agent;
  const outside = agent.replace(IN_ASAR, '$1app.asar.unpacked');
  if (isExecutable(outside)) return outside;
  throw new BinaryNotFoundError(`the quenwick agent ${agent} is inside the app's asar archive, ` +
    `from which it cannot be started, and there is no unpacked copy at ${outside}: unpack it ` +
    "with electron-builder's asarUnpack (\"**/node_modules/@quenwick/**\") or Electron Forge's " +
    'asar.unpack ("**/node_modules/@quenwick/**")');
}

// The agent of this platform's package, or why there is none.
function packagedBinary({ platform, arch }) {
  const name = Object.keys(PLATFORM_PACKAGES).find((candidate) => {
    const { os, cpu } = PLATFORM_PACKAGES[candidate];
    return os.includes(platform) && cpu.includes(arch);
  });
  if (!name) {
    return { missing: `no agent package is published for this platform (${platform}-${arch})` };
  }
  let folder;
  try {
    folder = path.dirname(require.resolve(`${name}/package.json`));
  } catch {
    return { missing: `the package ${name} is not installed` };
  }
  const agent = path.join(folder, 'bin', agentName(platform));
  return isExecutable(agent) ? { agent } : { missing: `${agent} is not an executable file` };
}

// The agent: the `binary` option, then QUENWICK_BINARY, then this platform's agent package,
// then `quenwick` (on Windows `quenwick.exe`) on the PATH; inside an app.asar, its unpacked copy.
// A system that no agent can serve is refused first, in words, and so is one that the platform
// package's agent cannot serve.
function findBinary(options, env) {
  const described = system.describeSystem();
  const refuse = (prebuilt) => {
    const problem = system.systemProblem(described, prebuilt);
    if (problem) throw new BinaryNotFoundError(problem);
  };
  refuse(false);
  if (options.binary) return unpacked(options.binary);
  if (env.QUENWICK_BINARY) return unpacked(env.QUENWICK_BINARY);
  const { agent, missing } = packagedBinary(described);
  if (agent) {
    refuse(true);
    return unpacked(agent);
  }
  const name = agentName(described.platform);
  for (const folder of (searchPath(env, described.platform) || '').split(path.delimiter)) {
    const candidate = path.join(folder || '.', name);
    if (isExecutable(candidate)) return candidate;
  }
  refuse(true); // no package for this system, and why
  throw new BinaryNotFoundError(
    `no quenwick agent: the binary option is not set, QUENWICK_BINARY is not set, ${missing}, ` +
      `and there is no executable ${name} on the PATH`);
}

// The agent that a capture with these options would start, for a host that copies it into its
// own bundle; throws BinaryNotFoundError with the reason when there is none.
function binaryPath(options = {}) {
  return findBinary(options, options.env || process.env);
}

const isPid = (value) => Number.isInteger(value) && value >= 1 && value <= LARGEST_PID;

// What is wrong with options that cannot work, before the agent sees them (it would drop a bad
// pid silently and then name its own flags); null when nothing is.
function optionProblem(options) {
  const { pids, excludeSelf, waitForAudio } = options;
  const notPid = `which is not a process id (a whole number from 1 to ${LARGEST_PID})`;
  if (pids !== undefined && !Array.isArray(pids)) return `pids is ${inspect(pids)}, not an array`;
  const bad = (pids || []).find((pid) => !isPid(pid));
  if (bad !== undefined) return `pids holds ${inspect(bad)}, ${notPid}`;
  if (pids && pids.length === 0 && !options.global) {
    return 'pids is empty: list at least one process to hear, or set global';
  }
  if (excludeSelf !== undefined && !isPid(excludeSelf)) {
    return `excludeSelf is ${inspect(excludeSelf)}, ${notPid}`;
  }
  for (const name of ['report', 'recover']) {
    if (options[name] !== undefined && typeof options[name] !== 'boolean') {
      return `${name} is ${inspect(options[name])}: give true or false`;
    }
  }
  if (options.quality !== undefined && !['high', 'linear'].includes(options.quality)) {
    return `quality is ${inspect(options.quality)}: give 'high' or 'linear'`;
  }
  const wait = waitForAudio;
  if (wait !== undefined && typeof wait !== 'boolean' && !(typeof wait === 'number' && wait >= 0)) {
    return `waitForAudio is ${inspect(wait)}: give true or a number of milliseconds, 0 or more`;
  }
  return null;
}

// Whether the agent waits for a listed process to play (--wait): in processes mode only.
const waits = (options) => !options.global && Boolean(options.waitForAudio);

// The agent's command line for the options: each option is the agent's own.
function argumentsFor(options) {
  const args = [];
  if (options.pids !== undefined) args.push('--pids', options.pids.join(','));
  if (options.global) args.push('--global');
  if (options.excludeSelf !== undefined) args.push('--exclude-self', String(options.excludeSelf));
  if (options.tree) args.push('--tree');
  if (waits(options)) args.push('--wait');
  if (options.report !== false) args.push('--report');
  if (options.recover !== false) args.push('--recover');
  args.push('--quality', options.quality ?? 'high');
  return args;
}

// Hands on whole samples only, keeping a lone byte for the next chunk.
class WholeSamples extends Transform {
  constructor() {
    super({ highWaterMark: 1 << 16 });
    this.kept = null;
  }

  _transform(chunk, encoding, done) {
    const bytes = this.kept ? Buffer.concat([this.kept, chunk]) : chunk;
    const whole = bytes.length - (bytes.length % BYTES_PER_SAMPLE);
    this.kept = whole < bytes.length ? bytes.subarray(whole) : null;
    done(null, whole > 0 ? bytes.subarray(0, whole) : undefined);
  }
}

function abortError(signal) {
  if (signal.reason instanceof Error) return signal.reason;
  const error = new Error('the capture was aborted');
  error.name = 'AbortError';
  return error;
}

class Capture extends EventEmitter {
  constructor(options = {}) {
    super();
    this.options = options;
    this.env = options.env || process.env;
    this.pcm = new WholeSamples();
    this.child = null;
    this.outputEnded = undefined; // whether the running agent's standard output has ended
    this.lastError = undefined; // the agent's "error" event, its last line
    this.said = []; // its last lines that are no status line
    this.stopping = false;
    this.tapping = false; // the agent has left its wait: "creating_tap" has come
    this.deadline = null; // the timer of waitForAudio's deadline
    this.deadlinePassed = false;
    this.done = false;
    this.ended = new Promise((resolve, reject) => {
      this.resolveEnded = resolve;
      this.rejectEnded = reject;
    });
    this.started = new Promise((resolve, reject) => {
      this.resolveStarted = resolve;
      this.rejectStarted = reject;
    });
    // A caller that only reads PCM, or only listens, must not crash on an unread rejection.
    this.ended.catch(() => {});
    this.started.catch(() => {});
    if (options.signal) {
      if (options.signal.aborted) {
        queueMicrotask(() => this.finish(abortError(options.signal)));
        return;
      }
      // Removed at the end: a signal shared by many captures must not hold on to each of them.
      // Returns nothing: an EventTarget reports a listener's rejected promise as uncaught.
      this.onAbort = () => {
        this.stop();
      };
      options.signal.addEventListener('abort', this.onAbort, { once: true });
    }
    try {
      const problem = optionProblem(options);
      if (problem) throw new UsageError(problem);
      this.binary = findBinary(options, this.env);
    } catch (error) {
      queueMicrotask(() => this.finish(error));
      return;
    }
    this.spawnAgent();
  }

  spawnAgent() {
    let child;
    try {
      child = spawn(this.binary, argumentsFor(this.options), {
        env: this.env,
        stdio: ['ignore', 'pipe', 'pipe'],
      });
    } catch (error) {
      this.finish(error); // options it cannot take, told as every other failure is
      return;
    }
    this.child = child;
    this.pid = child.pid;
    this.outputEnded = false;
    const wait = this.options.waitForAudio;
    if (waits(this.options) && wait !== true && wait <= LONGEST_TIMER_MS) {
      this.deadline = setTimeout(() => this.deadlineReached(), wait);
    }
    child.stdout.pipe(this.pcm, { end: false });
    child.stdout.on('end', () => {
      this.outputEnded = true;
      if (this.done) this.pcm.end();
    });
    // How it ended is known once it has exited and its last status line is read; the PCM it
    // wrote may still wait for a reader.
    let exit = null;
    let linesRead = false;
    const settle = () => {
      if (exit && linesRead && this.child === child) this.closed(exit.status, exit.signal);
    };
    readline
      .createInterface({ input: child.stderr })
      .on('line', (line) => this.heard(line))
      .on('close', () => {
        linesRead = true;
        settle();
      });
    child.on('exit', (status, signal) => {
      exit = { status, signal };
      settle();
    });
    child.on('error', (error) => {
      if (this.child !== child) return;
      this.child = null;
      this.outputEnded = true;
      this.finish(new BinaryNotFoundError(`could not start ${this.binary}: ${error.message}`));
    });
  }

  heard(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      // The agent writes status lines only: anything else is its loader's, kept for the error.
      if (line.trim()) this.said = [...this.said.slice(1 - LINES_KEPT), line];
      return;
    }
    this.emit('status', event);
    const kind = event?.event;
    if (kind === 'creating_tap') this.tapping = true;
    if (NAMED.includes(kind)) this.emit(kind, event);
    if (kind === 'running') this.resolveStarted(event);
    if (kind === 'error') this.lastError = event;
  }

  // A still-waiting agent ends at the deadline; one that has found a process to hear starts.
  // Before "running" SIGTERM ends it by the signal, which closed() reads as this deadline.
  deadlineReached() {
    if (this.child && !this.tapping && !this.stopping) {
      this.deadlinePassed = true;
      this.child.kill('SIGTERM');
    }
  }

  closed(status, signal) {
    this.child = null;
    const reason = this.lastError ? this.lastError.message : null;
    if (this.options.signal && this.options.signal.aborted) {
      this.finish(abortError(this.options.signal));
    } else if (status === 3 && reason === NONE_EXISTS) { // only --pids gives status 3
      const listed = this.options.pids.join(', ');
      const message = `no requested process is alive (pids ${listed}): each has ended or never ` +
        'existed';
      this.finish(new NoSuchProcessError(message, { status, event: this.lastError }));
    } else if (this.deadlinePassed && status === null) {
      this.finish(new NothingToHearError(NOTHING_TO_HEAR, { status: 3 }));
    } else if (status === 0 || (this.stopping && signal === 'SIGTERM')) {
      this.finish(null, { status, signal, reason: reason || (this.stopping ? 'stopped' : 'ended') });
    } else if (status === null) {
      this.finish(new SignalError(this.withSaid(`the agent was ended by ${signal}`), { signal }));
    } else {
      const Kind = errorsByStatus[status] || QuenwickError;
      const message = reason || this.withSaid(`the agent ended with status ${status}`);
      this.finish(new Kind(message, { status, event: this.lastError }));
    }
  }

  // An ending with no "error" line, and what the agent's loader wrote before it, if anything.
  withSaid(message) {
    return this.said.length ? `${message}; it wrote:\n${this.said.join('\n')}` : message;
  }

  finish(error, ending) {
    if (this.done) return;
    this.done = true;
    clearTimeout(this.deadline);
    if (this.onAbort) this.options.signal.removeEventListener('abort', this.onAbort);
    if (this.outputEnded !== false) this.pcm.end();
    if (error) {
      this.rejectStarted(error);
      this.rejectEnded(error);
      if (this.listenerCount('error') > 0) this.emit('error', error);
    } else {
      this.rejectStarted(new QuenwickError(`the agent ended before it ran: ${ending.reason}`));
      this.resolveEnded(ending);
    }
  }

  // Ends the capture: SIGTERM to the agent, which stops capturing, removes what it made in the
  // audio layer and exits (a waiting agent ends by the signal). On Windows kill() ends the
  // process with TerminateProcess, and Node reports the signal as here. Resolves as `ended` does.
  stop() {
    this.stopping = true;
    if (this.child) this.child.kill('SIGTERM');
    return this.ended;
  }

  [Symbol.asyncIterator]() {
    return this.pcm[Symbol.asyncIterator]();
  }
}

function capture(options) {
  return new Capture(options);
}

// The 44-byte header of a WAV file of 16 kHz mono 16-bit PCM with `dataBytes` of samples.
function wavHeader(dataBytes) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVEfmt ', 8, 'ascii');
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // integer PCM
  header.writeUInt16LE(CHANNELS, 22);
  header.writeUInt32LE(SAMPLE_RATE, 24);
  header.writeUInt32LE(SAMPLE_RATE * CHANNELS * BYTES_PER_SAMPLE, 28);
  header.writeUInt16LE(CHANNELS * BYTES_PER_SAMPLE, 32);
  header.writeUInt16LE(8 * BYTES_PER_SAMPLE, 34);
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

// Writes what `source` (a capture, or any async iterable of PCM Buffers) yields to a WAV file,
// as it comes; resolves once the source has ended. A capture that never runs makes no file:
// the promise rejects as `started` does (and, like it, does not crash a host that ignores it).
function writeWav(file, source) {
  const writing = writeWavFile(file, source);
  writing.catch(() => {});
  return writing;
}

async function writeWavFile(file, source) {
  if (source instanceof Capture) await source.started;
  const handle = await fs.promises.open(file, 'w');
  let bytes = 0;
  try {
    await handle.write(wavHeader(0));
    for await (const chunk of source) {
      await handle.write(chunk);
      bytes += chunk.length;
    }
    await handle.write(wavHeader(bytes), 0, 44, 0);
  } finally {
    await handle.close();
  }
  const samples = bytes / BYTES_PER_SAMPLE;
  return { samples, seconds: samples / SAMPLE_RATE };
}

module.exports = {
  SAMPLE_RATE,
  CHANNELS,
  BYTES_PER_SAMPLE,
  SAMPLE_FORMAT,
  Capture,
  capture,
  binaryPath,
  writeWav,
  wavHeader,
  QuenwickError,
  UsageError,
  AudioLayerError,
  NothingToHearError,
  NoSuchProcessError,
  SignalError,
  BinaryNotFoundError,
};
