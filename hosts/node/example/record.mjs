// Records what a process plays for a few seconds to a WAV file: node record.mjs PID SECONDS OUT.wav
import { capture, QuenwickError, writeWav } from 'quenwick';

const [pid, seconds, out] = process.argv.slice(2);
const run = capture({ pids: [Number(pid)], waitForAudio: 10_000 });
run.on('status', (event) => console.log(JSON.stringify(event)));
run.once('running', () => setTimeout(() => run.stop(), Number(seconds) * 1000));
const written = writeWav(out, run);
try {
  console.log(await run.ended, `${(await written).seconds.toFixed(2)} s in ${out}`);
} catch (error) {
  if (!(error instanceof QuenwickError)) throw error;
  console.error(`${error.name} (status ${error.status}): ${error.message}`);
  process.exitCode = 1;
}
