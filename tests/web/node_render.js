// The web player's render module under node: two renders in one instance must
// both give the pinned PCM, and its progress must count every track once.
//
// usage: node node_render.js SITE/wave_web.js GOLDEN_HASH_FILE
'use strict';
const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

async function main() {
  const [modulePath, goldenPath] = process.argv.slice(2);
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
  const bytes = wave._WebPcmBytes();
  assert.equal(bytes, 31752000);

  const hashes = [];
  for (let render = 1; render <= 2; render++) {
    progress.length = 0;
    const started = process.hrtime.bigint();
    const pcm = wave._WebRenderSong();
    const seconds = Number(process.hrtime.bigint() - started) / 1e9;
    const hash = crypto.createHash('sha256').update(wave.HEAPU8.subarray(pcm, pcm + bytes)).digest('hex');
    console.log(`render ${render}: ${seconds.toFixed(2)} s, sha256 ${hash}`);
    hashes.push(hash);

    const total = progress[0][1];
    assert.equal(total, 28, 'four passes of seven tracks');
    assert.deepEqual(progress, Array.from({ length: total + 1 }, (_, i) => [i, total]),
      'progress counts every track once, in order');
  }
  assert.equal(hashes[0], golden, 'the first render is not the pinned PCM');
  assert.equal(hashes[1], golden, 'a second render in the same instance differs');
}

main().catch((error) => {
  console.error(`FAIL: ${error.message}`);
  process.exit(1);
});
