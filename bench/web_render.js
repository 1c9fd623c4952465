// Times the web player's render module under node: one render to warm up, then
// ROUNDS renders, each as the page's worker calls it (_WebRenderSong); prints the
// fastest in seconds and the hash of its PCM.
//
// usage: node web_render.js SITE/wave_web.js ROUNDS
'use strict';
const crypto = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

async function main() {
  const [modulePath, rounds] = [path.resolve(process.argv[2]), Number(process.argv[3] || 5)];
  const wave = await require(modulePath)({ wasmBinary: fs.readFileSync(modulePath.replace(/\.js$/, '.wasm')) });
  wave._WebRenderSong();
  let best = Infinity;
  let pcm = 0;
  for (let round = 0; round < rounds; round++) {
    const started = process.hrtime.bigint();
    pcm = wave._WebRenderSong();
    best = Math.min(best, Number(process.hrtime.bigint() - started) / 1e9);
  }
  const hash = crypto.createHash('sha256').update(wave.HEAPU8.subarray(pcm, pcm + wave._WebPcmBytes())).digest('hex');
  console.log(`${best.toFixed(3)} ${hash}`);
  process.exit(0);  // a module with threads keeps its helper alive
}

main().catch((error) => {
  console.error(`web_render.js: ${error.message}`);
  process.exit(1);
});
