// The flashing page in headless Chromium: the core module, the transport and
// the virtual bootloader model, driven through the page's controls.
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const h = require('./harness');

const kMiB = 1 << 20;
const blinkyHex = h.sample('blinky.hex');
const blinkyBin = h.sample('blinky.bin');  // blinky.hex's bytes, from 0x8000
const app = h.pattern(0x1F40, 1);
const boot = h.pattern(0x1800, 2);

let server;
let browser;
h.serveAndBrowse((started) => ({ server, browser } = started));

// Opens the page, chooses the fake chip and adds the programs.
async function pageWithPrograms(programs, { hid = {}, locale, mode, flashSize } = {}) {
  const page = await h.openPage(browser, server, { hid, locale });
  await page.click('#connect');
  await page.waitForFunction(() => window.fakeHid.chips.length > 0);
  if (mode) await page.selectOption('#mode', mode);
  if (flashSize) await page.selectOption('#flash-size', flashSize);
  for (const program of programs) {
    await (program.dropped ? h.dropProgram : h.addProgram)(page, program);
  }
  return page;
}

describe('flashing a chip through WebHID', () => {
  const cases = [
    { name: 'a raw binary at the address typed',
      programs: [{ name: 'app.bin', bytes: app, address: 'A000' }],
      flash: [[0xA000, app]] },
    { name: 'a raw binary off a 256-byte boundary lands exactly there',
      programs: [{ name: 'app.bin', bytes: app, address: '0xA010' }],
      flash: [[0xA010, app]] },
    { name: 'an Intel HEX file at its own addresses',
      programs: [{ name: 'blinky.hex', bytes: blinkyHex }],
      flash: [[0x8000, blinkyBin]] },
    { name: 'an Intel HEX file moved to the address typed',
      programs: [{ name: 'BLINKY.HEX', bytes: blinkyHex, address: '20000' }],
      flash: [[0x20000, blinkyBin]] },
    { name: 'two programs in one job, one of them dropped on the page',
      programs: [{ name: 'boot.bin', bytes: boot, address: '0' },
                 { name: 'blinky.hex', bytes: blinkyHex, dropped: true }],
      flash: [[0, boot], [0x8000, blinkyBin]] },
    { name: 'two files of one name',
      programs: [{ name: 'app.bin', bytes: boot, address: '0' },
                 { name: 'app.bin', bytes: app, address: 'A000' }],
      flash: [[0, boot], [0xA000, app]] },
    { name: 'download only, which reads nothing back',
      programs: [{ name: 'app.bin', bytes: app, address: 'A000' }], mode: '1',
      flash: [[0xA000, app]] },
  ];
  for (const row of cases) {
    it(row.name, async () => {
      const page = await pageWithPrograms(row.programs, { mode: row.mode });
      const status = await h.flashAndWait(page);
      const verified = row.mode !== '1';
      assert.match(status, verified ? /^Flashed and verified in \d+\.\d{3} s\.$/
                                    : /^Flashed \(not verified\) in \d+\.\d{3} s\.$/);
      assert.deepEqual(await h.reasonLines(page), []);
      assert.equal(await page.$eval('#progress', (bar) => bar.value), 100);
      const chip = await h.chipReport(page);
      assert.ok(chip.flash.equals(h.flashImage(kMiB, row.flash)), 'flash holds exactly the programs');
      assert.equal(chip.counts.restart, 3);
      assert.equal(chip.counts.read > 0, verified);
      assert.deepEqual(page.errors, []);
      await page.close();
    });
  }
});

describe('a job that fails', () => {
  const cases = [
    { name: 'a read the chip never answers', fault: 'read:1:silent',
      // The first read-back request asks for the program's first bytes.
      reasonNames: /0x0000A000/ },
    { name: 'the chip unplugged during the download', fault: 'data:3:unplug',
      // The third data packet carries the bytes from 0xA07C on.
      reasonNames: /0x0000A0(00|7C)/ },
    { name: 'a chip that does not answer its probe', fault: 'probe:1:silent',
      reasonNames: /failed the probe: no reply within 200 ms/ },
  ];
  for (const row of cases) {
    it(`${row.name}: shown with its reason, and no restart`, async () => {
      const page = await pageWithPrograms([{ name: 'app.bin', bytes: app, address: 'A000' }],
                                          { hid: { faults: [row.fault] } });
      const status = await h.flashAndWait(page);
      assert.match(status, /^Flashing failed after \d+\.\d{3} s\. The chip was not restarted/);
      const reasons = await h.reasonLines(page);
      assert.ok(reasons.some((line) => line.severity === 'error' && line.text.startsWith('Error: ')),
                JSON.stringify(reasons));
      const chip = await h.chipReport(page);
      assert.equal(chip.counts.restart, 0);
      assert.equal(chip.restarted, false);
      // The reason names where the job stopped; none names the console
      // tool's options, which a page user has not got.
      assert.ok(reasons.some((line) => row.reasonNames.test(line.text)), JSON.stringify(reasons));
      assert.ok(!reasons.some((line) => /(^|\s)-[wsmp] |--[a-z]|orvel-dfu /.test(line.text)), JSON.stringify(reasons));
      await page.close();
    });
  }
});

describe('refused before connecting', () => {
  it('a program outside the program area', async () => {
    // 256 KB chip: the program area ends at 0x3F000.
    const page = await pageWithPrograms([{ name: 'app.bin', bytes: app, address: '3E000' }],
                                        { flashSize: '0' });
    const atAdding = await h.reasonLines(page);
    assert.ok(atAdding.some((line) => line.severity === 'error'), JSON.stringify(atAdding));
    const status = await h.flashAndWait(page);
    assert.equal(status, 'Not flashed: the programs or settings were refused.');
    const chip = await h.chipReport(page);
    assert.deepEqual(chip.counts, { probe: 0, erase: 0, start: 0, data: 0, read: 0, restart: 0 });
    // The reason names the program.
    assert.ok(atAdding.some((line) => /app\.bin/.test(line.text)), JSON.stringify(atAdding));
    await page.close();
  });

  it('a raw binary without an address is not added', async () => {
    const page = await pageWithPrograms([{ name: 'app.bin', bytes: app }]);
    assert.deepEqual(await h.reasonLines(page), [{
      severity: 'error',
      text: 'Error: app.bin: a raw binary file needs an address; type it in the address field, then add the file again.',
    }]);
    assert.equal(await page.$$eval('#program-list .name', (names) => names.length), 0);
    assert.equal(await page.$eval('#flash', (button) => button.disabled), true);
    await page.close();
  });

  it('a chosen device that is not a bootloader is named as such', async () => {
    const page = await pageWithPrograms([], { hid: { productId: 0x1234 } });
    await page.waitForSelector('#reasons li');
    assert.deepEqual(await h.reasonLines(page), [{
      severity: 'error',
      text: 'Error: The chosen device Orvel virtual bootloader (VID_1234&PID_1234) is not an Orvel ' +
            'bootloader: its product ID is 0x1234, a bootloader\u2019s is 0xC081. Choose the bootloader.',
    }]);
    assert.equal(await page.textContent('#device'), 'No bootloader chosen yet.');
    await page.close();
  });
});

describe('WebHID refused to the page', () => {
  it('says why, as in a frame without allow="hid", and the page still starts', async () => {
    const page = await h.openPage(browser, server, { hid: { blocked: true } });
    const refused = 'Access to the feature "hid" is disallowed by permissions policy.';
    assert.deepEqual(await h.reasonLines(page), [{ severity: 'warning', text: `Warning: WebHID is not allowed here ` +
      `(${refused}). A site that shows this page in a frame must allow it: <iframe allow="hid">.` }]);
    await page.click('#connect');
    assert.deepEqual(await h.reasonLines(page), [{ severity: 'error', text: `Error: The device chooser failed: ${refused}` }]);
    await page.close();
  });
});

describe('the virtual chip', () => {
  it('runs the whole job and gives its flash as a file, kept from job to job', async () => {
    const page = await h.openPage(browser, server);
    await page.check('#virtual-chip');
    assert.equal(await page.textContent('#device'), 'Virtual chip with 512 KB of flash');
    assert.equal(await page.$eval('#connect', (button) => button.disabled), true);
    await h.addProgram(page, { name: 'boot.bin', bytes: boot, address: '0' });
    assert.match(await h.flashAndWait(page), /^Flashed and verified in/);
    await page.click('#program-list button');
    await h.addProgram(page, { name: 'blinky.hex', bytes: blinkyHex });
    assert.match(await h.flashAndWait(page), /^Flashed and verified in/);
    assert.equal(await page.$eval('#flash-download', (link) => link.hidden), false);
    const flash = Buffer.from(await page.evaluate(async () => {
      const response = await fetch(document.getElementById('flash-download').href);
      return Array.from(new Uint8Array(await response.arrayBuffer()));
    }));
    assert.ok(flash.equals(h.flashImage(512 << 10, [[0, boot], [0x8000, blinkyBin]])));
    assert.deepEqual(page.errors, []);
    await page.close();
  });
});

describe('Chinese', () => {
  it('from the browser\'s language, and switchable', async () => {
    const page = await pageWithPrograms([{ name: 'app.bin', bytes: app, address: 'A000' }],
                                        { locale: 'zh-CN', hid: { faults: ['read:1:silent'] } });
    assert.equal(await page.$eval('#language', (select) => select.value), 'zh');
    assert.equal(await page.textContent('#flash'), '烧录');
    assert.match(await page.textContent('#device'), /^引导程序：Orvel virtual bootloader/);
    assert.match(await h.flashAndWait(page), /^烧录失败，用时 \d+\.\d{3} 秒。芯片未重启/);
    const reasons = await h.reasonLines(page);
    assert.ok(reasons.length > 0 && reasons.every((line) => /^(错误|警告|提示)：/.test(line.text)),
              JSON.stringify(reasons));
    await page.selectOption('#language', 'en');
    assert.match(await page.textContent('#status'), /^Flashing failed after/);
    assert.equal(await page.textContent('#flash'), 'Flash');
    assert.ok((await h.reasonLines(page)).every((line) => /^(Error|Warning|Note): /.test(line.text)));
    await page.close();
  });
});
