// Times one board against four flashed at once, in headless Chromium with
// the tests' stand-in for navigator.hid, each reply of the virtual
// bootloaders delayed as a USB link delays it, so that the time is the
// job's rather than start-up. Prints the medians and their ratio (the goal:
// four boards take at most 1.3 times as long as one).
//
//   node web/bench/boards.js [RUNS] [REPLY_DELAY_MS]     (after tools/build-web.sh)
'use strict';

const h = require('../test/harness');

const runs = Number(process.argv[2] || 5);
const replyDelayMs = Number(process.argv[3] || 2);
const program = h.sample('blinky.hex');

// The run's time as the page measured it, from Flash to the last board done.
async function timedRun(browser, server, boards) {
  const page = await h.openPage(browser, server, { hid: { chips: boards, replyDelayMs } });
  await page.click('#connect');
  await page.waitForFunction((count) => document.querySelectorAll('#boards li.board').length === count, boards);
  await h.addProgram(page, { name: 'blinky.hex', bytes: program });
  const status = await h.flashAndWait(page);
  await page.close();
  const seconds = /in (\d+\.\d{3}) s\./.exec(status);
  if (!/^(Flashed and verified|All \d+ boards flashed and verified)/.test(status) || !seconds) {
    throw new Error(`the run failed: ${status}`);
  }
  return Number(seconds[1]);
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

(async () => {
  const server = await h.startServer();
  const browser = await h.startBrowser();
  const times = { 1: [], 4: [] };
  try {
    for (let run = 0; run < runs; ++run) {
      for (const boards of [1, 4]) times[boards].push(await timedRun(browser, server, boards));
    }
  } finally {
    await browser.close();
    server.close();
  }
  const one = median(times[1]);
  const four = median(times[4]);
  console.log(`blinky.hex (7232 bytes, download and verify), ${replyDelayMs} ms per reply, ${runs} runs each`);
  console.log(`one board:   median ${one.toFixed(3)} s  (${times[1].map((t) => t.toFixed(3)).join(' ')})`);
  console.log(`four boards: median ${four.toFixed(3)} s  (${times[4].map((t) => t.toFixed(3)).join(' ')})`);
  console.log(`four / one: ${(four / one).toFixed(2)} (goal: at most 1.30)`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
