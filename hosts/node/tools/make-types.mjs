// The status events' types come from the agent's JSON Schema, the one source of truth: makes
// events.d.ts from it (npm run types); the tests check that the committed file is what it makes.
import { writeFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import { compileFromFile } from 'json-schema-to-typescript';

export const schema = fileURLToPath(new URL('../../../docs/status-events.schema.json', import.meta.url));
export const events = fileURLToPath(new URL('../events.d.ts', import.meta.url));

export function makeTypes() {
  return compileFromFile(schema, {
    bannerComment:
      "// The agent's status events, made from docs/status-events.schema.json by " +
      'json-schema-to-typescript\n// (npm run types). Do not edit: change the schema.',
    style: { singleQuote: true },
  });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) await writeFile(events, await makeTypes());
