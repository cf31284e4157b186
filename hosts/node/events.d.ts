// The agent's status events, made from docs/status-events.schema.json by json-schema-to-typescript
// (npm run types). Do not edit: change the schema.

/**
 * One line on quenwick's standard error: one compact JSON object, one event.
 */
export type QuenwickStatusEvent =
  | BackendEvent
  | CreatingTapEvent
  | FormatEvent
  | RunningEvent
  | PlayingEvent
  | EndedEvent
  | SilenceEvent
  | SoundEvent
  | InterruptedEvent
  | ResumedEvent
  | SleptEvent
  | ErrorEvent;

/**
 * With --report only, the first line: the backend that serves the run, once the command line is good and that backend can serve this machine (the platform's list is tried in order).
 */
export interface BackendEvent {
  event: 'backend';
  /**
   * pipewire or pulseaudio (Linux), coreaudio (macOS), loopback (Windows); a later agent may name others.
   */
  name: string;
}
/**
 * Written just before the tap is created.
 */
export interface CreatingTapEvent {
  event: 'creating_tap';
}
/**
 * The tap's format: once at start, then with "changed" true on each change.
 */
export interface FormatEvent {
  event: 'format';
  sample_rate: number;
  channels: number;
  mode: 'processes' | 'global';
  /**
   * Exactly the pids given with --pids, in their order, whatever the mode and with --tree too.
   */
  pids: number[];
  changed?: true;
}
/**
 * Capture has started.
 */
export interface RunningEvent {
  event: 'running';
}
/**
 * With --report: the processes whose sound reaches the capture now. Processes mode: the listed pids, in the host's order (with --tree, a listed pid whose tree plays); global mode: the pids heard, in ascending order. Once right after "running", then on each change.
 */
export interface PlayingEvent {
  event: 'playing';
  pids: number[];
}
/**
 * With --report, processes mode: a listed process has ended (a later process with its pid is another). Once per listed process; the capture goes on.
 */
export interface EndedEvent {
  event: 'ended';
  pid: number;
}
/**
 * With --report: for "seconds" seconds every sample of the PCM was zero while a process played (sound too quiet to reach a 16-bit step reads as zeros). Once per such stretch. "advice" (macOS and Windows, on the first one of a run that heard no sound at all) says what such silence may mean and where to look. On macOS: that it may come from a missing permission to record, where to look (on macOS 15 the "System Audio Recording Only" section), that the host app must declare NSAudioCaptureUsageDescription, and how to undo a denial (tccutil reset AudioCapture); and, when Core Audio refused to change the tap's processes, that it did. On Windows: streams marked not to be captured, protected content and exclusive mode.
 */
export interface SilenceEvent {
  event: 'silence';
  seconds: number;
  advice?: string;
}
/**
 * With --report: a PCM sample that is not zero came after a "silence".
 */
export interface SoundEvent {
  event: 'sound';
}
/**
 * With --recover only: the audio server went away (it restarted, or on Windows the device the capture was made on changed), and the agent goes on. Silence flows in the PCM, in time, while it reaches the server again. Told once per outage, however many tries it takes.
 */
export interface InterruptedEvent {
  event: 'interrupted';
  /**
   * Why, in the words an "error" would have had without --recover: "the audio server went away", or on Windows a change of device.
   */
  reason: string;
}
/**
 * With --recover only, after "interrupted": the agent captures again (a "format" with "changed" follows when the format differs), or, if it was still waiting (--wait), waits again on the server that came back.
 */
export interface ResumedEvent {
  event: 'resumed';
}
/**
 * With --report only: the machine slept, told once it is awake again. The PCM does not count the time slept: it holds no samples for it.
 */
export interface SleptEvent {
  event: 'slept';
  /**
   * How long it slept, in whole seconds (at least 1).
   */
  seconds: number;
}
/**
 * A fatal condition; always the last line, the process exits right after it.
 */
export interface ErrorEvent {
  event: 'error';
  message: string;
}
