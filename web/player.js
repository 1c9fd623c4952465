// The page: renders the song in a Web Worker (render-worker.js), draws its
// waveform and its notes, shows the SHA-256 of its 16-bit PCM, plays those very
// samples through Web Audio (each 16-bit sample becoming sample / 32768) and
// offers them as a WAV file.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const ui = {
    message: $('message'),
    progress: $('render-progress'),
    progressDone: document.querySelector('#render-progress .progress-done'),
    status: $('status'),
    waveform: $('waveform'),
    canvas: $('waveform-canvas'),
    played: $('played'),
    playhead: $('playhead'),
    ticks: $('ticks'),
    roll: $('roll'),
    rollCanvas: $('roll-canvas'),
    rollPlayhead: $('roll-playhead'),
    legend: $('legend'),
    download: $('download'),
    play: $('play'),
    stop: $('stop'),
    time: $('time'),
    again: $('render-again'),
    hash: $('hash'),
    hashNote: $('hash-note'),
  };

  const kChannels = 2;
  const kTickSeconds = 30;
  const kKeySeekSeconds = 5;    // the arrow keys on the waveform
  const kPageSeekSeconds = 30;  // Page Up and Page Down
  const kNoteReachPixels = 6;   // a click this near a note's bar hits it
  const kStartLeadSeconds = 0.05;  // ahead of the audio clock, so that a start is never late

  // The page's state, also reachable from the console as `wavePlayer`.
  const player = {
    pcm: null,          // Int16Array, interleaved stereo, as rendered
    sampleRate: 0,
    frames: 0,
    hash: null,         // hex SHA-256 of the PCM's bytes
    renders: 0,
    audioBuffer: null,  // the PCM as floats, sample / 32768
    context: null,      // AudioContext, made on the first Play
    bus: null,          // GainNode at 1 that every source plays through
    source: null,       // the AudioBufferSourceNode that is playing, if any
    startedAt: 0,       // context time at which `source` started
    offset: 0,          // seconds into the song where `source` started, or the stop position
    peaks: null,        // per column: the lowest and highest sample of both channels
    song: null,         // the notes from the module: {notes, names, stepFrames}, see render-worker.js
    wavUrl: null,       // the object URL of the WAV file the Download link saves
  };
  window.wavePlayer = player;

  const AudioContextClass = window.AudioContext || window.webkitAudioContext;
  let worker = null;

  let standingNotice = null;  // what the browser lacks, shown until the page closes

  function showMessage(text) {
    ui.message.textContent = text;
    ui.message.hidden = false;
  }

  function clearMessage() {
    if (standingNotice) {
      showMessage(standingNotice);
    } else {
      ui.message.hidden = true;
    }
  }

  function formatTime(seconds) {
    const tenths = Math.floor(seconds * 10 + 1e-6);
    const minutes = Math.floor(tenths / 600);
    const rest = (tenths % 600) / 10;
    return `${minutes}:${rest < 10 ? '0' : ''}${rest.toFixed(1)}`;
  }

  function duration() {
    return player.frames / player.sampleRate;
  }

  // Rendering ---------------------------------------------------------------

  function startWorker() {
    try {
      worker = new Worker('render-worker.js');
    } catch (error) {
      renderFailed(`the render worker cannot start here (${error.message}). ` +
                   'Serve the page over http, for example with scripts/web.sh.');
      return false;
    }
    worker.onmessage = (event) => {
      const reply = event.data;
      if (reply.type === 'progress') {
        showProgress(reply.total > 0 ? reply.done / reply.total : 0);
        ui.status.textContent = `Rendering… ${reply.done} of ${reply.total} tracks`;
      } else if (reply.type === 'song') {
        songArrived(reply);
      } else if (reply.type === 'done') {
        rendered(reply);
      } else if (reply.type === 'failed') {
        renderFailed(reply.message);
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      renderFailed(event.message || 'the render worker (render-worker.js) did not start');
      worker.terminate();
      worker = null;
    };
    return true;
  }

  function showProgress(fraction) {
    ui.progressDone.style.width = `${fraction * 100}%`;
    ui.progress.setAttribute('aria-valuenow', String(Math.round(fraction * 100)));
  }

  function render() {
    stop();
    clearMessage();
    ui.again.disabled = true;
    setTransportEnabled(false);
    setDownload(null);
    showProgress(0);
    ui.progress.hidden = false;
    ui.status.textContent = 'Rendering…';
    if (!worker && !startWorker()) return;
    worker.postMessage({ type: 'render' });
  }

  function renderFailed(reason) {
    ui.progress.hidden = true;
    ui.status.textContent = 'No song: the render failed.';
    showMessage(`The render failed: ${reason}`);
    ui.again.disabled = false;
  }

  function rendered({ pcm, channels, peaks, sampleRate, seconds, threads, hash }) {
    const previousHash = player.hash;
    player.pcm = new Int16Array(pcm);
    player.sampleRate = sampleRate;
    player.frames = player.pcm.length / kChannels;
    player.hash = hash;
    player.renders += 1;
    player.offset = 0;

    showProgress(1);
    ui.progress.hidden = true;
    ui.status.textContent = `Rendered in ${seconds.toFixed(2)} s` + (threads > 1 ? ` on ${threads} threads` : '') +
        (player.renders > 1 ? ` (render ${player.renders})` : '') + '.';
    showHash(hash, previousHash);
    player.peaks = peaks;
    drawWaveform();
    drawRoll();
    drawTicks();
    ui.again.disabled = false;
    setDownload(wavFileOf(player.pcm));

    if (AudioContextClass) {
      try {
        player.audioBuffer = makeAudioBuffer(channels);
        setTransportEnabled(true);
      } catch (error) {
        showMessage(`The song cannot be played: ${error.message}`);
      }
    }
    updateTime();
  }

  function showHash(hash, previousHash) {
    if (!hash) {
      ui.hash.textContent = 'unavailable';
      ui.hashNote.textContent = 'This browser computes SHA-256 only for pages from https or from ' +
                                'this machine (localhost, 127.0.0.1).';
      return;
    }
    ui.hash.textContent = hash;
    if (player.renders === 1) {
      ui.hashNote.textContent = '';
    } else if (hash === previousHash) {
      ui.hashNote.textContent = `Render ${player.renders} gave the same bytes as the one before.`;
    } else {
      ui.hashNote.textContent = '';
      showMessage(`Render ${player.renders} gave other bytes than the one before ` +
                  `(${previousHash}): this browser does not compute as the native build does.`);
    }
  }

  // Playback ----------------------------------------------------------------

  // The worker made the channels: each 16-bit sample / 32768.
  function makeAudioBuffer(channels) {
    const options = { numberOfChannels: kChannels, length: player.frames, sampleRate: player.sampleRate };
    const buffer = typeof AudioBuffer === 'function' ?
        new AudioBuffer(options) :
        audioContext().createBuffer(kChannels, player.frames, player.sampleRate);
    channels.forEach((samples, channel) => buffer.copyToChannel(samples, channel));
    return buffer;
  }

  // The context plays at the song's own rate where the browser allows it.
  function audioContext() {
    if (!player.context) {
      let context;
      try {
        context = new AudioContextClass({ sampleRate: player.sampleRate });
      } catch {
        context = new AudioContextClass();
      }
      player.bus = context.createGain();  // gain 1 leaves every sample as it is
      player.bus.connect(context.destination);
      player.context = context;
    }
    return player.context;
  }

  function playing() {
    return player.source !== null;
  }

  function elapsed() {
    if (!playing()) return player.offset;
    const since = Math.max(0, player.context.currentTime - player.startedAt);
    return Math.min(duration(), player.offset + since);
  }

  // A time a little ahead on the context's clock that falls on a whole frame.
  // A source started between frames is interpolated, so that its samples are
  // no longer exactly the song's; a start "now" lands between frames whenever
  // the clock's time, times the rate, is not a whole number.
  function wholeFrameTimeAhead(context) {
    const rate = context.sampleRate;
    let frame = Math.ceil((context.currentTime + kStartLeadSeconds) * rate);
    while ((frame / rate) * rate !== frame) frame++;
    return frame / rate;
  }

  function playFrom(seconds) {
    if (!player.audioBuffer) return;
    let context;
    try {
      context = audioContext();
      if (context.state === 'suspended') {
        context.resume().catch((error) => showMessage(`The sound cannot start: ${error.message}`));
      }
      stopSource();
      const source = context.createBufferSource();
      source.buffer = player.audioBuffer;
      source.connect(player.bus);
      source.onended = () => {
        if (player.source !== source) return;
        player.source = null;
        player.offset = 0;
        showPlaying();
      };
      const when = wholeFrameTimeAhead(context);
      source.start(when, seconds);
      player.source = source;
      player.startedAt = when;
      player.offset = seconds;
    } catch (error) {
      showMessage(`The song cannot be played: ${error.message}`);
      return;
    }
    showPlaying();
    requestAnimationFrame(followPlayback);
  }

  function stopSource() {
    const source = player.source;
    if (!source) return;
    player.source = null;
    source.onended = null;
    source.stop();
    source.disconnect();
  }

  // Stop goes back to the start.
  function stop() {
    stopSource();
    player.offset = 0;
    showPlaying();
  }

  // Pause keeps the place, on a whole frame, for the next Play.
  function pause() {
    const frame = Math.min(player.frames, Math.round(elapsed() * player.sampleRate));
    stopSource();
    player.offset = frame / player.sampleRate;
    showPlaying();
  }

  function toggle() {
    if (playing()) {
      pause();
    } else if (!ui.play.disabled) {
      playFrom(player.offset >= duration() ? 0 : player.offset);
    }
  }

  // To `seconds` (clamped to the song, on a whole frame): playing goes on from
  // there, a paused song will start there.
  function seek(seconds) {
    if (ui.play.disabled) return;
    const frame = Math.round(Math.min(duration(), Math.max(0, seconds)) * player.sampleRate);
    if (playing() && frame < player.frames) {
      playFrom(frame / player.sampleRate);
    } else {
      stopSource();
      player.offset = frame / player.sampleRate;
      showPlaying();
    }
  }

  function setTransportEnabled(enabled) {
    ui.play.disabled = !enabled;
    ui.stop.disabled = !enabled;
    ui.waveform.classList.toggle('ready', enabled);
    ui.roll.classList.toggle('ready', enabled);
  }

  function showPlaying() {
    const isPlaying = playing();
    document.body.classList.toggle('playing', isPlaying);
    ui.play.textContent = isPlaying ? '❚❚ Pause' : '▶ Play';
    updateTime();
  }

  function updateTime() {
    const total = player.frames ? duration() : 0;
    const now = player.frames ? elapsed() : 0;
    ui.time.textContent = `${formatTime(now)} / ${formatTime(total)}`;
    const fraction = total > 0 ? now / total : 0;
    ui.playhead.style.left = `${fraction * 100}%`;
    ui.rollPlayhead.style.left = `${fraction * 100}%`;
    ui.played.style.width = `${fraction * 100}%`;
    ui.waveform.setAttribute('aria-valuenow', now.toFixed(1));
    ui.waveform.setAttribute('aria-valuetext', `${spokenTime(now)} of ${spokenTime(total)}`);
  }

  // "1 minute 5.2 seconds", as a screen reader should say a time.
  function spokenTime(seconds) {
    const tenths = Math.floor(seconds * 10 + 1e-6);
    const minutes = Math.floor(tenths / 600);
    const rest = (tenths % 600) / 10;
    const parts = [];
    if (minutes > 0) parts.push(`${minutes} minute${minutes === 1 ? '' : 's'}`);
    if (rest > 0 || minutes === 0) parts.push(`${Number.isInteger(rest) ? rest : rest.toFixed(1)} second${rest === 1 ? '' : 's'}`);
    return parts.join(' ');
  }

  function followPlayback() {
    updateTime();
    if (playing()) requestAnimationFrame(followPlayback);
  }

  // The waveform ------------------------------------------------------------

  function drawWaveform() {
    const canvas = ui.canvas;
    const scale = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * scale));
    const height = Math.max(1, Math.round(canvas.clientHeight * scale));
    canvas.width = width;
    canvas.height = height;
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, width, height);
    if (!player.peaks) return;

    const style = getComputedStyle(ui.waveform);
    g.fillStyle = style.getPropertyValue('--grid').trim() || '#334';
    const seconds = duration();
    for (let t = kTickSeconds; t < seconds; t += kTickSeconds) {
      g.fillRect(Math.round(t / seconds * width), 0, 1, height);
    }
    g.fillRect(0, Math.floor(height / 2), width, 1);

    let loudest = 1 / 32768;
    for (const p of player.peaks) loudest = Math.max(loudest, Math.abs(p));
    const half = height / 2;
    const gain = (half - 2) / loudest;
    g.fillStyle = style.getPropertyValue('--wave').trim() || '#6cf';
    const columns = player.peaks.length / 2;
    for (let x = 0; x < width; x++) {
      const first = Math.min(columns - 1, Math.floor(x * columns / width));
      const end = Math.max(first + 1, Math.floor((x + 1) * columns / width));
      let low = 0;
      let high = 0;
      for (let c = first; c < end; c++) {
        low = Math.min(low, player.peaks[2 * c]);
        high = Math.max(high, player.peaks[2 * c + 1]);
      }
      const top = Math.floor(half - high * gain);
      const bottom = Math.ceil(half - low * gain);
      g.fillRect(x, top, 1, Math.max(1, bottom - top));
    }
  }

  function drawTicks() {
    ui.ticks.textContent = '';
    const seconds = duration();
    for (let t = 0; t <= seconds + 1e-9; t += kTickSeconds) {
      const tick = document.createElement('span');
      tick.textContent = formatTime(t).replace(/\.0$/, '');
      tick.style.left = `${t / seconds * 100}%`;
      ui.ticks.append(tick);
    }
  }

  function seekTo(event) {
    if (ui.play.disabled) return;
    const box = ui.canvas.getBoundingClientRect();
    const fraction = Math.min(1, Math.max(0, (event.clientX - box.left) / box.width));
    // From a whole frame, so that every sample is played as it is.
    const frame = Math.min(player.frames - 1, Math.round(fraction * player.frames));
    playFrom(frame / player.sampleRate);
  }

  // The waveform as a slider: arrows, Page Up and Down, Home and End.
  function seekByKey(event) {
    if (event.ctrlKey || event.altKey || event.metaKey || ui.play.disabled) return;
    const now = elapsed();
    const targets = {
      ArrowLeft: now - kKeySeekSeconds, ArrowDown: now - kKeySeekSeconds,
      ArrowRight: now + kKeySeekSeconds, ArrowUp: now + kKeySeekSeconds,
      PageDown: now - kPageSeekSeconds, PageUp: now + kPageSeekSeconds,
      Home: 0, End: duration(),
    };
    if (!(event.key in targets)) return;
    event.preventDefault();
    seek(targets[event.key]);
  }

  // The piano roll --------------------------------------------------------------

  function songArrived(song) {
    player.song = song;
    ui.legend.textContent = '';
    song.names.forEach((name, track) => {
      const item = document.createElement('li');
      item.textContent = name;
      item.style.setProperty('--swatch', trackColour(track));
      ui.legend.append(item);
    });
    drawRoll();
  }

  function trackColour(track) {
    return getComputedStyle(document.documentElement).getPropertyValue(`--track-${track}`).trim() || '#ccc';
  }

  // The notes' pitch range, a row per note number, and the time of a step.
  function rollLayout() {
    const { notes, stepFrames } = player.song;
    let low = Infinity;
    let high = -Infinity;
    for (let i = 0; i < notes.length; i += 4) {
      low = Math.min(low, notes[i + 1]);
      high = Math.max(high, notes[i + 1]);
    }
    const box = ui.rollCanvas.getBoundingClientRect();
    const { seconds, sampleRate } = player.song;
    const rowHeight = box.height / (high - low + 1);
    return {
      box, low, high, rowHeight,
      x: (step) => step * stepFrames / sampleRate / seconds * box.width,
      y: (note) => (high - note) * rowHeight,
    };
  }

  // Each note i of the song as a box in CSS pixels of the roll.
  function noteBox(layout, notes, i) {
    const left = layout.x(notes[i + 2]);
    const right = layout.x(notes[i + 2] + notes[i + 3]);
    return { left, width: Math.max(1, right - left - 0.5), top: layout.y(notes[i + 1]),
             height: Math.max(1, layout.rowHeight - 1) };
  }

  function drawRoll() {
    const canvas = ui.rollCanvas;
    const scale = window.devicePixelRatio || 1;
    canvas.width = Math.max(1, Math.round(canvas.clientWidth * scale));
    canvas.height = Math.max(1, Math.round(canvas.clientHeight * scale));
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, canvas.width, canvas.height);
    if (!player.song) return;
    const layout = rollLayout();
    const { notes } = player.song;
    const colours = player.song.names.map((_, track) => trackColour(track));
    // On whole device pixels, so that every bar is its colour and nothing between.
    const snap = (css) => Math.round(css * scale);
    for (let i = 0; i < notes.length; i += 4) {
      const b = noteBox(layout, notes, i);
      const left = snap(b.left);
      const top = snap(b.top);
      g.fillStyle = colours[notes[i]];
      g.fillRect(left, top, Math.max(1, snap(b.left + b.width) - left), Math.max(1, snap(b.top + b.height) - top));
    }
  }

  // The note under a click (or the nearest within reach), as an index into the notes.
  function noteAt(clientX, clientY) {
    if (!player.song) return -1;
    const layout = rollLayout();
    const x = clientX - layout.box.left;
    const y = clientY - layout.box.top;
    const { notes } = player.song;
    let best = -1;
    let bestDistance = Infinity;
    for (let i = 0; i < notes.length; i += 4) {
      const b = noteBox(layout, notes, i);
      const dx = Math.max(b.left - x, 0, x - (b.left + b.width));
      const dy = Math.max(b.top - y, 0, y - (b.top + b.height));
      const distance = Math.hypot(dx, dy);
      if (distance < kNoteReachPixels && distance <= bestDistance) {  // on a tie, the one drawn last
        best = i;
        bestDistance = distance;
      }
    }
    return best;
  }

  // A click on a note plays from its note-on; elsewhere on the roll, from that time.
  function rollClicked(event) {
    if (ui.play.disabled) return;
    const i = noteAt(event.clientX, event.clientY);
    if (i < 0) {
      seekTo(event);
      return;
    }
    const frame = player.song.notes[i + 2] * player.song.stepFrames;
    playFrom(frame / player.sampleRate);
  }

  // The download --------------------------------------------------------------

  // The sound part of the PCM as a WAV file: the frames up to the last one that
  // is not silent, after the canonical 44-byte header of 16-bit stereo PCM.
  function wavFileOf(pcm) {
    let frames = pcm.length / kChannels;
    while (frames > 0 && pcm[2 * frames - 2] === 0 && pcm[2 * frames - 1] === 0) frames--;
    const dataBytes = frames * kChannels * 2;
    const header = new DataView(new ArrayBuffer(44));
    const text = (at, tag) => [...tag].forEach((c, i) => header.setUint8(at + i, c.charCodeAt(0)));
    text(0, 'RIFF');
    header.setUint32(4, 36 + dataBytes, true);
    text(8, 'WAVE');
    text(12, 'fmt ');
    header.setUint32(16, 16, true);  // the format chunk's size
    header.setUint16(20, 1, true);   // PCM
    header.setUint16(22, kChannels, true);
    header.setUint32(24, player.sampleRate, true);
    header.setUint32(28, player.sampleRate * kChannels * 2, true);  // bytes per second
    header.setUint16(32, kChannels * 2, true);                      // bytes per frame
    header.setUint16(34, 16, true);                                 // bits per sample
    text(36, 'data');
    header.setUint32(40, dataBytes, true);
    return new Blob([header, new Uint8Array(pcm.buffer, pcm.byteOffset, dataBytes)], { type: 'audio/wav' });
  }

  // Offers `file` through the Download link, or nothing with null.
  function setDownload(file) {
    if (player.wavUrl) URL.revokeObjectURL(player.wavUrl);
    player.wavUrl = file ? URL.createObjectURL(file) : null;
    if (player.wavUrl) {
      ui.download.href = player.wavUrl;
      ui.download.removeAttribute('aria-disabled');
    } else {
      ui.download.removeAttribute('href');
      ui.download.setAttribute('aria-disabled', 'true');
    }
  }

  // Start -------------------------------------------------------------------

  function start() {
    ui.play.addEventListener('click', toggle);
    ui.stop.addEventListener('click', stop);
    ui.again.addEventListener('click', render);
    ui.waveform.addEventListener('click', seekTo);
    ui.waveform.addEventListener('keydown', seekByKey);
    ui.roll.addEventListener('click', rollClicked);
    document.addEventListener('keydown', (event) => {
      if (event.code !== 'Space' || event.ctrlKey || event.altKey || event.metaKey) return;
      event.preventDefault();  // no scrolling, and no click on a focused button
      if (!event.repeat) toggle();
    });
    document.addEventListener('keyup', (event) => {
      if (event.code === 'Space') event.preventDefault();
    });
    window.addEventListener('resize', () => {
      drawWaveform();
      drawRoll();
    });

    if (typeof WebAssembly !== 'object' || typeof WebAssembly.instantiate !== 'function') {
      ui.progress.hidden = true;
      ui.status.textContent = 'No song: this browser cannot render it.';
      showMessage('This browser has no WebAssembly, which renders the song. ' +
                  'Open the page in a browser with WebAssembly enabled.');
      return;
    }
    if (typeof Worker !== 'function') {
      ui.progress.hidden = true;
      ui.status.textContent = 'No song: this browser cannot render it.';
      showMessage('This browser has no Web Workers, in which the song is rendered.');
      return;
    }
    if (!AudioContextClass) {
      standingNotice = 'This browser has no Web Audio, so the song cannot be played here; ' +
                       'it is still rendered, and its hash shown.';
    }
    render();
  }

  start();
})();
