// Renders the song off the page's thread. Each {type: 'render'} message is
// answered, the first time, by {type: 'song'} with the notes the module holds
// (see songOf), then by {type: 'progress'} messages, then {type: 'done'} with the PCM,
// its SHA-256, its channels as Web Audio plays them and the waveform's peaks
// (all transferred), or {type: 'failed'} with the reason.
'use strict';

const kChannels = 2;
const kPeakColumns = 4096;  // the waveform's resolution; the page draws it to any width

let waveModule = null;  // a promise of the loaded module

// The module on two threads where the page is cross-origin isolated (so that
// the browser shares memory between workers), else the one on one thread.
function moduleName() {
  const shared = self.crossOriginIsolated === true && typeof SharedArrayBuffer === 'function';
  return shared ? 'wave_web_threads' : 'wave_web';
}

async function loadModule() {
  if (typeof WebAssembly !== 'object') throw new Error('this browser has no WebAssembly');
  const name = moduleName();
  // Fetched here, not by the loader, so that a failure names its cause.
  let response;
  try {
    response = await fetch(`${name}.wasm`);
  } catch (error) {
    throw new Error(`cannot load ${name}.wasm: ${describe(error)}`);
  }
  if (!response.ok) {
    throw new Error(`cannot load ${name}.wasm: HTTP ${response.status} ${response.statusText}`.trim());
  }
  const wasmBinary = await response.arrayBuffer();
  importScripts(`${name}.js`);
  const complaints = [];
  try {
    return await createWaveModule({
      wasmBinary,
      mainScriptUrlOrBlob: `${name}.js`,  // what the module's helper thread loads
      onRenderProgress: (done, total) => postMessage({ type: 'progress', done, total }),
      printErr: (text) => complaints.push(text),
    });
  } catch (error) {
    const kPrefix = 'failed to asynchronously prepare wasm: ';
    const reason = complaints.find((text) => text.startsWith(kPrefix));
    throw new Error(`${name}.wasm does not start: ${reason ? reason.slice(kPrefix.length) : describe(error)}`);
  }
}

// The reason an error gives, without the loader's advice on how to build it.
function describe(error) {
  const text = error instanceof Error ? error.message : String(error);
  return text.replace(/\. Build with -s ASSERTIONS=1 for more info\.$/, '');
}

async function sha256Hex(bytes) {
  if (!self.crypto || !self.crypto.subtle) return null;  // only in a secure context
  const digest = new Uint8Array(await self.crypto.subtle.digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
}

// Each 16-bit sample becomes sample / 32768, exactly.
function channelsOf(pcm) {
  const frames = pcm.length / kChannels;
  const channels = [];
  for (let channel = 0; channel < kChannels; channel++) {
    const samples = new Float32Array(frames);
    for (let frame = 0, i = channel; frame < frames; frame++, i += kChannels) {
      samples[frame] = pcm[i] / 32768;
    }
    channels.push(samples);
  }
  return channels;
}

// Per column of the waveform, the lowest and the highest sample of both channels.
function peaksOf(pcm) {
  const peaks = new Float32Array(kPeakColumns * 2);
  const frames = pcm.length / kChannels;
  for (let column = 0; column < kPeakColumns; column++) {
    const first = Math.floor(column * frames / kPeakColumns) * kChannels;
    const end = Math.floor((column + 1) * frames / kPeakColumns) * kChannels;
    let low = 0;
    let high = 0;
    for (let i = first; i < end; i++) {
      if (pcm[i] < low) low = pcm[i];
      if (pcm[i] > high) high = pcm[i];
    }
    peaks[2 * column] = low / 32768;
    peaks[2 * column + 1] = high / 32768;
  }
  return peaks;
}

// The song's notes as the module holds them (WebSongNotes: per note its track,
// note number, first step and steps), the tracks' names, a step's frames, the
// sample rate and the song's length in seconds.
function songOf(wave) {
  const count = wave._WebSongNoteCount();
  const notes = new Int32Array(wave.HEAPU8.buffer, wave._WebSongNotes(), 4 * count).slice();
  const names = [];
  for (let track = 0; track < wave._WebTrackCount(); track++) {
    const start = wave._WebTrackName(track);
    const end = wave.HEAPU8.indexOf(0, start);
    names.push(new TextDecoder().decode(wave.HEAPU8.slice(start, end)));  // a copy: memory may be shared
  }
  const sampleRate = wave._WebSampleRate();
  const seconds = wave._WebPcmBytes() / (2 * kChannels) / sampleRate;
  return { notes, names, stepFrames: wave._WebStepFrames(), sampleRate, seconds };
}

let songSent = false;

async function render() {
  waveModule = waveModule || loadModule();
  const wave = await waveModule;
  if (!songSent) {
    const song = songOf(wave);
    postMessage({ type: 'song', ...song }, [song.notes.buffer]);
    songSent = true;
  }
  const started = performance.now();
  const pointer = wave._WebRenderSong();
  const seconds = (performance.now() - started) / 1000;
  const pcm = wave.HEAPU8.slice(pointer, pointer + wave._WebPcmBytes()).buffer;
  const hash = await sha256Hex(pcm);
  const samples = new Int16Array(pcm);
  const channels = channelsOf(samples);
  const peaks = peaksOf(samples);
  const threads = wave._WebRenderThreads();
  postMessage({ type: 'done', pcm, channels, peaks, sampleRate: wave._WebSampleRate(), seconds, threads, hash },
              [pcm, peaks.buffer, ...channels.map((c) => c.buffer)]);
}

self.onmessage = (event) => {
  if (event.data.type !== 'render') return;
  render().catch((error) => {
    waveModule = null;  // the next render loads the module afresh
    postMessage({ type: 'failed', message: describe(error) });
  });
};
