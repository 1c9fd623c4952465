// The web player in Debian's Firefox ESR, driven over WebDriver BiDi by
// puppeteer-core: the same hash as everywhere, a progress bar that shows the
// progress, and play, pause, stop and seek, the last served cross-origin
// isolated so that the render runs on two threads. Headless Firefox plays only through
// a sound server, so the test runs a PulseAudio of its own with a null sink.
//
// Environment: WAVE_SITE_DIR, WAVE_GOLDEN, WAVE_ARTEFACTS (see browser.test.js).
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');
const { serveSite } = require('./site_server.js');
const { readPng } = require('./png.js');

const golden = fs.readFileSync(process.env.WAVE_GOLDEN, 'utf8').trim();
const artefacts = process.env.WAVE_ARTEFACTS;
const kSampleRate = 44100;

let site;
let isolatedSite;  // with the headers that give the page shared memory
let browser;
let work;
let soundServer = null;

// A PulseAudio with a null sink, reachable only through the environment it returns.
async function startSoundServer() {
  fs.mkdirSync(path.join(work, 'pulse'), { mode: 0o700 });
  const socket = path.join(work, 'pulse', 'native');
  fs.writeFileSync(path.join(work, 'server.pa'),
                   `load-module module-null-sink sink_name=wave_sink rate=${kSampleRate} channels=2\n` +
                   `load-module module-native-protocol-unix auth-anonymous=1 socket=${socket}\n` +
                   'set-default-sink wave_sink\n');
  fs.writeFileSync(path.join(work, 'client.conf'), 'autospawn = no\n');
  const env = {
    ...process.env, HOME: work, XDG_RUNTIME_DIR: work, PULSE_RUNTIME_PATH: path.join(work, 'pulse'),
    PULSE_SERVER: `unix:${socket}`, PULSE_CLIENTCONFIG: path.join(work, 'client.conf'),
  };
  soundServer = spawn('pulseaudio', ['-n', '-F', path.join(work, 'server.pa'), '--daemonize=no',
                                     '--exit-idle-time=-1', '--use-pid-file=no'], { env, stdio: 'ignore' });
  for (let i = 0; i < 100 && !fs.existsSync(socket); i++) await new Promise((ok) => setTimeout(ok, 100));
  assert.ok(fs.existsSync(socket), 'PulseAudio did not start');
  return env;
}

before(async () => {
  assert.match(golden, /^[0-9a-f]{64}$/, 'cannot read the pinned hash');
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'wave-firefox-'));
  let env = process.env;
  try {
    execFileSync('pulseaudio', ['--version'], { stdio: 'ignore' });
    env = await startSoundServer();
  } catch (error) {
    if (error.code !== 'ENOENT') throw error;  // no PulseAudio: the playback test is skipped
  }
  site = await serveSite(process.env.WAVE_SITE_DIR);
  isolatedSite = await serveSite(process.env.WAVE_SITE_DIR, { isolated: true });
  browser = await puppeteer.launch({ browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true, env });
});

after(async () => {
  await browser?.close();
  await site?.close();
  await isolatedSite?.close();
  soundServer?.kill();
  if (work) fs.rmSync(work, { recursive: true, force: true });
});

async function openPage(from = site) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 720 });
  const problems = [];
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console: ${message.text()}`);
  });
  page.on('pageerror', (error) => problems.push(`uncaught: ${error.message}`));
  await page.goto(from.url);
  return { page, problems };
}

const hashShown = () => /^[0-9a-f]{64}$/.test(document.getElementById('hash').textContent);

// The bar's fraction as the page holds it, its box, and what is written beside it.
const barState = () => {
  const bar = document.getElementById('render-progress');
  const box = bar.getBoundingClientRect();
  return {
    fraction: Number(bar.getAttribute('aria-valuenow')) / 100,
    box: { x: box.x, y: box.y, width: box.width, height: box.height },
    status: document.getElementById('status').textContent,
    rendering: !bar.hidden,
  };
};

test('Firefox renders the pinned hash, its progress bar drawn as far as the render has come', async (t) => {
  const { page, problems } = await openPage();
  const samples = [];
  while (!(await page.evaluate(hashShown))) {
    const before = await page.evaluate(barState);
    if (!before.rendering || before.box.width === 0) continue;
    const { x, y, width, height } = before.box;
    const shot = readPng(await page.screenshot({ clip: { x, y, width, height } }));
    const after = await page.evaluate(barState);
    if (!after.rendering) continue;  // the render ended while the picture was taken
    // Along the bar's middle row: the pixels in the accent colour, and any near white.
    let lit = 0;
    let white = 0;
    for (let px = 0; px < shot.width; px++) {
      const [r, g, b] = shot.pixel(px, Math.floor(shot.height / 2));
      if (Math.abs(r - 92) < 24 && Math.abs(g - 200) < 24 && b > 230) lit++;
      if (r > 200 && g > 200 && b > 200) white++;
    }
    samples.push({ lit: lit / shot.width, white, from: before.fraction, to: after.fraction, status: after.status });
    if (samples.length === 1 && artefacts) await page.screenshot({ path: path.join(artefacts, 'web-firefox-rendering.png') });
  }
  t.diagnostic(`looked at the bar at ${samples.map((s) => `${(s.lit * 100).toFixed(0)}%`).join(', ')}`);
  assert.ok(samples.some((s) => s.status.startsWith('Rendering')), 'no look at the bar while rendering');
  for (const s of samples) {
    assert.equal(s.white, 0, `the bar is drawn white at ${s.from}: ${JSON.stringify(s)}`);
    assert.ok(s.lit >= s.from - 0.03 && s.lit <= s.to + 0.03,
              `the bar is drawn ${(s.lit * 100).toFixed(0)}% done at ${s.from}..${s.to}: ${s.status}`);
  }
  assert.equal(await page.evaluate(() => document.getElementById('hash').textContent), golden,
               'Firefox shows another hash than the pinned one');
  // The samples Web Audio is given are exactly the PCM / 32768.
  const exact = await page.evaluate(() => {
    const player = window.wavePlayer;
    for (let channel = 0; channel < 2; channel++) {
      const samples = player.audioBuffer.getChannelData(channel);
      for (let i = 0; i < samples.length; i++) {
        if (samples[i] !== player.pcm[2 * i + channel] / 32768) return `channel ${channel}, frame ${i}`;
      }
    }
    return 'all';
  });
  assert.equal(exact, 'all', 'a sample for Web Audio differs from the PCM');
  assert.deepEqual(problems, []);
  await page.close();
});

test('Firefox renders on two threads when isolated; plays, pauses and resumes, seeks by click and key, and stops at the start',
     async (t) => {
  const { page, problems } = await openPage(isolatedSite);
  await page.waitForFunction(hashShown, { timeout: 60000 });
  assert.equal(await page.evaluate(() => document.getElementById('hash').textContent), golden,
               'two threads in Firefox gave another hash than the pinned one');
  assert.match(await page.evaluate(() => document.getElementById('status').textContent), / on 2 threads\./);
  if (!soundServer) {
    t.skip('no PulseAudio to play through');
    await page.close();
    return;
  }
  const state = () => page.evaluate(() => ({
    offset: window.wavePlayer.offset,
    playing: document.body.classList.contains('playing'),
    label: document.getElementById('play').textContent,
    now: document.getElementById('time').textContent.split(' / ')[0],
    clock: window.wavePlayer.context ? window.wavePlayer.context.currentTime : 0,
  }));
  const seconds = (text) => Number(text.split(':')[0]) * 60 + Number(text.split(':')[1]);
  const wait = (ms) => new Promise((ok) => setTimeout(ok, ms));

  await page.click('#play');
  await page.waitForFunction(() => window.wavePlayer.context?.state === 'running', { timeout: 10000 });
  await wait(1200);
  let s = await state();
  assert.equal(s.label, '❚❚ Pause');
  assert.ok(seconds(s.now) >= 0.5, `the time shows ${s.now} after a second of play`);
  if (artefacts) await page.screenshot({ path: path.join(artefacts, 'web-firefox-playing.png') });

  await page.click('#play');
  const paused = await state();
  assert.equal(paused.label, '▶ Play', 'the button did not pause');
  assert.ok(paused.offset > 0.5 && Number.isInteger(Math.round(paused.offset * kSampleRate * 1e6) / 1e6),
            `paused at ${paused.offset} s`);
  await wait(500);
  assert.equal((await state()).now, paused.now, 'the time moved while paused');
  await page.keyboard.press(' ');
  await wait(800);
  s = await state();
  assert.equal(s.offset, paused.offset, 'Space did not resume where it paused');
  assert.ok(s.playing && seconds(s.now) > seconds(paused.now) + 0.3, `resumed, shows ${s.now}`);

  const box = await (await page.$('#waveform')).boundingBox();
  await page.mouse.click(box.x + box.width / 4, box.y + box.height / 2);
  s = await state();
  assert.ok(s.playing && Math.abs(s.offset - 45) < 180 / box.width, `a click at 45 s played from ${s.offset} s`);
  // Page Up moves 30 s on from where playback is: the click's place, a moment later.
  const clicked = s.offset;
  await page.focus('#waveform');
  await page.keyboard.press('PageUp');
  s = await state();
  assert.ok(s.playing && s.offset >= clicked + 30 && s.offset < clicked + 32,
            `Page Up went from ${clicked} s to ${s.offset} s`);
  await wait(600);
  assert.ok(seconds((await state()).now) > s.offset + 0.2, 'playback did not go on after Page Up');

  await page.click('#stop');
  s = await state();
  assert.deepEqual([s.playing, s.label, s.now, s.offset], [false, '▶ Play', '0:00.0', 0], 'Stop is not back at the start');
  assert.deepEqual(problems, []);
  await page.close();
});
