// The web player in a real headless browser, served from the loopback address
// as a user would get it: the render and its hash, the samples that reach Web
// Audio, the controls, and what the page says when something is missing.
//
// Environment: WAVE_SITE_DIR (the built page), WAVE_GOLDEN (the pinned hash
// file), WAVE_SCREENSHOT (where to save a picture of the page while it plays),
// WAVE_ARTEFACTS (a folder for the pictures of the page on each screen size).
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const crypto = require('node:crypto');
const { execFileSync } = require('node:child_process');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { serveSite } = require('./site_server.js');
const { AxeBuilder } = require('@axe-core/playwright');

const siteDir = process.env.WAVE_SITE_DIR;
const golden = fs.readFileSync(process.env.WAVE_GOLDEN, 'utf8').trim();
const screenshotPath = process.env.WAVE_SCREENSHOT;
const artefacts = process.env.WAVE_ARTEFACTS;
const kSampleRate = 44100;
const kSeconds = 180;
const kChromiumArgs = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                       '--disable-background-networking', '--disable-component-update', '--disable-sync'];

let browser;
let profile;
let pageUrl;
let site;  // the server: site.missing and site.garbled break files for a test

before(async () => {
  assert.match(golden, /^[0-9a-f]{64}$/, 'cannot read the pinned hash');
  site = await serveSite(siteDir);
  pageUrl = site.url;
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'wave-chromium-'));
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1100, height: 720 },
    args: kChromiumArgs,
  });
});

// The browser is given a while to close; a headless Chromium under load has
// been seen not to finish, which held the test up until its timeout. Then its
// processes, the ones using this test's profile, are ended.
after(async () => {
  const closed = await Promise.race([
    browser ? browser.close().then(() => true) : Promise.resolve(true),
    new Promise((resolve) => setTimeout(() => resolve(false), 30000).unref()),
  ]);
  if (!closed && profile) {
    console.log('# the browser did not close within 30 s; ending its processes');
    require('node:child_process').spawnSync('pkill', ['-KILL', '-f', profile]);
  }
  await site?.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

// Opens the page; `problems` collects console errors and uncaught exceptions.
async function openPage({ initScript } = {}) {
  const page = await browser.newPage();
  const problems = [];
  page.on('console', (message) => {
    if (message.type() === 'error') problems.push(`console: ${message.text()}`);
  });
  page.on('pageerror', (error) => problems.push(`uncaught: ${error.message}`));
  if (initScript) await page.addInitScript(initScript);
  await page.goto(pageUrl);
  return { page, problems };
}

async function waitForHash(page) {
  await page.waitForFunction(() => /^[0-9a-f]{64}$/.test(document.getElementById('hash').textContent),
                             null, { timeout: 60000 });
  return page.textContent('#hash');
}

async function waitForMessage(page) {
  await page.waitForSelector('#message:not([hidden])', { timeout: 60000 });
  return page.textContent('#message');
}

function parseTime(text) {  // "m:ss.s" to seconds
  const [minutes, seconds] = text.split(':');
  return Number(minutes) * 60 + Number(seconds);
}

async function shownTimes(page) {
  const [now, total] = (await page.textContent('#time')).split(' / ');
  return { now: parseTime(now), total: parseTime(total) };
}

// An AudioWorklet tap on the page's output bus: it keeps every block it sees,
// with the frame at which the block plays, until it is asked for them.
const kTapProcessor = `
class WaveTap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.blocks = [];
    this.port.onmessage = () => {
      this.port.postMessage(this.blocks);
      this.blocks = [];
    };
  }
  process(inputs) {
    const input = inputs[0];
    const silence = new Float32Array(128);
    this.blocks.push({
      frame: currentFrame,
      channels: input.length,
      left: input.length > 0 ? input[0].slice() : silence,
      right: input.length > 1 ? input[1].slice() : silence,  // silence comes as one channel
    });
    return true;
  }
}
registerProcessor('wave-tap', WaveTap);`;

async function installTap(page) {
  await page.evaluate(async (code) => {
    const player = window.wavePlayer;
    const url = URL.createObjectURL(new Blob([code], { type: 'text/javascript' }));
    await player.context.audioWorklet.addModule(url);
    const node = new AudioWorkletNode(player.context, 'wave-tap', { numberOfOutputs: 0 });
    player.bus.connect(node);
    const tap = { node, blocks: [] };
    // Everything the tap has seen so far, joined: left[i] and right[i] play at frame first + i.
    tap.take = () => new Promise((resolve) => {
      node.port.onmessage = (event) => {
        const blocks = event.data;
        // Frames the tap did not see (the graph may skip it while it starts) stay NaN,
        // which equals no sample and counts as sound.
        const first = blocks.length ? blocks[0].frame : 0;
        const frames = blocks.length ? blocks[blocks.length - 1].frame + 128 - first : 0;
        const left = new Float32Array(frames).fill(NaN);
        const right = new Float32Array(frames).fill(NaN);
        for (const block of blocks) {
          left.set(block.left, block.frame - first);
          right.set(block.right, block.frame - first);
        }
        resolve({ first, left, right, clicks: tap.clicks });
      };
      node.port.postMessage('take');
    });
    // Where, after the tap's frame `after`, the song's samples from its frame
    // `from` begin; whether only silence came between, and whether a second
    // of exact samples follows.
    tap.locate = (taken, from, after) => {
      const matches = (start, count) => {
        for (let i = 0; i < count; i++) {
          if (taken.left[start + i] !== player.pcm[2 * (from + i)] / 32768 ||
              taken.right[start + i] !== player.pcm[2 * (from + i) + 1] / 32768) return false;
        }
        return true;
      };
      let start = Math.max(0, after - 128);
      while (start < taken.left.length - 44100 && !matches(start, 256)) start++;
      const found = start < taken.left.length - 44100;
      let silentBefore = true;
      for (let i = Math.max(0, after); i < start; i++) {
        if (taken.left[i] !== 0 || taken.right[i] !== 0) silentBefore = false;
      }
      return { found, delay: (start - after) / player.sampleRate, silentBefore,
               exactSecond: found && matches(start, 44100) };
    };
    // The context frame of each click on these, taken before the page handles it.
    tap.clicks = {};
    for (const id of ['play', 'stop', 'waveform', 'roll']) {
      document.getElementById(id).addEventListener('click', () => {
        (tap.clicks[id] ||= []).push(Math.round(player.context.currentTime * player.context.sampleRate));
      }, { capture: true });
    }
    window.waveTap = tap;
  }, kTapProcessor);
}

// Where playback is by the audio clock, against the shown time and the playhead.
async function checkPlayhead(page) {
  const state = await page.evaluate(() => {
    const player = window.wavePlayer;
    const box = document.getElementById('waveform').getBoundingClientRect();
    const head = document.getElementById('playhead').getBoundingClientRect();
    return {
      clock: player.offset + Math.max(0, player.context.currentTime - player.startedAt),
      shown: document.getElementById('time').textContent.split(' / ')[0],
      headX: head.left + head.width / 2 - box.left,
      width: box.width,
    };
  });
  const { clock, shown, headX, width } = state;
  assert.ok(Math.abs(parseTime(shown) - clock) < 0.25, `shows ${shown} at ${clock.toFixed(2)} s of audio`);
  assert.ok(Math.abs(headX - clock / kSeconds * width) < 2,
            `the playhead is at ${(headX / width * kSeconds).toFixed(2)} s at ${clock.toFixed(2)} s`);
  return state;
}

test('renders in a worker with progress, shows the pinned hash, and renders again to the same bytes',
     async (t) => {
  // Samples the main thread's responsiveness and the progress bar while the page renders.
  const probe = () => {
    window.probe = { longestGap: 0, progress: [] };
    let last = performance.now();
    const timer = setInterval(() => {
      const now = performance.now();
      if (document.getElementById('status')?.textContent.startsWith('Rendering')) {
        window.probe.longestGap = Math.max(window.probe.longestGap, now - last);
      }
      last = now;
      // The part of the bar drawn as done.
      const bar = document.getElementById('render-progress');
      const width = bar?.getBoundingClientRect().width;
      if (width > 0) window.probe.progress.push(bar.firstElementChild.getBoundingClientRect().width / width);
      if (/^[0-9a-f]{64}$/.test(document.getElementById('hash')?.textContent)) clearInterval(timer);
    }, 5);
  };
  const { page, problems } = await openPage({ initScript: probe });
  assert.equal(await waitForHash(page), golden, 'the page shows another hash than the pinned one');
  assert.match(await page.textContent('.hash h2'), /SHA-256 of the 16-bit PCM/);
  const firstStatus = await page.textContent('#status');
  assert.match(firstStatus, /^Rendered in \d+\.\d\d s\.$/);

  const { longestGap, progress } = await page.evaluate(() => window.probe);
  assert.ok(progress.some((value) => value > 0 && value < 1), `no progress shown: ${progress}`);
  // A render on the page's own thread would hold it for the whole render (over 0.5 s).
  assert.ok(longestGap < 400, `the page froze for ${longestGap.toFixed(0)} ms while rendering`);

  // The samples the page holds are the ones hashed, and the waveform is drawn.
  const state = await page.evaluate(async () => {
    const player = window.wavePlayer;
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', player.pcm));
    const canvas = document.getElementById('waveform-canvas');
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    const litColumns = new Set();
    for (let i = 3; i < pixels.length; i += 4) {
      if (pixels[i] > 0) litColumns.add(((i - 3) / 4) % canvas.width);
    }
    return {
      hash: Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join(''),
      bytes: player.pcm.byteLength,
      width: canvas.width,
      litColumns: litColumns.size,
      context: player.context,
      played: document.getElementById('play').disabled,
    };
  });
  assert.equal(state.hash, golden, 'the PCM the page plays is not the pinned one');
  assert.equal(state.bytes, 31752000);
  assert.equal(state.litColumns, state.width, 'the waveform does not span the canvas');
  assert.equal(state.context, null, 'an audio context was made before the user asked for sound');
  assert.equal(state.played, false, 'Play is not enabled after the render');
  assert.deepEqual(await shownTimes(page), { now: 0, total: kSeconds });

  await page.click('#render-again');
  await page.waitForFunction(() => /\(render 2\)/.test(document.getElementById('status').textContent),
                             null, { timeout: 60000 });
  assert.equal(await page.textContent('#hash'), golden, 'a second render gave other bytes');
  t.diagnostic(`${firstStatus} ${await page.textContent('#status')}`);
  assert.match(await page.textContent('#hash-note'), /Render 2 gave the same bytes/);
  assert.ok(await page.isHidden('#message'), await page.textContent('#message'));
  const secondHash = await page.evaluate(async () => {
    const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', window.wavePlayer.pcm));
    return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
  });
  assert.equal(secondHash, golden, 'the PCM of the second render is not the pinned one');
  assert.deepEqual(problems, []);
  await page.close();
});

test('Play starts the clock and plays the exact samples from the start; Stop silences within 100 ms',
     async () => {
  const { page, problems } = await openPage();
  await waitForHash(page);
  await page.click('#play');  // a user's click: the page has no autoplay exemption
  await page.waitForFunction(() => window.wavePlayer.context?.state === 'running');
  await installTap(page);
  await page.waitForTimeout(500);
  await page.click('#stop');
  await page.waitForTimeout(500);
  assert.deepEqual(await shownTimes(page), { now: 0, total: kSeconds }, 'Stop goes back to the start');
  await page.click('#play');

  // The playhead and the shown time follow the audio clock.
  const follow = [];
  for (const wait of [2000, 2000]) {
    await page.waitForTimeout(wait);
    follow.push(await checkPlayhead(page));
  }
  assert.ok(follow[1].clock - follow[0].clock > 1.5, 'the audio clock does not advance');
  if (screenshotPath) await page.screenshot({ path: screenshotPath });

  await page.waitForTimeout(6800);  // over 10 s of sound in all
  await page.click('#stop');
  await page.waitForTimeout(400);
  const result = await page.evaluate(async () => {
    const player = window.wavePlayer;
    const tap = await window.waveTap.take();
    const [firstStop, lastStop] = tap.clicks.stop;
    const [play] = tap.clicks.play;  // the tap came after the first Play
    const at = (frame) => frame - tap.first;  // the tap's index of a context frame
    const sounds = (i) => tap.left[i] !== 0 || tap.right[i] !== 0;
    const soundsBetween = (from, to) => {
      for (let i = Math.max(0, from); i < Math.min(to, tap.left.length); i++) if (sounds(i)) return i;
      return -1;
    };
    const rate = player.context.sampleRate;
    const tapFirst = soundsBetween(at(play), tap.left.length);
    // Exactness: from the context frame where the last Play started the song's
    // frame 0, the tap holds pcm / 32768. A quantum the graph did not show the
    // tap (NaN) cannot be compared; the rest must be enough.
    const start = at(Math.round(player.startedAt * rate));
    let compared = 0;
    let mismatch = null;
    for (let i = Math.max(0, start); i < at(lastStop); i++) {
      if (Number.isNaN(tap.left[i])) continue;
      const frame = i - start;
      if (tap.left[i] !== player.pcm[2 * frame] / 32768 ||
          tap.right[i] !== player.pcm[2 * frame + 1] / 32768) {
        mismatch = { frame, left: tap.left[i], right: tap.right[i],
                     expected: [player.pcm[2 * frame], player.pcm[2 * frame + 1]] };
        break;
      }
      compared++;
    }
    return {
      rate,
      startDelay: (tapFirst - at(play)) / rate,
      soundBeforeStop: soundsBetween(at(firstStop) - rate / 4, at(firstStop)) >= 0,
      soundAfterStop: soundsBetween(at(firstStop) + rate / 10, at(play)),
      soundAfterLastStop: soundsBetween(at(lastStop) + rate / 10, tap.left.length),
      tapAfterLastStop: tap.left.length - (at(lastStop) + rate / 10),
      comparedSeconds: compared / rate,
      mismatch,
    };
  });
  assert.equal(result.rate, kSampleRate, 'the context does not run at the song\'s rate');
  assert.ok(result.startDelay >= 0 && result.startDelay < 0.1, `sound began ${result.startDelay} s after Play`);
  assert.equal(result.mismatch, null, `a sample differs: ${JSON.stringify(result.mismatch)}`);
  assert.ok(result.comparedSeconds >= 10, `only ${result.comparedSeconds} s compared`);
  assert.ok(result.soundBeforeStop, 'no sound before the first Stop');
  assert.equal(result.soundAfterStop, -1, 'sound more than 100 ms after Stop');
  assert.ok(result.tapAfterLastStop > 0, 'the tap ended too soon to see the last Stop');
  assert.equal(result.soundAfterLastStop, -1, 'sound more than 100 ms after the last Stop');
  assert.deepEqual(problems, []);
  await page.close();
});

test('Space toggles playback, also with a button focused; a click on the waveform plays from there',
     async () => {
  const { page, problems } = await openPage();
  await waitForHash(page);
  const isPlaying = () => page.evaluate(() => document.body.classList.contains('playing'));

  await page.keyboard.press('Space');
  assert.equal(await isPlaying(), true, 'Space did not start playback');
  await page.waitForFunction(() => window.wavePlayer.context?.state === 'running');
  await page.keyboard.press('Space');
  assert.equal(await isPlaying(), false, 'Space did not stop playback');
  for (const button of ['#play', '#stop', '#render-again']) {
    await page.focus(button);
    await page.keyboard.press('Space');
    assert.equal(await isPlaying(), true, `Space on a focused ${button} did not toggle once`);
    await page.keyboard.press('Space');
    assert.equal(await isPlaying(), false, `Space on a focused ${button} did not toggle back`);
  }
  assert.doesNotMatch(await page.textContent('#status'), /Rendering|render 2/,
                      'Space on a focused Render again rendered again');

  // A click about a quarter into the waveform plays from there, sample for sample.
  const clickedAt = 0.2537;  // not on a whole frame
  await installTap(page);
  const box = await page.locator('#waveform').boundingBox();
  await page.mouse.click(box.x + box.width * clickedAt, box.y + box.height / 2);
  assert.equal(await isPlaying(), true, 'a click on the waveform did not start playback');
  await page.waitForTimeout(1200);
  const shown = (await shownTimes(page)).now;
  const clickedSeconds = clickedAt * kSeconds;
  assert.ok(shown > clickedSeconds + 0.5 && shown < clickedSeconds + 2.5,
            `shows ${shown} s a second after a click at ${clickedSeconds} s`);
  const seek = await page.evaluate(async () => {
    const player = window.wavePlayer;
    const tap = await window.waveTap.take();
    const from = Math.round(player.offset * player.sampleRate);
    return { from, ...window.waveTap.locate(tap, from, tap.clicks.waveform[0] - tap.first) };
  });
  assert.ok(Math.abs(seek.from / kSampleRate - clickedSeconds) < kSeconds / box.width,
            `a click at ${clickedSeconds} s played from ${seek.from / kSampleRate} s`);
  assert.ok(seek.found, 'the samples after the seek are not the song\'s from the clicked point');
  assert.ok(seek.delay >= 0 && seek.delay < 0.1, `the seek took ${seek.delay} s`);
  assert.ok(seek.silentBefore, 'something else sounded between the click and the seeked sound');
  assert.ok(seek.exactSecond, 'the second after the seek is not the exact samples');

  // A click while playing moves playback there.
  await page.mouse.click(box.x + box.width * 3 / 4, box.y + box.height / 2);
  await page.waitForTimeout(300);
  const moved = (await checkPlayhead(page)).clock;
  assert.ok(moved > 134.5 && moved < 136.5, `at ${moved} s after a click at 135 s while playing`);
  await page.click('#stop');
  assert.equal(await isPlaying(), false);
  assert.deepEqual(problems, []);
  await page.close();
});

const kFailures = [
  {
    name: 'without WebAssembly',
    initScript: () => { delete window.WebAssembly; },
    message: /has no WebAssembly/,
    renders: false,
  },
  {
    name: 'without Web Audio',
    initScript: () => { delete window.AudioContext; delete window.webkitAudioContext; },
    message: /has no Web Audio, so the song cannot be played/,
    renders: true,
  },
  {
    name: 'with the module missing',
    missing: ['/wave_web.wasm'],
    message: /^The render failed: cannot load wave_web\.wasm: HTTP 404/,
    renders: false,
  },
  {
    name: 'with a module that is not WebAssembly',
    garbled: ['/wave_web.wasm'],
    message: /^The render failed: wave_web\.wasm does not start: CompileError/,
    renders: false,
  },
  {
    name: 'with the worker missing',
    missing: ['/render-worker.js'],
    message: /^The render failed: .*render-worker\.js/,
    renders: false,
  },
];

for (const failure of kFailures) {
  test(`says what is wrong ${failure.name}`, async () => {
    for (const name of failure.missing || []) site.missing.add(name);
    for (const name of failure.garbled || []) site.garbled.add(name);
    try {
      const { page, problems } = await openPage({ initScript: failure.initScript });
      if (failure.renders) {
        assert.equal(await waitForHash(page), golden);
      }
      assert.match(await waitForMessage(page), failure.message);
      assert.equal(await page.isDisabled('#play'), true, 'Play is offered');
      assert.equal(await page.isDisabled('#stop'), true, 'Stop is offered');
      if (!failure.renders) {
        assert.equal(await page.textContent('#hash'), '—', 'a hash is shown without a render');
      }
      assert.deepEqual(problems.filter((p) => p.startsWith('uncaught')), []);
      await page.close();
    } finally {
      site.missing.clear();
      site.garbled.clear();
    }
  });
}

// Screens from a small phone to a desktop; the first three are touch screens.
const kScreens = [
  { width: 320, height: 640, touch: true },
  { width: 390, height: 844, touch: true },
  { width: 768, height: 1024, touch: true },
  { width: 1280, height: 800, touch: false },
];

test('fits every screen: no sideways scroll, every control whole and in view, finger-sized, hints for the device',
     async () => {
  const phoneBrowser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args: kChromiumArgs });
  try {
    for (const screen of kScreens) {
      const name = `${screen.width}x${screen.height}`;
      const context = await phoneBrowser.newContext({
        viewport: { width: screen.width, height: screen.height },
        isMobile: screen.touch, hasTouch: screen.touch, deviceScaleFactor: screen.touch ? 2 : 1,
      });
      const page = await context.newPage();
      const problems = [];
      page.on('pageerror', (error) => problems.push(error.message));
      await page.goto(pageUrl);
      await waitForHash(page);
      const layout = await page.evaluate(() => {
        const lineCount = (element) => {  // the lines its text takes
          const range = document.createRange();
          range.selectNodeContents(element);
          return new Set(Array.from(range.getClientRects(), (r) => Math.round(r.top))).size;
        };
        const controls = Array.from(document.querySelectorAll(
          'button, a, [role="slider"], #roll, #time, #render-progress, #status, pre, #hash, .hint, h1'));
        return {
          viewport: window.innerWidth,
          documentWidth: document.documentElement.scrollWidth,
          controls: controls.filter((element) => element.getClientRects().length > 0).map((element) => {
            const box = element.getBoundingClientRect();
            return {
              name: element.id || element.className || element.tagName,
              tag: element.tagName,
              target: element.matches('button, a, [role="slider"]'),
              left: box.left, right: box.right, width: box.width, height: box.height,
              lines: element.matches('button, a, #time') ? lineCount(element) : 1,
              clipped: element.matches('button, a, #time') && element.scrollWidth > element.clientWidth + 1,
            };
          }),
          hint: document.querySelector('.hint').innerText,
          touch: matchMedia('(pointer: coarse)').matches,
        };
      });
      if (artefacts) {
        // The whole page: a viewport as tall as the page, since Chromium's full-page
        // capture drops the touch emulation and so shows the desktop's hints.
        const height = await page.evaluate(() => document.documentElement.scrollHeight);
        await page.setViewportSize({ width: screen.width, height });
        await page.screenshot({ path: path.join(artefacts, `web-layout-${name}.png`) });
      }
      // Against the screen's own width: a phone zooms out to a page wider than
      // itself, and then its window's inner width grows with the page.
      assert.equal(layout.viewport, screen.width, `${name}: the page is zoomed out to ${layout.viewport} px`);
      assert.equal(layout.documentWidth, screen.width, `${name}: the page is wider than the screen`);
      for (const c of layout.controls) {
        assert.ok(c.left >= 0 && c.right <= screen.width + 0.5,
                  `${name}: ${c.name} spans ${c.left.toFixed(0)}..${c.right.toFixed(0)} px`);
        assert.equal(c.lines, 1, `${name}: ${c.name} breaks onto ${c.lines} lines`);
        assert.equal(c.clipped, false, `${name}: ${c.name} is cut off`);
        if (c.target) {
          assert.ok(c.width >= 44 && c.height >= 44,
                    `${name}: ${c.name} is ${c.width.toFixed(0)}x${c.height.toFixed(0)} px, under 44 px`);
        }
      }
      assert.equal(layout.touch, screen.touch, `${name}: the emulated pointer is not the intended one`);
      if (screen.touch) {
        assert.doesNotMatch(layout.hint, /Space|arrow|key/i, `${name}: a touch screen is told of keys`);
        assert.match(layout.hint, /Tap the waveform/);
      } else {
        assert.match(layout.hint, /Space plays and pauses/);
      }
      assert.deepEqual(problems, []);
      await context.close();
    }
  } finally {
    await phoneBrowser.close();
  }
});

test('Play and Space pause and resume at the same sample; the button says Pause while playing; Stop goes to the start',
     async () => {
  const { page, problems } = await openPage();
  await waitForHash(page);
  assert.equal(await page.textContent('#play'), '▶ Play');
  await page.click('#play');
  await page.waitForFunction(() => window.wavePlayer.context?.state === 'running');
  assert.equal(await page.textContent('#play'), '❚❚ Pause', 'the button does not offer Pause while playing');
  await installTap(page);
  await page.waitForTimeout(1500);

  for (const [how, press] of [['the button', () => page.click('#play')], ['Space', () => page.keyboard.press('Space')]]) {
    await press();  // pause
    assert.equal(await page.textContent('#play'), '▶ Play', `${how} did not pause`);
    const paused = await page.evaluate(() => window.wavePlayer.offset);
    assert.ok(paused > 1, `${how} paused at ${paused} s`);
    assert.ok(Number.isInteger(Math.round(paused * kSampleRate * 1e6) / 1e6), `paused between frames, at ${paused} s`);
    await page.waitForTimeout(600);
    assert.equal((await shownTimes(page)).now, Math.floor(paused * 10) / 10, `the time moved while paused by ${how}`);
    await page.evaluate(() => window.waveTap.take());  // forget what came before
    await press();  // resume
    assert.equal(await page.textContent('#play'), '❚❚ Pause', `${how} did not resume`);
    await page.waitForTimeout(1600);
    const resumed = await page.evaluate(async (pausedAt) => {
      const player = window.wavePlayer;
      const tap = await window.waveTap.take();
      const from = Math.round(pausedAt * player.sampleRate);
      return { offset: player.offset, ...window.waveTap.locate(tap, from, 0) };
    }, paused);
    assert.equal(resumed.offset, paused, `${how} resumed from ${resumed.offset} s, not ${paused} s`);
    assert.ok(resumed.found && resumed.exactSecond, `after ${how}, the sound is not the song from ${paused} s`);
    assert.ok(resumed.silentBefore, `something else sounded before the resumed sound (${how})`);
  }

  await page.click('#stop');
  assert.equal(await page.textContent('#play'), '▶ Play');
  assert.deepEqual(await shownTimes(page), { now: 0, total: kSeconds }, 'Stop does not go back to the start');
  await page.keyboard.press('Space');
  await page.waitForTimeout(300);
  assert.ok((await shownTimes(page)).now < 1, 'after Stop, Space does not play from the start');
  await page.click('#stop');
  assert.deepEqual(problems, []);
  await page.close();
});

// Keys on the focused waveform, from where the one before left it (paused).
const kSliderKeys = [
  ['End', 180, '3 minutes of 3 minutes'],
  ['Home', 0, '0 seconds of 3 minutes'],
  ['ArrowRight', 5, '5 seconds of 3 minutes'],
  ['ArrowUp', 10, '10 seconds of 3 minutes'],
  ['PageUp', 40, '40 seconds of 3 minutes'],
  ['PageUp', 70, '1 minute 10 seconds of 3 minutes'],
  ['ArrowLeft', 65, '1 minute 5 seconds of 3 minutes'],
  ['PageDown', 35, '35 seconds of 3 minutes'],
  ['ArrowDown', 30, '30 seconds of 3 minutes'],
  ['PageDown', 0, '0 seconds of 3 minutes'],
  ['ArrowLeft', 0, '0 seconds of 3 minutes'],
  ['PageUp', 30, '30 seconds of 3 minutes'],
];

test('the waveform is a slider: Tab reaches it, keys move by 5 s and 30 s and to either end, the time is spoken',
     async () => {
  const { page, problems } = await openPage();
  await waitForHash(page);
  const focused = [];
  for (let i = 0; i < 10 && focused.at(-1) !== 'waveform'; i++) {
    await page.keyboard.press('Tab');
    focused.push(await page.evaluate(() => document.activeElement.id || document.activeElement.tagName));
  }
  assert.equal(focused.at(-1), 'waveform', `Tab went through ${focused.join(', ')}`);
  assert.equal(await page.getAttribute('#waveform', 'role'), 'slider');

  for (const [key, seconds, spoken] of kSliderKeys) {
    await page.keyboard.press(key);
    const state = await page.evaluate(() => ({
      offset: window.wavePlayer.offset,
      now: Number(document.getElementById('waveform').getAttribute('aria-valuenow')),
      text: document.getElementById('waveform').getAttribute('aria-valuetext'),
    }));
    assert.deepEqual(state, { offset: seconds, now: seconds, text: spoken }, `after ${key}`);
  }
  assert.equal(await page.evaluate(() => document.body.classList.contains('playing')), false,
               'the keys started playback');

  // While playing, a key moves playback and it goes on.
  await page.keyboard.press('Space');
  await page.waitForFunction(() => window.wavePlayer.context?.state === 'running');
  await page.waitForTimeout(500);
  await page.keyboard.press('PageUp');
  await page.waitForTimeout(300);
  const moved = (await checkPlayhead(page)).clock;
  assert.ok(moved > 60.2 && moved < 62, `at ${moved} s after Page Up from about 30.5 s`);
  const text = await page.getAttribute('#waveform', 'aria-valuetext');
  assert.match(text, /^1 minute 0\.\d seconds of 3 minutes$|^1 minute 1(\.\d)? seconds? of 3 minutes$/);
  await page.click('#stop');
  assert.deepEqual(problems, []);
  await page.close();
});

test('no serious or critical accessibility violation under axe-core, while rendering and after', async () => {
  const { page, problems } = await openPage();
  const serious = async (when) => {
    const results = await new AxeBuilder({ page }).analyze();
    return results.violations.filter((v) => ['serious', 'critical'].includes(v.impact))
      .map((v) => `${when}: ${v.id} (${v.impact}): ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  };
  const found = await serious('at the start');
  await waitForHash(page);
  found.push(...await serious('after the render'));
  await page.click('#play');
  found.push(...await serious('while playing'));
  await page.click('#stop');
  assert.deepEqual(found, []);
  assert.deepEqual(problems, []);
  await page.close();
});

test('Download WAV saves the sound part as the native wave-render writes it, byte for byte', async (t) => {
  const expected = fs.readFileSync(process.env.WAVE_GOLDEN_WAV, 'utf8').trim();
  assert.match(expected, /^[0-9a-f]{64}$/, 'cannot read the pinned WAV hash');
  const native = process.env.WAVE_NATIVE_RENDER;
  if (native) {
    // The pin, checked against the native program itself.
    const wav = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'wave-native-')), 'song.wav');
    execFileSync(native, ['--quiet', wav]);
    const hash = crypto.createHash('sha256').update(fs.readFileSync(wav)).digest('hex');
    fs.rmSync(path.dirname(wav), { recursive: true });
    assert.equal(hash, expected, 'the native wave-render does not write the pinned song.wav');
  } else {
    t.diagnostic('no native wave-render given (WAVE_NATIVE_RENDER): compared with the pinned hash only');
  }

  const { page, problems } = await openPage();
  await waitForHash(page);
  const saved = [];
  for (let round = 1; round <= 2; round++) {
    const [download] = await Promise.all([page.waitForEvent('download'), page.click('#download')]);
    assert.match(download.suggestedFilename(), /\.wav$/);
    const file = await download.path();
    saved.push({
      hash: crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex'),
      bytes: fs.statSync(file).size,
    });
    if (round === 1) {
      // While it renders again, nothing is offered; afterwards the new render is.
      await page.click('#render-again');
      assert.equal(await page.getAttribute('#download', 'href'), null, 'a download is offered while rendering');
      assert.equal(await page.getAttribute('#download', 'aria-disabled'), 'true');
      await page.waitForFunction(() => /\(render 2\)/.test(document.getElementById('status').textContent),
                                 null, { timeout: 60000 });
    }
  }
  for (const file of saved) {
    assert.equal(file.hash, expected, `the page's WAV (${file.bytes} bytes) is not wave-render's song.wav`);
  }
  assert.ok(saved[0].bytes < 44 + 31752000, 'the trailing silence was kept');
  assert.deepEqual(problems, []);
  await page.close();
});

test('the piano roll draws every note in its track\'s colour at its time and pitch, follows playback, and a click on a note plays from its start',
     async () => {
  const { page, problems } = await openPage();
  await waitForHash(page);
  // Every note's box on the roll, as the page lays it out, and the colour under its middle.
  const roll = await page.evaluate(() => {
    const { notes, stepFrames, sampleRate, seconds } = window.wavePlayer.song;
    const canvas = document.getElementById('roll-canvas');
    const box = canvas.getBoundingClientRect();
    const scale = canvas.width / box.width;
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let low = Infinity;
    let high = -Infinity;
    for (let i = 0; i < notes.length; i += 4) {
      low = Math.min(low, notes[i + 1]);
      high = Math.max(high, notes[i + 1]);
    }
    const rowHeight = box.height / (high - low + 1);
    const colours = Array.from({ length: 7 }, (_, track) => {
      const probe = document.createElement('div');
      probe.style.color = getComputedStyle(document.documentElement).getPropertyValue(`--track-${track}`);
      document.body.append(probe);
      const rgb = getComputedStyle(probe).color.match(/\d+/g).map(Number);
      probe.remove();
      return rgb;
    });
    const result = [];
    for (let i = 0; i < notes.length; i += 4) {
      const xOf = (step) => step * stepFrames / sampleRate / seconds * box.width;
      const x = xOf(notes[i + 2] + notes[i + 3] / 2);
      const y = (high - notes[i + 1] + 0.5) * rowHeight;
      // The colours on the note's row of pixels from its start to its end, a pixel either side.
      const row = Math.floor(y * scale) * canvas.width;
      const seen = new Set();
      for (let px = Math.floor(xOf(notes[i + 2]) * scale) - 1; px <= Math.ceil(xOf(notes[i + 2] + notes[i + 3]) * scale); px++) {
        const at = 4 * (row + px);
        if (pixels[at + 3] === 255) seen.add(Array.from(pixels.slice(at, at + 3)).join());
      }
      result.push({
        track: notes[i], note: notes[i + 1], firstStep: notes[i + 2], steps: notes[i + 3],
        x: box.left + x, y: box.top + y, seen: [...seen],
      });
    }
    return { notes: result, colours, count: notes.length / 4, stepSeconds: stepFrames / sampleRate };
  });
  assert.equal(new Set(roll.notes.map((n) => n.track)).size, 7, 'not every track has notes');
  // A note is drawn in its own track's colour, unless a later track's note lies over it.
  const covered = (n) => roll.notes.some((m) => m.track > n.track && m.note === n.note &&
                                          Math.abs(m.x - n.x) < 2);
  const wrong = roll.notes.filter((n) => !covered(n) && !n.seen.includes(roll.colours[n.track].join()));
  assert.deepEqual(wrong.slice(0, 3), [], `${wrong.length} of ${roll.count} notes are not drawn in their colour`);

  // The lead's first highest note: clicking it plays from its note-on.
  const lead = roll.notes.filter((n) => n.track === 2);
  const top = lead.reduce((best, n) => (n.note > best.note ? n : best));
  await page.mouse.click(top.x, top.y);
  assert.equal(await page.evaluate(() => document.body.classList.contains('playing')), true,
               'a click on a note did not play');
  assert.equal(await page.evaluate(() => window.wavePlayer.offset), top.firstStep * roll.stepSeconds,
               'the click did not play from the note\'s start');
  await page.waitForTimeout(1000);
  const heads = await page.evaluate(() => ['playhead', 'roll-playhead'].map(
    (id) => document.getElementById(id).getBoundingClientRect().left));
  assert.ok(Math.abs(heads[0] - heads[1]) < 1, `the roll's playhead is at ${heads[1]}, the waveform's at ${heads[0]}`);
  assert.ok(heads[1] > top.x + 2, 'the roll\'s playhead did not move on from the note');
  await page.click('#stop');
  assert.deepEqual(problems, []);
  await page.close();
});

test('served cross-origin isolated, the page renders on two threads to the pinned hash, with progress, and plays',
     async () => {
  const isolated = await serveSite(siteDir, { isolated: true });
  try {
    const page = await browser.newPage();
    const problems = [];
    page.on('pageerror', (error) => problems.push(error.message));
    page.on('console', (message) => {
      if (message.type() === 'error') problems.push(message.text());
    });
    await page.goto(isolated.url);
    const seen = new Set();
    while (!/^[0-9a-f]{64}$/.test(await page.textContent('#hash'))) {
      seen.add(await page.getAttribute('#render-progress', 'aria-valuenow'));
      await page.waitForTimeout(10);
    }
    assert.equal(await page.textContent('#hash'), golden, 'two threads gave another hash than the pinned one');
    assert.equal(await page.evaluate(() => window.crossOriginIsolated), true);
    assert.match(await page.textContent('#status'), /^Rendered in \d+\.\d\d s on 2 threads\.$/);
    assert.ok([...seen].some((value) => value > 0 && value < 100), `no progress shown: ${[...seen]}`);
    await page.click('#play');
    await page.waitForFunction(() => window.wavePlayer.context?.state === 'running');
    await page.waitForTimeout(1200);
    assert.ok((await shownTimes(page)).now >= 0.5, 'playback does not go on');
    await page.click('#stop');
    assert.deepEqual(problems, []);
    await page.close();
  } finally {
    await isolated.close();
  }
});
