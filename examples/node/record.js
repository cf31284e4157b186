#!/usr/bin/env node
// A host of the agent, with nothing but Node: start quenwick, read its status events line by
// line, collect its PCM into a WAV file, stop it after a while and make sense of how it ended.
//
//   node record.js [--agent PATH] [--seconds N] [--out FILE.wav] -- AGENT-ARGUMENTS...
//   node record.js --seconds 5 --out meeting.wav -- --global --exclude-self $$
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const readline = require('node:readline');

const SAMPLE_RATE = 16000;

function parseArguments(argv) {
  const options = { agent: 'quenwick', seconds: 5, out: 'capture.wav', agentArgs: [] };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === '--') {
      options.agentArgs = argv.slice(i + 1);
      break;
    } else if (arg === '--agent') options.agent = argv[++i];
    else if (arg === '--seconds') options.seconds = Number(argv[++i]);
    else if (arg === '--out') options.out = argv[++i];
    else throw new Error(`unknown option ${arg}`);
  }
  return options;
}

// A canonical 44-byte header for 16-bit mono PCM at 16 kHz.
function wavHeader(dataBytes) {
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + dataBytes, 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16);              // size of the fmt chunk
  header.writeUInt16LE(1, 20);               // PCM
  header.writeUInt16LE(1, 22);               // one channel
  header.writeUInt32LE(SAMPLE_RATE, 24);
  header.writeUInt32LE(SAMPLE_RATE * 2, 28); // bytes per second
  header.writeUInt16LE(2, 32);               // bytes per frame
  header.writeUInt16LE(16, 34);              // bits per sample
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(dataBytes, 40);
  return header;
}

// What each exit status means to a host.
function describeExit(code, signal, lastError) {
  if (signal) return `ended by signal ${signal}`;
  switch (code) {
    case 0: return lastError ? `stopped: ${lastError}` : 'stopped cleanly';
    case 1: return `usage error: ${lastError}`;
    case 2: return `the audio layer refused: ${lastError}`;
    case 3: return `nothing to hear yet: ${lastError}`;
    default: return `unexpected exit status ${code}`;
  }
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const agent = spawn(options.agent, options.agentArgs, { stdio: ['ignore', 'pipe', 'pipe'] });

  // PCM can arrive before "running"; keep every byte and split no sample.
  const chunks = [];
  let pcmBytes = 0;
  agent.stdout.on('data', (chunk) => {
    chunks.push(chunk);
    pcmBytes += chunk.length;
  });

  let lastError = null;
  let timer = null;
  readline.createInterface({ input: agent.stderr }).on('line', (line) => {
    const event = JSON.parse(line); // one compact JSON object per line
    console.log(`event ${JSON.stringify(event)}`);
    if (event.event === 'running') {
      timer = setTimeout(() => agent.kill('SIGTERM'), options.seconds * 1000);
    } else if (event.event === 'format' && event.changed) {
      console.log(`format changed to ${event.sample_rate} Hz, ${event.channels} channels`);
    } else if (event.event === 'error') {
      lastError = event.message;
    }
  });

  agent.on('error', (error) => {
    console.error(`could not start ${options.agent}: ${error.message}`);
    process.exitCode = 127;
  });
  agent.on('close', (code, signal) => {
    clearTimeout(timer);
    let pcm = Buffer.concat(chunks, pcmBytes);
    if (pcm.length % 2) pcm = pcm.subarray(0, pcm.length - 1); // never happens: whole samples only
    fs.writeFileSync(options.out, Buffer.concat([wavHeader(pcm.length), pcm]));
    console.log(`exit ${code === null ? 'signal ' + signal : code}: ${describeExit(code, signal, lastError)}`);
    console.log(`wav ${options.out}: ${pcm.length / 2} samples, ${(pcm.length / 2 / SAMPLE_RATE).toFixed(2)} s`);
    process.exitCode = code === null ? 128 : code;
  });
}

main();
