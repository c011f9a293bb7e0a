// A vendor's update page: index.html?manifest=URL flashes exactly the
// manifest's files, and refuses a manifest or file that is wrong, with a
// reason naming it, before any device is opened.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it } = require('node:test');
const h = require('./harness');

const example = path.join(__dirname, '../examples/blinky-lamp');
const blinkyHex = fs.readFileSync(path.join(example, 'blinky.hex'));
const configBin = fs.readFileSync(path.join(example, 'config.bin'));
const blinkyBin = h.sample('blinky.bin');  // blinky.hex's bytes, from 0x8000
const exactFlash = h.flashImage(1 << 20, [[0x8000, blinkyBin], [0x7E000, configBin]]);

let server;
let browser;
h.serveAndBrowse((started) => ({ server, browser } = started));

describe('the example update', () => {
  it('shows the product, the version and Update only, and flashes exactly its files', async () => {
    const page = await h.openPage(browser, server, { query: '?manifest=examples/blinky-lamp/manifest.json' });
    assert.equal(await page.textContent('#product'), 'Blinky lamp');
    assert.equal(await page.textContent('#version'), '1.0.0');
    assert.equal(await page.textContent('#flash'), 'Update');
    for (const id of ['programs', 'chip', 'virtual-chip-switch']) {
      assert.equal(await page.isVisible(`#${id}`), false, id);
    }
    await page.click('#connect');
    assert.match(await h.flashAndWait(page), /^Flashed and verified in/);
    const chip = await h.chipReport(page);
    assert.ok(chip.flash.equals(exactFlash), 'the flash holds exactly the two files');
    assert.deepEqual(page.errors, []);
    assert.deepEqual(page.failures, []);
    await page.close();
  });
});

describe('an update that cannot be used touches no device', () => {
  const sha = h.sha256;
  const program = (url, bytes, extra = {}) => ({ url, sha256: sha(bytes), ...extra });
  const manifest = (fields) => JSON.stringify({ product: 'Lamp', version: '2', flash_size_kb: 512, ...fields });
  const config = program('config.bin', configBin, { address: '7E000' });
  const cases = [
    { name: 'a file that is not the one described',
      files: { 'blinky.hex': Buffer.concat([blinkyHex, Buffer.from(':00000001FF\n')]) },
      manifest: manifest({ programs: [program('blinky.hex', blinkyHex), config] }),
      reasons: [`blinky.hex: the file\u2019s SHA-256 is ${sha(Buffer.concat([blinkyHex, Buffer.from(':00000001FF\n')]))}, ` +
                `but the manifest gives ${sha(blinkyHex)}. This is not the file the update describes, so it is not used.`] },
    { name: 'a missing file',
      manifest: manifest({ programs: [program('gone.hex', blinkyHex)] }),
      reasons: ['gone.hex: the file could not be downloaded (HTTP 404).'] },
    { name: 'a manifest that is no JSON',
      manifest: '{ "product": "Lamp", }',
      reasons: [/^m\.json: the manifest is not valid JSON \(.+\)\.$/] },
    { name: 'a manifest that is not there', manifestPath: 'nothing.json',
      reasons: ['nothing.json: the manifest could not be loaded (HTTP 404).'] },
    { name: 'programs that do not fit the chip named',
      manifest: manifest({ flash_size_kb: 256, programs: [program('blinky.hex', blinkyHex), config] }),
      reasons: [/config\.bin.*0x0007E000/, 'm.json: the update\u2019s programs do not fit the chip it names (256 KB of flash).'] },
  ];
  cases.forEach((row, index) => {
    it(row.name, async () => {
      const base = `/refused-${index}/`;
      server.files.set(`${base}blinky.hex`, blinkyHex);
      server.files.set(`${base}config.bin`, configBin);
      for (const [name, bytes] of Object.entries(row.files || {})) server.files.set(base + name, bytes);
      if (row.manifest) server.files.set(`${base}m.json`, Buffer.from(row.manifest));
      const manifestPath = row.manifestPath || 'm.json';
      const page = await h.openPage(browser, server, {
        query: `?manifest=${base.slice(1)}${manifestPath}`, hid: { granted: true } });
      assert.equal(await page.textContent('#status'), 'This update cannot be installed. No board was touched.');
      const reasons = (await h.reasonLines(page)).filter((line) => line.severity === 'error')
        .map((line) => line.text.replace(/^Error: /, '').replace(`${base.slice(1)}`, ''));
      for (const expected of row.reasons) {
        assert.ok(reasons.some((line) => (expected instanceof RegExp ? expected.test(line) : line === expected)),
                  `${expected} in ${JSON.stringify(reasons, null, 1)}`);
      }
      assert.equal(await page.$eval('#flash', (button) => button.disabled), true);
      assert.equal(await page.$$eval('#boards li.board', (rows) => rows.length), 1, 'the bootloader is there');
      const chip = await h.chipReport(page);
      assert.equal(chip.opens, 0);
      assert.deepEqual(chip.counts, { probe: 0, erase: 0, start: 0, data: 0, read: 0, restart: 0 });
      await page.close();
    });
  });
});
