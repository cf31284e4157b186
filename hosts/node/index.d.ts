// Types of the quenwick package. The status events come from the agent's schema (events.d.ts).
/// <reference types="node" />
import { EventEmitter } from 'node:events';
import { Readable } from 'node:stream';
import type {
  BackendEvent,
  CreatingTapEvent,
  EndedEvent,
  ErrorEvent,
  FormatEvent,
  InterruptedEvent,
  PlayingEvent,
  QuenwickStatusEvent,
  ResumedEvent,
  RunningEvent,
  SilenceEvent,
  SleptEvent,
  SoundEvent,
} from './events';

export type {
  BackendEvent,
  CreatingTapEvent,
  EndedEvent,
  ErrorEvent,
  FormatEvent,
  InterruptedEvent,
  PlayingEvent,
  QuenwickStatusEvent,
  ResumedEvent,
  RunningEvent,
  SilenceEvent,
  SleptEvent,
  SoundEvent,
};

/** The PCM on standard output: raw mono signed 16-bit little-endian samples, 16000 a second. */
export declare const SAMPLE_RATE: 16000;
export declare const CHANNELS: 1;
export declare const BYTES_PER_SAMPLE: 2;
export declare const SAMPLE_FORMAT: 's16le';

export interface CaptureOptions {
  /** Hear these processes (the agent's --pids): pids from 1 to 2147483647, one at least. */
  pids?: number[];
  /** Hear the whole system but the parent (this process) and excludeSelf (--global). */
  global?: boolean;
  /** In global mode, also leave out this process (--exclude-self). */
  excludeSelf?: number;
  /** Each listed process stands for its descendants as well (--tree). */
  tree?: boolean;
  /**
   * The agent: this path, else QUENWICK_BINARY, else the agent of this platform's package
   * (installed with this one), else quenwick (quenwick.exe on Windows) on the PATH. A path inside
   * an Electron app's app.asar is taken from app.asar.unpacked.
   */
  binary?: string;
  /** The agent's environment; process.env by default. */
  env?: NodeJS.ProcessEnv;
  /**
   * While none of the listed processes plays yet, the agent waits (--wait) until one does, for
   * up to this many milliseconds (then NothingToHearError), until stop() or `signal` aborts,
   * or until none of them lives (NoSuchProcessError). true: without a deadline.
   */
  waitForAudio?: boolean | number;
  /** Aborting stops the agent, or the wait, and rejects `ended` with the signal's reason. */
  signal?: AbortSignal;
  /**
   * The agent reports who plays, which listed process ended, stretches of silence and sleep
   * (--report): the 'playing', 'ended', 'silence', 'sound' and 'slept' events. true by default;
   * false: the agent writes only the other events.
   */
  report?: boolean;
  /**
   * How the agent resamples to 16 kHz (--quality): 'high', by default, band-limits the sound
   * first, so that what lies above 8 kHz does not fold back into speech; 'linear' is the
   * agent's exact linear interpolation.
   */
  quality?: 'high' | 'linear';
  /**
   * When the audio server goes away (it restarts; on Windows also a change of device), the agent
   * waits for it and captures again (--recover): 'interrupted', silence in time, then 'resumed'.
   * true by default; false: the capture ends with AudioLayerError, "the audio server went away".
   */
  recover?: boolean;
}

/** How a capture ended by itself or by stop(). */
export interface Ending {
  /** 0; null when stop() came before the agent ran (also while it waited for audio). */
  status: number | null;
  /** 'SIGTERM' when stop() came before the agent handled it. */
  signal: NodeJS.Signals | null;
  /** The agent's last message ("parent exited"), else 'stopped' after stop(), else 'ended'. */
  reason: string;
}

export declare class QuenwickError extends Error {
  /** The agent's exit status, when it exited (3 also at waitForAudio's deadline). */
  readonly status: number | null;
  /** The signal that ended it, when one did. */
  readonly signal: NodeJS.Signals | null;
  /** The agent's last status line, when it wrote one. */
  readonly event?: ErrorEvent;
}
/**
 * Options that cannot work (status null: no agent was started, and the message names the option),
 * or exit status 1: the agent refused the command line the options made.
 */
export declare class UsageError extends QuenwickError {}
/**
 * Exit status 2: the audio layer refused, its server went away (with recover false), or the PCM
 * could not be written.
 */
export declare class AudioLayerError extends QuenwickError {}
/** Exit status 3: none of the listed processes plays sound yet (or by waitForAudio's deadline). */
export declare class NothingToHearError extends QuenwickError {}
/**
 * Exit status 3, the agent's "none of the requested processes exists": none of the listed
 * processes is alive (each has ended or never existed), at start or while it waited.
 */
export declare class NoSuchProcessError extends QuenwickError {}
/** The agent was ended by a signal it does not handle. */
export declare class SignalError extends QuenwickError {}
/**
 * No agent could be found or started, or this system cannot run it (too old a glibc or macOS,
 * musl): the message names what is needed and what was found.
 */
export declare class BinaryNotFoundError extends QuenwickError {}

/**
 * A running capture. Its PCM comes as Buffers of whole samples, from `pcm` or by iterating the
 * capture; while nobody reads it, the agent's pipe fills and the agent keeps the time of what
 * it cannot hold as silence, so memory here stays bounded.
 */
export declare class Capture extends EventEmitter implements AsyncIterable<Buffer> {
  readonly pcm: Readable;
  /** The agent's process id. */
  readonly pid: number | undefined;
  /** Resolves on the "running" line; rejects as `ended` does, or when it ends before running. */
  readonly started: Promise<RunningEvent>;
  /** Resolves when the agent ends with status 0; rejects with a QuenwickError otherwise. */
  readonly ended: Promise<Ending>;
  /**
   * Sends SIGTERM to the agent (which also ends its wait for audio); on Windows, which has no
   * SIGTERM, ends its process. Settles as `ended`. An agent that had ended tells how it ended.
   */
  stop(): Promise<Ending>;
  [Symbol.asyncIterator](): AsyncIterableIterator<Buffer>;

  /** Every status line, as the agent wrote it. */
  on(event: 'status', listener: (event: QuenwickStatusEvent) => void): this;
  /** The backend that serves the run ('pipewire', 'coreaudio', 'loopback'), first (report). */
  on(event: 'backend', listener: (event: BackendEvent) => void): this;
  /** The tap's format at start, and each change ("changed": true). */
  on(event: 'format', listener: (event: FormatEvent) => void): this;
  on(event: 'running', listener: (event: RunningEvent) => void): this;
  /** The processes heard playing now: right after 'running', then at each change (report). */
  on(event: 'playing', listener: (event: PlayingEvent) => void): this;
  /** A listed process has ended; the capture goes on (report, processes mode). */
  on(event: 'ended', listener: (event: EndedEvent) => void): this;
  /** Every sample was zero for `seconds` while a process played (report). */
  on(event: 'silence', listener: (event: SilenceEvent) => void): this;
  /** Sound again after a 'silence' (report). */
  on(event: 'sound', listener: (event: SoundEvent) => void): this;
  /** The audio server went away, for `reason`; silence comes in time until 'resumed' (recover). */
  on(event: 'interrupted', listener: (event: InterruptedEvent) => void): this;
  /** The agent captures again after 'interrupted', or waits again for audio (recover). */
  on(event: 'resumed', listener: (event: ResumedEvent) => void): this;
  /** The machine slept for `seconds` and is awake again (report). */
  on(event: 'slept', listener: (event: SleptEvent) => void): this;
  /** How it failed, when it does (only emitted to listeners: `ended` rejects either way). */
  on(event: 'error', listener: (error: QuenwickError) => void): this;
  once(event: 'status', listener: (event: QuenwickStatusEvent) => void): this;
  once(event: 'backend', listener: (event: BackendEvent) => void): this;
  once(event: 'format', listener: (event: FormatEvent) => void): this;
  once(event: 'running', listener: (event: RunningEvent) => void): this;
  once(event: 'playing', listener: (event: PlayingEvent) => void): this;
  once(event: 'ended', listener: (event: EndedEvent) => void): this;
  once(event: 'silence', listener: (event: SilenceEvent) => void): this;
  once(event: 'sound', listener: (event: SoundEvent) => void): this;
  once(event: 'interrupted', listener: (event: InterruptedEvent) => void): this;
  once(event: 'resumed', listener: (event: ResumedEvent) => void): this;
  once(event: 'slept', listener: (event: SleptEvent) => void): this;
  once(event: 'error', listener: (error: QuenwickError) => void): this;
}

/** Starts the agent with the options; errors come through the capture's promises. */
export declare function capture(options: CaptureOptions): Capture;

/**
 * The path of the agent that a capture with these options would start (the same `binary` option
 * and QUENWICK_BINARY rules), for an app that copies it into its bundle. Throws
 * BinaryNotFoundError with the reason when there is none.
 */
export declare function binaryPath(options?: Pick<CaptureOptions, 'binary' | 'env'>): string;

/** The 44-byte WAV header of `dataBytes` of this PCM. */
export declare function wavHeader(dataBytes: number): Buffer;

/** What writeWav wrote: the samples, and how long they last. */
export interface WavWritten {
  samples: number;
  seconds: number;
}

/**
 * Writes a capture's PCM (or any async iterable of PCM Buffers) to a WAV file as it comes, once
 * the capture runs; resolves when it ends. A capture that never runs makes no file, and the
 * promise rejects as `started` does.
 */
export declare function writeWav(file: string, source: AsyncIterable<Buffer>): Promise<WavWritten>;
