// The ESM face of the package: the same module as index.cjs.
import quenwick from './index.cjs';

export const {
  SAMPLE_RATE,
  CHANNELS,
  BYTES_PER_SAMPLE,
  SAMPLE_FORMAT,
  Capture,
  capture,
  binaryPath,
  writeWav,
  wavHeader,
  QuenwickError,
  UsageError,
  AudioLayerError,
  NothingToHearError,
  NoSuchProcessError,
  SignalError,
  BinaryNotFoundError,
} = quenwick;
export default quenwick;
