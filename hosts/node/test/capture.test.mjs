// The package against the real agent: on the scripted audio layer (quenwick-scripted) for every way
// a run can end, and on the project's private PipeWire with a real player for what a host
// hears; then packed and installed into an empty folder, as a user would.
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { getEventListeners, once } from 'node:events';
import {
  cpSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync,
} from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

import * as quenwick from '../index.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, '../../..');
const build = process.env.QUENWICK_BUILD || path.join(root, 'build/release');
const work = mkdtempSync(path.join(tmpdir(), 'quenwick-node-'));
const NOTHING = 'none of the requested processes are audio processes yet; is the app playing sound?';
const EXISTS = 'none of the requested processes exists';

// The options that run the agent on the scripted layer with a script of its steps.
let scripts = 0;
function scripted(script, options = {}) {
  const file = path.join(work, `script${scripts++}.json`);
  writeFileSync(file, JSON.stringify(script));
  const env = { ...process.env, QUENWICK_SCRIPT: file };
  return { binary: path.join(build, 'tests/quenwick-scripted'), env, ...options, script: file };
}
// A process that lives (until the tests end) and one that has ended. Only a live pid is heard:
// the scripted runs list the sleeper.
const sleeper = spawn('sleep', ['600'], { stdio: 'ignore' });
after(() => sleeper.kill());
const LISTED = sleeper.pid;
const gone = spawnSync('true').pid;
// An agent that stays between "format" and "running": the device's start never returns.
const held = () => scripted({ pids: { [LISTED]: 7 }, startBlocks: path.join(work, 'never') },
  { pids: [LISTED] });

// An agent that only says its name, as an "error" line with status 2.
const sayer = (name) => `#!/bin/sh\necho '{"event":"error","message":"${name}"}' >&2\nexit 2\n`;

// All the PCM a run gives.
async function pcm(run) {
  const chunks = [];
  for await (const chunk of run) chunks.push(chunk);
  return Buffer.concat(chunks);
}

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail('it did not reject');
}

describe('on the scripted layer', () => {
  const notPid = 'which is not a process id (a whole number from 1 to 2147483647)';
  // the options, the error, its status and message, and the agent's last words (null: none)
  const endings = {
    'a command line the agent refuses': [{}, quenwick.UsageError, 1, 'give --pids or --global'],
    'a refused tap': [{ pids: [LISTED] }, quenwick.AudioLayerError, 2, 'could not create the ' +
      'audio tap (-50). Check System Settings > Privacy & Security > Screen & System Audio Recording.'],
    'nothing to hear': [{ pids: [process.pid] }, quenwick.NothingToHearError, 3, NOTHING],
    'a process that has ended': [{ pids: [gone], waitForAudio: 5000 }, quenwick.NoSuchProcessError,
      3, `no requested process is alive (pids ${gone}): each has ended or never existed`, EXISTS],
    'no process listed': [{ pids: [] }, quenwick.UsageError, null,
      'pids is empty: list at least one process to hear, or set global', null],
    'a pid that is no process id': [{ pids: [LISTED, 1.5] }, quenwick.UsageError, null,
      `pids holds 1.5, ${notPid}`, null],
    'a wait of less than nothing': [{ pids: [LISTED], waitForAudio: -1 }, quenwick.UsageError, null,
      'waitForAudio is -1: give true or a number of milliseconds, 0 or more', null],
    'a report that is no boolean': [{ pids: [LISTED], report: 'yes' }, quenwick.UsageError, null,
      "report is 'yes': give true or false", null],
    'a quality of neither kind': [{ pids: [LISTED], quality: 'best' }, quenwick.UsageError, null,
      "quality is 'best': give 'high' or 'linear'", null],
  };
  for (const [name, [options, Kind, status, message, said = message]] of Object.entries(endings)) {
    test(name, async () => {
      const run = quenwick.capture(scripted({ pids: { [LISTED]: 7 }, tapStatus: -50 }, options));
      const wav = path.join(work, `never${scripts}.wav`);
      const written = quenwick.writeWav(wav, run);
      const errors = [];
      run.on('error', (error) => errors.push(error));
      const error = await rejection(run.ended);
      assert.ok(error instanceof Kind && error instanceof quenwick.QuenwickError);
      const event = said === null ? undefined : { event: 'error', message: said };
      assert.deepEqual([error.status, error.signal, error.message, error.event, errors],
        [status, null, message, event, [error]]);
      assert.equal(await rejection(run.started), error);
      assert.equal(await rejection(written), error);
      assert.ok(!existsSync(wav), 'a capture that never starts makes no file');
    });
  }

  test('an agent killed, or stopped, between "format" and "running"', async () => {
    const killed = quenwick.capture(held());
    killed.once('format', () => process.kill(killed.pid, 'SIGKILL'));
    const error = await rejection(killed.ended);
    assert.ok(error instanceof quenwick.SignalError);
    assert.deepEqual([error.status, error.signal, await rejection(killed.started)],
      [null, 'SIGKILL', error]);
    const stopped = quenwick.capture(held());
    stopped.once('format', () => stopped.stop());
    assert.deepEqual(await stopped.ended, { status: null, signal: 'SIGTERM', reason: 'stopped' });
  });

  test('no agent to start names where it looked, where no package fits says so, and the PATH ' +
    "gives the platform's agent", async () => {
    // process.platform, process.arch, the platform's package (none: none is published), the agent
    const platforms = [['linux', 'x64', 'linux-x64'], ['darwin', 'arm64', 'darwin-universal'],
      ['win32', 'x64', 'win32-x64', 'quenwick.exe'], ['freebsd', 'x64'], ['linux', 'riscv64']];
    const both = mkdtempSync(path.join(work, 'path-'));
    for (const agent of ['quenwick', 'quenwick.exe']) {
      writeFileSync(path.join(both, agent), sayer(agent), { mode: 0o755 });
    }
    const { platform, arch } = process;
    try {
      for (const [os, cpu, pkg, agent = 'quenwick'] of platforms) {
        Object.defineProperty(process, 'platform', { value: os });
        Object.defineProperty(process, 'arch', { value: cpu });
        const missing = pkg ? `the package @quenwick/${pkg} is not installed`
          : `no agent package is published for this platform (${os}-${cpu})`;
        const error = await rejection(quenwick.capture({ pids: [1], env: { PATH: work } }).ended);
        assert.ok(error instanceof quenwick.BinaryNotFoundError, `${os}-${cpu}`);
        assert.equal(error.message, 'no quenwick agent: the binary option is not set, ' +
          `QUENWICK_BINARY is not set, ${missing}, and there is no executable ${agent} on the PATH`);
        // Windows spells its PATH as it likes, often Path.
        const env = { [os === 'win32' ? 'Path' : 'PATH']: both };
        assert.equal((await rejection(quenwick.capture({ pids: [1], env }).ended)).message, agent);
      }
    } finally {
      Object.defineProperty(process, 'platform', { value: platform });
      Object.defineProperty(process, 'arch', { value: arch });
    }
  });

  // An Electron app's node_modules, packed into app.asar (a folder by that name here: Electron's
  // fs reads the archive as one), with this platform's package unpacked beside it or not.
  test('an agent inside app.asar is started from app.asar.unpacked, or the unpack setting is named',
    async () => {
      const resources = path.join(work, 'resources');
      const [packed, unpacked] = ['app.asar', 'app.asar.unpacked'].map((name) =>
        path.join(resources, name, 'node_modules/@quenwick/linux-x64'));
      const main = path.join(resources, 'app.asar/node_modules/quenwick');
      for (const name of ['index.cjs', 'system.cjs', 'platforms.json']) {
        cpSync(path.join(here, '..', name), path.join(main, name));
      }
      for (const [folder, said] of [[packed, 'packed'], [unpacked, 'unpacked']]) {
        mkdirSync(path.join(folder, 'bin'), { recursive: true });
        writeFileSync(path.join(folder, 'package.json'), '{"name": "@quenwick/linux-x64"}');
        writeFileSync(path.join(folder, 'bin/quenwick'), sayer(said), { mode: 0o755 });
      }
      const app = createRequire(path.join(main, 'index.cjs'))('./index.cjs');
      const env = { PATH: '' };
      assert.equal(app.binaryPath({ env }), path.join(unpacked, 'bin/quenwick'));
      assert.equal((await rejection(app.capture({ pids: [1], env }).ended)).message, 'unpacked');
      rmSync(path.join(resources, 'app.asar.unpacked'), { recursive: true });
      const inside = path.join(packed, 'bin/quenwick');
      const outside = path.join(unpacked, 'bin/quenwick');
      const refusal = `the quenwick agent ${inside} is inside the app's asar archive, from which ` +
        `it cannot be started, and there is no unpacked copy at ${outside}: unpack it with ` +
        'electron-builder\'s asarUnpack ("**/node_modules/@quenwick/**") or Electron Forge\'s ' +
        'asar.unpack ("**/node_modules/@quenwick/**")';
      assert.throws(() => app.binaryPath({ env }), { message: refusal });
      const error = await rejection(app.capture({ pids: [1], env }).ended);
      assert.deepEqual([error.name, error.message], ['BinaryNotFoundError', refusal]);
      // The binary option is mapped as well.
      assert.throws(() => app.binaryPath({ binary: inside }), { message: refusal });
    });

  // A system the agent cannot serve, as the checks are told it, and the words of the refusal: each
  // names what is needed and what was found.
  test('a system the agent cannot serve is refused before it starts, in words', async () => {
    const cannot = 'the quenwick agent cannot run on this system: it needs ';
    const glibc = 'glibc 2.34 or later, and this Linux has ';
    const macos = 'macOS 14.2 or later (process taps), and this Mac has macOS ';
    const systems = [
      [{ platform: 'linux', libc: 'other' }, `${glibc}another C library (musl, as on Alpine)`],
      [{ platform: 'linux', libc: 'glibc', glibc: '2.31' }, `${glibc}glibc 2.31`],
      [{ platform: 'darwin', macos: '14.1' }, `${macos}14.1`],
      [{ platform: 'darwin', macos: '13.6' }, `${macos}13.6`],
      [{ platform: 'win32', windowsBuild: 19045 },
        'Windows build 20348 or later (process loopback), and this Windows is build 19045'],
      ...['2.34', '2.100'].map((version) => [{ platform: 'linux', libc: 'glibc', glibc: version }]),
      ...['14.2', '15.0'].map((version) => [{ platform: 'darwin', macos: version }]),
      [{ platform: 'win32', windowsBuild: 20348 }],
    ];
    const system = createRequire(import.meta.url)('../system.cjs');
    const { describeSystem } = system;
    const ran = path.join(work, 'ran');
    const standIn = path.join(work, 'stand-in');
    writeFileSync(standIn, `#!/bin/sh\ntouch ${ran}\n`, { mode: 0o755 });
    try {
      for (const [described, needs] of systems) {
        system.describeSystem = () => described;
        const refusal = needs && cannot + needs;
        if (!refusal) {
          assert.equal(quenwick.binaryPath({ binary: standIn }), standIn, described);
          continue;
        }
        assert.throws(() => quenwick.binaryPath({ env: { PATH: work } }), { message: refusal });
        if (described.libc) { // an agent built on the system itself is given the chance
          assert.equal(quenwick.binaryPath({ binary: standIn }), standIn, described);
          continue;
        }
        const error = await rejection(quenwick.capture({ global: true, binary: standIn }).ended);
        assert.deepEqual([error.name, error.message], ['BinaryNotFoundError', refusal]);
      }
    } finally {
      system.describeSystem = describeSystem;
    }
    assert.ok(!existsSync(ran), 'the agent was started');
    // This machine as read: glibc, and not too old for the agent.
    assert.equal(system.systemProblem(describeSystem(), true), null);
    assert.equal(describeSystem().libc, 'glibc');
  });

  test("an agent that its loader refuses is told by the loader's words", async () => {
    const loader = "./quenwick: /lib/x86_64-linux-gnu/libc.so.6: version `GLIBC_2.34' not found " +
      '(required by ./quenwick)';
    const said = path.join(work, 'said');
    writeFileSync(said, `${loader}\n\n`); // a blank line is nothing said
    const standIn = path.join(work, 'loader');
    writeFileSync(standIn, `#!/bin/sh\ncat ${said} >&2\nexit 127\n`, { mode: 0o755 });
    const error = await rejection(quenwick.capture({ global: true, binary: standIn }).ended);
    assert.deepEqual([error.constructor, error.status, error.message],
      [quenwick.QuenwickError, 127, `the agent ended with status 127; it wrote:\n${loader}`]);
  });

  // The report and --quality high by default, and without the report exactly the events there
  // were before it: the report names the backend first (the scripted layer is Core Audio's). Of
  // a quarter of full scale, the linear path's first sample is 8191; the band-limited one's is
  // silence, the filter's delay.
  const coreAudio = [{ event: 'backend', name: 'coreaudio' }];
  const reports = {
    'the report and --quality high, by default':
      [{}, coreAudio, [{ event: 'playing', pids: [LISTED] }], 0],
    'no report': [{ report: false }, [], [], 0],
    'the linear path': [{ quality: 'linear' }, coreAudio, [{ event: 'playing', pids: [LISTED] }], 8191],
  };
  for (const [name, [options, announced, reported, first]] of Object.entries(reports)) {
    test(`all the PCM, the events in order, and an ending that stop() tells each time: ${name}`,
      async () => {
        const log = path.join(work, `calls${scripts}.jsonl`);
        const run = quenwick.capture(scripted({ pids: { [LISTED]: 7 }, processes: [[7, LISTED]],
          playing: [7], source: quarter(), steps: [{ deliver: 20, frames: 481 }], log },
          { pids: [LISTED], ...options }));
        const [events, named] = [[], []];
        run.on('status', (event) => events.push(event));
        for (const kind of ['backend', 'format', 'running', 'playing']) {
          run.on(kind, (event) => named.push(event));
        }
        const reading = pcm(run);
        await run.started;
        while (!(existsSync(log) && readFileSync(log, 'utf8').includes('"scripted":"done"'))) {
          await sleep(20);
        }
        const stopped = { status: 0, signal: null, reason: 'stopped' };
        assert.deepEqual([await run.stop(), await run.stop()], [stopped, stopped]);
        const read = await reading;
        assert.deepEqual(events, [
          ...announced,
          { event: 'creating_tap' },
          { event: 'format', sample_rate: 48000, channels: 2, mode: 'processes', pids: [LISTED] },
          { event: 'running' },
          ...reported,
        ]);
        assert.deepEqual(named, events.filter(({ event }) => event !== 'creating_tap'));
        // 20 lists of 481 frames at 48 kHz: 9620 frames, of which every third from the first.
        assert.deepEqual([read.length, read.readInt16LE(0)], [2 * 3207, first]);
      });
  }

  // A quarter of full scale, as the scripted layer's source of stereo float32 lists.
  const quarter = () => {
    const file = path.join(work, 'quarter.f32');
    writeFileSync(file, Buffer.from(new Float32Array(2 * 480).fill(0.25).buffer));
    return file;
  };

  test('waiting for audio ends at its deadline, on stop(), on abort',
    { timeout: 20000 }, async () => {
      const controller = new AbortController();
      const waiting = (more) => quenwick.capture(scripted({}, { pids: [sleeper.pid], ...more }));
      const late = await rejection(waiting({ waitForAudio: 600, signal: controller.signal }).ended);
      assert.ok(late instanceof quenwick.NothingToHearError);
      assert.deepEqual([late.status, late.signal, late.message], [3, null, NOTHING]);
      assert.deepEqual(getEventListeners(controller.signal, 'abort'), []);

      const stopped = waiting({ waitForAudio: true });
      await sleep(300);
      assert.deepEqual(await stopped.stop(), { status: null, signal: 'SIGTERM', reason: 'stopped' });

      const aborted = waiting({ waitForAudio: true, signal: controller.signal });
      await sleep(300);
      controller.abort();
      assert.equal((await rejection(aborted.ended)).name, 'AbortError');
    });
});

// The project's private PipeWire stack, and players of a 441 Hz sine at half scale.
let stack;
let env;
async function startStack() {
  const folder = path.join(work, 'pipewire');
  stack = spawn(path.join(root, 'scripts/private-pipewire.sh'), [folder], { stdio: 'ignore' });
  while (!existsSync(path.join(folder, 'env'))) {
    assert.equal(stack.exitCode, null, 'the private PipeWire stack did not start');
    await sleep(50);
  }
  const vars = readFileSync(path.join(folder, 'env'), 'utf8').trim().split('\n');
  env = { ...process.env, ...Object.fromEntries(vars.map((line) => line.split(/=(.*)/s, 2))) };
  const sine = (file, seconds, ...more) => execFileSync('sox', ['-n', '-r', '48000', '-c', '2',
    '-b', '32', '-e', 'floating-point', path.join(work, file), 'synth', seconds, 'sine', '441',
    'vol', '0.5', ...more]);
  sine('tone.wav', '60');
  sine('quiet.wav', '1', 'pad', '4'); // 4 s of zeros, then a second of the tone
}

async function player() {
  const playing = spawn('pw-play', [path.join(work, 'tone.wav')], { env, stdio: 'ignore' });
  while (!execFileSync('pw-dump', { env }).toString().includes(`"pipewire.sec.pid": ${playing.pid}`)) {
    await sleep(50);
  }
  return playing;
}

function level(pcm) {
  const samples = new Int16Array(pcm.buffer, pcm.byteOffset, pcm.length / 2);
  const heard = samples.filter((sample) => sample !== 0);
  const mean = heard.reduce((sum, sample) => sum + (sample / 32767) ** 2, 0) / heard.length;
  return 10 * Math.log10(mean);
}

describe('on PipeWire', () => {
  before(startStack);
  after(() => stack.kill());

  test('a host that does not read holds only what the stream buffers', async () => {
    const playing = await player();
    const run = quenwick.capture({ pids: [playing.pid], binary: path.join(build, 'quenwick'), env });
    await run.started;
    await sleep(3000); // 96 kB of PCM, more than the agent's pipe and the stream hold together
    const held = run.pcm.readableLength;
    assert.ok(held <= run.pcm.readableHighWaterMark, `${held} bytes held`);
    const reading = pcm(run);
    await sleep(500);
    await run.stop();
    playing.kill();
    // What the agent could not hand over waited in it, and comes now.
    const { length } = await reading;
    assert.ok(length > 3 * 32000, `${length} bytes`);
  });

  test('a player heard through its silence, its sound and its end', async () => {
    // 4 s of zeros, then a second of the tone, and the player exits.
    const playing = spawn('pw-play', [path.join(work, 'quiet.wav')], { env, stdio: 'ignore' });
    const run = quenwick.capture({ pids: [playing.pid], waitForAudio: true,
      binary: path.join(build, 'quenwick'), env });
    const reported = [];
    for (const kind of ['playing', 'ended', 'silence', 'sound']) {
      run.on(kind, (event) => reported.push(event));
    }
    run.pcm.resume();
    await once(run, 'ended');
    await run.stop();
    // The agent starts once the player's stream is there, which may be before it is linked.
    if (reported[0]?.pids?.length === 0) reported.shift();
    assert.deepEqual(reported, [
      { event: 'playing', pids: [playing.pid] },
      { event: 'silence', seconds: 3 },
      { event: 'sound' },
      { event: 'playing', pids: [] },
      { event: 'ended', pid: playing.pid },
    ]);
  });

  test('packed, installed into an empty folder and used as a user would, to record a player', async () => {
    const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination', work], {
      cwd: path.join(here, '..'),
    }).toString().trim();
    const user = path.join(work, 'user');
    mkdirSync(user);
    writeFileSync(path.join(user, 'package.json'), '{"name": "user", "private": true}');
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--offline', path.join(work, tarball)],
      { cwd: user, stdio: 'ignore' });
    writeFileSync(path.join(user, 'record.mjs'), readFileSync(path.join(here, '../example/record.mjs')));
    const playing = await player();
    const out = execFileSync('node', ['record.mjs', String(playing.pid), '1', 'out.wav'],
      { cwd: user, env: { ...env, QUENWICK_BINARY: path.join(build, 'quenwick') } }).toString();
    playing.kill();
    const wav = readFileSync(path.join(user, 'out.wav'));
    assert.deepEqual(wav.subarray(0, 44), quenwick.wavHeader(wav.length - 44));
    assert.ok(Math.abs(level(wav.subarray(44)) + 9.03) < 0.1, `${level(wav.subarray(44))} dBFS`);
    assert.equal(out.replace(/\d\.\d\d s/, 'N s'),
      '{"event":"backend","name":"pipewire"}\n{"event":"creating_tap"}\n' +
      `{"event":"format","sample_rate":48000,"channels":2,"mode":"processes","pids":[${playing.pid}]}\n` +
      `{"event":"running"}\n{"event":"playing","pids":[${playing.pid}]}\n` +
      "{ status: 0, signal: null, reason: 'stopped' } N s in out.wav\n");
    // On Windows, the agent of the platform's package is its bin/quenwick.exe.
    const win32 = path.join(user, 'node_modules/@quenwick/win32-x64');
    mkdirSync(path.join(win32, 'bin'), { recursive: true });
    writeFileSync(path.join(win32, 'package.json'), '{"name": "@quenwick/win32-x64"}');
    writeFileSync(path.join(win32, 'bin/quenwick.exe'), sayer('packaged'), { mode: 0o755 });
    const required = execFileSync('node', ['-e', 'Object.defineProperty(process, "platform", ' +
      '{ value: "win32" }); const q = require("quenwick"); q.capture({ pids: [1], env: {} })' +
      '.ended.catch((error) => console.log(typeof q.capture, q.SAMPLE_RATE, error.message))'],
      { cwd: user }).toString();
    assert.equal(required, 'function 16000 packaged\n');
    assert.deepEqual(readFileSync(path.join(user, 'node_modules/quenwick/LICENSE')),
      readFileSync(path.join(root, 'LICENSE')));
  });

  test('a restart of PipeWire: heard through, and without recover the end', { timeout: 30000 },
    async (t) => {
      await player(); // pw-play ends with its server: this one at the restart
      const options = { global: true, binary: path.join(build, 'quenwick'), env };
      const [kept, lost] = [quenwick.capture(options), quenwick.capture({ ...options, recover: false })];
      t.after(() => kept.stop()); // a run that recovers outlives the stack
      const [told, chunks, envFile] = [[], [], path.join(work, 'pipewire/env')];
      kept.pcm.on('data', (chunk) => chunks.push(chunk));
      // Each empties the PCM read so far: what comes after 'resumed' is heard after the restart.
      for (const kind of ['interrupted', 'resumed']) kept.on(kind, (e) => told.push(e) && chunks.splice(0));
      const tick = () => sleep(50, null, { signal: t.signal }); // no waiting past a failure
      const heard = async () => { while (!Buffer.concat(chunks).some((byte) => byte)) await tick(); };
      await Promise.all([lost.started, heard()]);
      rmSync(envFile);
      ['SERVER', 'WIREPLUMBER'].forEach((name) => process.kill(+env[`PRIVATE_PIPEWIRE_${name}_PID`], 'SIGKILL'));
      const gone = 'the audio server went away';
      await assert.rejects(lost.ended, { name: 'AudioLayerError', status: 2, message: gone });
      stack.kill('SIGUSR1'); // the stack starts both again, and writes its env file once ready
      while (!existsSync(envFile)) await tick(); // a player before WirePlumber has no sink
      await Promise.all([player(), heard()]);
      assert.deepEqual(await kept.stop(), { status: 0, signal: null, reason: 'stopped' });
      assert.deepEqual(told, [{ event: 'interrupted', reason: gone }, { event: 'resumed' }]);
    });
});
