// The page as an app: installable, and once loaded it starts and flashes
// with the network gone, the update it had fetched included.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, it } = require('node:test');
const h = require('./harness');

const example = path.join(__dirname, '../examples/blinky-lamp');
const configBin = fs.readFileSync(path.join(example, 'config.bin'));
const blinkyBin = h.sample('blinky.bin');  // blinky.hex's bytes, from 0x8000

let browser;
before(async () => {
  browser = await h.startBrowser();
});
after(async () => {
  await browser.close();
});

// Until the service worker serves the page and holds the update's files.
async function keptForOffline(page, url) {
  await page.evaluate(async (file) => {
    await navigator.serviceWorker.ready;
    const pause = () => new Promise((resolve) => setTimeout(resolve, 50));
    while (!navigator.serviceWorker.controller || !(await caches.match(file))) await pause();
  }, url);
}

it('is installable as an app, with no request failing and nothing refused', { timeout: 60000 }, async () => {
  const server = await h.startServer();
  const page = await h.openPage(browser, server);
  await page.evaluate(() => navigator.serviceWorker.ready);
  const cdp = await page.context().newCDPSession(page);
  const manifest = await cdp.send('Page.getAppManifest');
  assert.deepEqual(manifest.errors, []);
  // Test contexts are off the record, which alone keeps an app from installing.
  const { installabilityErrors } = await cdp.send('Page.getInstallabilityErrors');
  assert.deepEqual(installabilityErrors.filter((error) => error.errorId !== 'in-incognito'), []);
  assert.deepEqual(page.failures, []);
  await page.close();
  server.close();
});

it('reloads and flashes with the server stopped: the update it had fetched, into a virtual chip', { timeout: 120000 }, async () => {
  const server = await h.startServer();
  const page = await h.openPage(browser, server, {
    query: '?manifest=examples/blinky-lamp/manifest.json', hid: { granted: true } });
  await keptForOffline(page, 'examples/blinky-lamp/config.bin');
  server.close();
  server.closeAllConnections();
  assert.equal(await page.evaluate(() => fetch('nothing-kept').then(() => 'reached', () => 'offline')), 'offline');

  await page.reload();
  await page.waitForSelector('body[data-ready="true"]');
  assert.equal(await page.textContent('#product'), 'Blinky lamp');
  assert.match(await h.flashAndWait(page), /^Flashed and verified in/);
  const chip = await h.chipReport(page);
  assert.ok(chip.flash.equals(h.flashImage(1 << 20, [[0x8000, blinkyBin], [0x7E000, configBin]])));

  assert.deepEqual(page.errors, []);
  await page.close();
});
