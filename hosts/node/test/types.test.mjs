// The package's types: events.d.ts is what the schema makes now, and the example, a host's
// program, type-checks against index.d.ts under --strict.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { events, makeTypes } from '../tools/make-types.mjs';

const ts = createRequire(import.meta.url)('typescript');
const file = (name) => fileURLToPath(new URL(`../${name}`, import.meta.url));

test('the committed event types are what the schema makes', async () => {
  assert.equal(readFileSync(events, 'utf8'), await makeTypes());
});

test('the example type-checks against the package', () => {
  const program = ts.createProgram([file('example/record.mjs')], {
    allowJs: true,
    checkJs: true,
    strict: true,
    noEmit: true,
    target: ts.ScriptTarget.ES2022,
    module: ts.ModuleKind.Node16,
    moduleResolution: ts.ModuleResolutionKind.Node16,
    types: ['node'],
    paths: { quenwick: [file('index.d.ts')] },
  });
  const problems = ts.getPreEmitDiagnostics(program).map((diagnostic) =>
    ts.flattenDiagnosticMessageText(diagnostic.messageText, '\n'));
  assert.deepEqual(problems, []);
});
