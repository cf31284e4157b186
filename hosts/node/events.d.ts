// The agent's status events, made from docs/status-events.schema.json by json-schema-to-typescript
// (npm run types). Do not edit: change the schema.

/**
 * One line on quenwick's standard error: one compact JSON object, one event.
 */
export type QuenwickStatusEvent = CreatingTapEvent | FormatEvent | RunningEvent | ErrorEvent;

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
 * A fatal condition; always the last line, the process exits right after it.
 */
export interface ErrorEvent {
  event: 'error';
  message: string;
}
