// The package against the real agent: on the scripted audio layer (quenwick-fake) for every way
// a run can end, and on the project's private PipeWire with a real player for what a host
// hears; then packed and installed into an empty folder, as a user would.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { getEventListeners, once } from 'node:events';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
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

// The options that run the agent on the scripted layer with a script of its steps.
let scripts = 0;
function fake(script, options = {}) {
  const file = path.join(work, `script${scripts++}.json`);
  writeFileSync(file, JSON.stringify(script));
  const env = { ...process.env, QUENWICK_FAKE_SCRIPT: file };
  return { binary: path.join(build, 'tests/quenwick-fake'), env, ...options, script: file };
}
// An agent that stays between "format" and "running": the device's start never returns.
const held = () => fake({ pids: { 4242: 7 }, startBlocks: path.join(work, 'never') }, { pids: [4242] });

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail('it did not reject');
}

describe('on the scripted layer', () => {
  // the options, the error, its status and message
  const endings = {
    'a command line the agent refuses': [{}, quenwick.UsageError, 1, 'give --pids or --global'],
    'a refused tap': [{ pids: [4242] }, quenwick.AudioLayerError, 2, 'could not create the ' +
      'audio tap (-50). Check System Settings > Privacy & Security > Screen & System Audio Recording.'],
    'nothing to hear': [{ pids: [4243] }, quenwick.NothingToHearError, 3, NOTHING],
  };
  for (const [name, [options, Kind, status, message]] of Object.entries(endings)) {
    test(name, async () => {
      const run = quenwick.capture(fake({ pids: { 4242: 7 }, tapStatus: -50 }, options));
      const errors = [];
      run.on('error', (error) => errors.push(error));
      const error = await rejection(run.ended);
      assert.ok(error instanceof Kind && error instanceof quenwick.QuenwickError);
      assert.deepEqual([error.status, error.signal, error.message, error.event, errors],
        [status, null, message, { event: 'error', message }, [error]]);
      assert.equal(await rejection(run.started), error);
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

  test('no agent to start names where it looked', async () => {
    const error = await rejection(quenwick.capture({ pids: [1], env: { PATH: work } }).ended);
    assert.ok(error instanceof quenwick.BinaryNotFoundError);
    assert.match(error.message, /binary option.*QUENWICK_BINARY.*PATH/);
  });

  test('all the PCM, the events in order, and an ending that stop() tells each time', async () => {
    const log = path.join(work, 'calls.jsonl');
    const run = quenwick.capture(
      fake({ pids: { 4242: 7 }, steps: [{ deliver: 20, frames: 481 }], log }, { pids: [4242] }));
    const events = [];
    run.on('status', (event) => events.push(event));
    const chunks = [];
    const reading = (async () => {
      for await (const chunk of run) chunks.push(chunk);
    })();
    await run.started;
    while (!(existsSync(log) && readFileSync(log, 'utf8').includes('"fake":"done"'))) {
      await sleep(20);
    }
    const stopped = { status: 0, signal: null, reason: 'stopped' };
    assert.deepEqual([await run.stop(), await run.stop()], [stopped, stopped]);
    await reading;
    assert.deepEqual(events, [
      { event: 'creating_tap' },
      { event: 'format', sample_rate: 48000, channels: 2, mode: 'processes', pids: [4242] },
      { event: 'running' },
    ]);
    // 20 lists of 481 frames at 48 kHz: 9620 frames, of which every third from the first.
    assert.equal(Buffer.concat(chunks).length, 2 * 3207);
  });

  test('waiting for audio tries again until the process plays; aborting stops it', async () => {
    const controller = new AbortController();
    const options = fake({}, { pids: [4242], waitForAudio: 10000, signal: controller.signal });
    const run = quenwick.capture(options);
    await once(run, 'waiting');
    writeFileSync(options.script, JSON.stringify({ pids: { 4242: 7 } }));
    await run.started;
    controller.abort();
    assert.equal((await rejection(run.ended)).name, 'AbortError');
  });

  test('waiting for audio ends at its deadline, on stop() or on abort', async () => {
    const controller = new AbortController();
    const waiting = (more) => quenwick.capture(fake({}, { pids: [4242], ...more }));
    const late = waiting({ waitForAudio: 600, signal: controller.signal });
    assert.ok((await rejection(late.ended)) instanceof quenwick.NothingToHearError);
    assert.deepEqual(getEventListeners(controller.signal, 'abort'), []);

    const stopped = waiting({ waitForAudio: true });
    await once(stopped, 'waiting');
    assert.deepEqual(await stopped.stop(), { status: null, signal: null, reason: 'stopped' });

    const aborted = waiting({ waitForAudio: true, signal: controller.signal });
    await once(aborted, 'waiting');
    controller.abort();
    assert.equal((await rejection(aborted.ended)).name, 'AbortError');
  });
});

// The project's private PipeWire stack, and a player of a 441 Hz sine at half scale.
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
  execFileSync('sox', ['-n', '-r', '48000', '-c', '2', '-b', '32', '-e', 'floating-point',
    path.join(work, 'tone.wav'), 'synth', '60', 'sine', '441', 'vol', '0.5']);
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
    const chunks = [];
    const reading = (async () => {
      for await (const chunk of run) chunks.push(chunk);
    })();
    await sleep(500);
    await run.stop();
    playing.kill();
    await reading;
    // What the agent could not hand over waited in it, and comes now.
    assert.ok(Buffer.concat(chunks).length > 3 * 32000, `${Buffer.concat(chunks).length} bytes`);
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
    assert.equal(out.replace(/\d\.\d\d s/, 'N s'), '{"event":"creating_tap"}\n' +
      `{"event":"format","sample_rate":48000,"channels":2,"mode":"processes","pids":[${playing.pid}]}\n` +
      `{"event":"running"}\n{ status: 0, signal: null, reason: 'stopped' } N s in out.wav\n`);
    const required = execFileSync('node', ['-e',
      'const q = require("quenwick"); console.log(typeof q.capture, q.SAMPLE_RATE)'],
      { cwd: user }).toString();
    assert.equal(required, 'function 16000\n');
  });
});
