// The web player's render module under node: two renders in one instance must
// both give the pinned PCM, the second over garbage left where the first's
// sound was, and its progress must count every track once.
//
// usage: node node_render.js SITE/MODULE.js GOLDEN_HASH_FILE THREADS
// (THREADS: the threads the module renders on, 1 for wave_web, 2 for wave_web_threads)
'use strict';
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

async function main() {
  const [modulePath, goldenPath, threads] = process.argv.slice(2);
  const golden = fs.readFileSync(goldenPath, 'utf8').trim();
  assert.match(golden, /^[0-9a-f]{64}$/, `cannot read the pinned hash in ${goldenPath}`);

  const createWaveModule = require(path.resolve(modulePath));
  const progress = [];
  const wave = await createWaveModule({
    // The loader would fetch() the file path under node 18 and later.
    wasmBinary: fs.readFileSync(modulePath.replace(/\.js$/, '.wasm')),
    onRenderProgress: (done, total) => progress.push([done, total]),
  });
  assert.equal(wave._WebSampleRate(), 44100);
  assert.equal(wave._WebRenderThreads(), Number(threads), 'the module renders on other threads');
  const bytes = wave._WebPcmBytes();
  assert.equal(bytes, 31752000);

  checkNotes(wave);

  const hashes = [];
  for (let render = 1; render <= 2; render++) {
    progress.length = 0;
    const started = process.hrtime.bigint();
    const pcm = wave._WebRenderSong();
    const seconds = Number(process.hrtime.bigint() - started) / 1e9;
    const hash = crypto.createHash('sha256').update(wave.HEAPU8.subarray(pcm, pcm + bytes)).digest('hex');
    console.log(`render ${render}: ${seconds.toFixed(2)} s, sha256 ${hash}`);
    hashes.push(hash);
    // Garbage where this render's sound was: the next must not build on it.
    const samples = new Int16Array(wave.HEAPU8.buffer, pcm, bytes / 2);
    const sound = samples.findLastIndex((sample) => sample !== 0) + 1;
    wave.HEAPU8.fill(0x5a, pcm, pcm + 2 * sound);

    const total = progress[0][1];
    assert.equal(total, 28, 'four passes of seven tracks');
    assert.deepEqual(progress, Array.from({ length: total + 1 }, (_, i) => [i, total]),
      'progress counts every track once, in order');
  }
  assert.equal(hashes[0], golden, 'the first render is not the pinned PCM');
  assert.equal(hashes[1], golden, 'a second render in the same instance differs');
  process.exit(0);  // a module with threads keeps its helper alive
}

// The notes the module hands the page's piano roll, against what the song is
// known to be: a track's notes follow one another without overlap, each note
// lasts until the next note-on or rest, and the lines' shapes hold.
function checkNotes(wave) {
  assert.equal(wave._WebTrackCount(), 7);
  assert.equal(wave._WebStepFrames(), 5512);
  const count = wave._WebSongNoteCount();
  const words = new Int32Array(wave.HEAPU8.buffer, wave._WebSongNotes(), 4 * count);
  const notes = [];
  for (let i = 0; i < words.length; i += 4) {
    notes.push({ track: words[i], note: words[i + 1], first: words[i + 2], steps: words[i + 3] });
  }
  const byTrack = Array.from({ length: 7 }, (_, track) => notes.filter((n) => n.track === track));
  assert.deepEqual(notes, byTrack.flat(), 'the notes are not track by track');
  for (const [track, list] of byTrack.entries()) {
    for (const [i, n] of list.entries()) {
      assert.ok(n.note > 0 && n.note < 127 && n.steps >= 1 && n.first + n.steps <= 640,
                `track ${track}: ${JSON.stringify(n)}`);
      if (i > 0) {
        const before = list[i - 1];
        assert.ok(before.first + before.steps <= n.first, `track ${track}: notes overlap at step ${n.first}`);
      }
    }
  }
  const shape = (list) => ({
    count: list.length,
    notes: [...new Set(list.map((n) => n.note))].sort((a, b) => a - b),
    first: list[0].first,
    end: list.at(-1).first + list.at(-1).steps,
    lengths: [...new Set(list.map((n) => n.steps))].sort((a, b) => a - b),
  });
  // The lead: 111 note-ons from step 246 to the end, each held to the next.
  const lead = shape(byTrack[2]);
  assert.deepEqual([lead.count, lead.first, lead.end], [111, 246, 640]);
  assert.equal(byTrack[2].reduce((sum, n) => sum + n.steps, 0), 640 - 246, 'the lead has gaps');
  // The bass: the chord's root on every fourth step, held for four.
  assert.deepEqual(shape(byTrack[4]), { count: 160, notes: [42, 44, 46], first: 0, end: 640, lengths: [4] });
  // The drums: one note each; a strike lasts until the next.
  assert.deepEqual(shape(byTrack[0]).notes, [64]);
  assert.deepEqual(shape(byTrack[1]).notes, [40]);
  // The stabs: a rest opens every row, so no stab reaches into the next row.
  for (const track of [5, 6]) {
    assert.ok(byTrack[track].every((n) => Math.floor(n.first / 16) === Math.floor((n.first + n.steps - 1) / 16)),
              `a stab of track ${track} holds through a rest`);
  }
  const names = [];
  for (let track = 0; track < 7; track++) {
    const start = wave._WebTrackName(track);
    names.push(Buffer.from(wave.HEAPU8.subarray(start, wave.HEAPU8.indexOf(0, start))).toString());
  }
  assert.equal(new Set(names).size, 7, `the tracks' names are not seven: ${names}`);
  console.log(`notes: ${count} in 7 tracks (${names.join(', ')})`);
}

main().catch((error) => {
  console.error(`FAIL: ${error.message}`);
  process.exit(1);
});
