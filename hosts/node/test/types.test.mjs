// The package's types: events.d.ts is what the schema makes now, and a TypeScript host and the
// example (a host's program, checked as JavaScript) that install the package and @types/node as a
// user does compile with the tsconfig that `tsc --init` writes (strict), under both TypeScripts
// the devDependencies pin (5, and 7, the newest), with its PCM typed.
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { events, makeTypes } from '../tools/make-types.mjs';

const file = (name) => fileURLToPath(new URL(`../${name}`, import.meta.url));

test('the committed event types are what the schema makes', async () => {
  assert.equal(readFileSync(events, 'utf8'), await makeTypes());
});

// A host's program. It compiles only while a chunk is a Buffer: the types that do not reach
// Node's make it `any`, which a number would fit.
const host = `import { binaryPath, capture, NoSuchProcessError, writeWav } from 'quenwick';
import type { Ending, WavWritten } from 'quenwick';

const run = capture({ pids: [4242], waitForAudio: 2000, report: true, quality: 'linear',
  recover: false });
// @ts-expect-error: a quality is 'high' or 'linear'
capture({ pids: [4242], quality: 'best' });
run.on('format', (event) => console.log(event.sample_rate));
run.on('backend', (event) => console.log(event.name.length));
run.on('playing', (event) => console.log(event.pids.includes(4242)));
run.on('silence', (event) => console.log(event.seconds, event.advice?.length));
run.once('sound', (event) => console.log(event.event));
run.on('ended', (event) => console.log(event.pid + 1));
run.on('interrupted', (event) => run.once('resumed', () => console.log(event.reason.length)));
run.on('slept', (event) => console.log(event.seconds + 1));
// @ts-expect-error: an ended process is one pid
run.on('ended', (event) => console.log(event.pids));
for await (const chunk of run) {
  // @ts-expect-error: a chunk is no number
  const wrong: number = chunk;
  console.log(chunk.readInt16LE(0), wrong);
}
const ending: Ending = await run.ended;
const written: WavWritten = await writeWav('out.wav', run);
console.log(ending.reason, written.seconds, NoSuchProcessError.name);
const agent: string = binaryPath({ env: process.env });
// @ts-expect-error: where the agent is depends on the binary option and env only
binaryPath({ pids: [4242] });
console.log(agent.length, binaryPath().length);
`;

// A user's folder with the package as `npm pack` makes it, and @types/node as
// `npm install --save-dev @types/node` would put it there (copied from ours: no registry).
let user;
function usersFolder() {
  if (user) return user;
  user = mkdtempSync(path.join(tmpdir(), 'quenwick-types-'));
  writeFileSync(path.join(user, 'package.json'), '{"name": "user", "type": "module"}');
  const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination', user],
    { cwd: file('') }).toString().trim();
  execFileSync('npm', ['install', '--no-audit', '--no-fund', '--offline', `./${tarball}`],
    { cwd: user, stdio: 'ignore' });
  for (const name of ['@types/node', 'undici-types']) {
    cpSync(file(`node_modules/${name}`), path.join(user, `node_modules/${name}`), { recursive: true });
  }
  return user;
}

const compilers = { 'TypeScript 5': 'typescript', 'TypeScript 7, the newest': 'typescript-7' };
for (const [name, compiler] of Object.entries(compilers)) {
  test(`a TypeScript host compiles with the tsconfig of tsc --init, under ${name}`, () => {
    const tsc = file(`node_modules/${compiler}/bin/tsc`);
    const project = path.join(usersFolder(), compiler);
    mkdirSync(project);
    execFileSync(process.execPath, [tsc, '--init'], { cwd: project, stdio: 'ignore' });
    writeFileSync(path.join(project, 'host.ts'), host);
    cpSync(file('example/record.mjs'), path.join(project, 'record.mjs'));
    // As written, then with the package's own declarations checked too; and the example, as
    // JavaScript under --strict (from the user's folder, where no tsconfig applies).
    for (const more of [[], ['--skipLibCheck', 'false'], ['--strict', '--allowJs', '--checkJs',
      '--module', 'node16', '--target', 'es2022', '--types', 'node', `${compiler}/record.mjs`]]) {
      const checked = spawnSync(process.execPath, [tsc, '--noEmit', ...more],
        { cwd: more.length > 2 ? user : project });
      assert.deepEqual([checked.status, checked.stdout.toString() + checked.stderr.toString()],
        [0, ''], `tsc --noEmit ${more.join(' ')}`);
    }
  });
}
