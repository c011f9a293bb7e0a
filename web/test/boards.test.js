// Several bootloaders in one tab: every board flashed at once on its own
// core, a failing one leaving the others be, and the log of every attempt.
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const h = require('./harness');

const blinkyHex = h.sample('blinky.hex');
const blinkyBin = h.sample('blinky.bin');  // blinky.hex's bytes, from 0x8000
const kBlinkyCrc32 = '0x01124C0E';          // zlib's CRC-32 of blinky.bin

let server;
let browser;
h.serveAndBrowse((started) => ({ server, browser } = started));

describe('four boards at once', () => {
  it('one failing, three flashed exactly, each row with its own result, every attempt logged', async () => {
    const chips = [{ serialNumber: 'LINE-A-1' }, { faults: ['read:3:silent'] }, {}, {}];
    const page = await h.openPage(browser, server, { hid: { chips } });
    await page.click('#connect');
    await page.waitForFunction(() => document.querySelectorAll('#boards li.board').length === 4);
    assert.equal(await page.textContent('#device'), '4 bootloaders chosen; they are flashed together.');
    await h.addProgram(page, { name: 'blinky.hex', bytes: blinkyHex });
    const runStart = new Date();
    const status = await h.flashAndWait(page);
    assert.match(status, /^3 of 4 boards flashed, 1 failed, in \d+\.\d{3} s\. A board that failed was not restarted/);

    const rows = await h.boardRows(page);
    assert.deepEqual(rows.map((row) => row.state), ['done', 'failed', 'done', 'done']);
    for (const row of rows.filter((each) => each.state === 'done')) {
      assert.match(row.result, /^Flashed and verified in \d+\.\d{3} s\.$/);
      assert.deepEqual(row.reasons, []);
    }
    assert.match(rows[1].result, /^Flashing failed after/);
    // The third read-back request asks for the bytes from 0x8000 + 2 * 62.
    assert.ok(rows[1].reasons.some((line) => /^Error: .*0x0000807C/.test(line)), JSON.stringify(rows[1].reasons));
    // The run's reasons are in the rows, not repeated for the whole page.
    assert.deepEqual(await h.reasonLines(page), []);

    for (const [index, expected] of [[0, true], [1, false], [2, true], [3, true]]) {
      const chip = await h.chipReport(page, index);
      assert.equal(chip.restarted, expected, `chip ${index}`);
      if (expected) assert.ok(chip.flash.equals(h.flashImage(1 << 20, [[0x8000, blinkyBin]])), `chip ${index}`);
    }

    const log = await h.downloadedLog(page);
    assert.match(log.name, /^orvel-dfu-log-.*\.jsonl$/);
    assert.equal(log.records.length, 4);
    const keys = ['start', 'end', 'location', 'serial', 'path', 'name', 'programs', 'result', 'reasons', 'version'];
    for (const record of log.records) {
      assert.deepEqual(Object.keys(record), keys);
      assert.match(record.start, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$/);
      assert.ok(new Date(record.start) >= new Date(runStart.getTime() - 1000) && record.end >= record.start);
      assert.deepEqual(record.programs, [{ path: 'blinky.hex', start: '0x00008000', end: '0x00009C40',
                                           length: 7232, crc32: kBlinkyCrc32 }]);
      assert.equal(record.version, 'Orvel ROM DFU V0.0.1');
      assert.equal(record.name, 'Orvel virtual bootloader');
    }
    // Each board's record is written as it ends.
    const byResult = (result) => log.records.filter((record) => record.result === result);
    assert.deepEqual(byResult('PASS').map((record) => record.serial).sort(), ['LINE-A-1', null, null]);
    assert.equal(byResult('FAIL').length, 1);
    const failure = byResult('FAIL')[0].reasons;
    assert.ok(failure.some((reason) => reason.severity === 'error' && /0x0000807C/.test(reason.text)), JSON.stringify(failure));
    assert.ok(byResult('PASS').every((record) => record.reasons.length === 0));
    assert.deepEqual(page.errors, []);
    await page.close();
  });

  it('the results stay until the next run, which flashes the boards still attached', async () => {
    const fault = { faults: ['start:1:silent'] };
    const page = await h.openPage(browser, server, { hid: { chips: [fault, {}, {}, fault] } });
    await page.click('#connect');
    await page.waitForFunction(() => document.querySelectorAll('#boards li.board').length === 4);
    // A board pulled out before any run leaves the list.
    await page.evaluate(() => window.fakeHid.unplug(2));
    await h.addProgram(page, { name: 'blinky.hex', bytes: blinkyHex });
    assert.equal((await h.boardRows(page)).length, 3);
    await h.flashAndWait(page);
    // The board that passed restarted and left the bus; its row stays, and
    // so does the row of a board pulled out after the run.
    await page.evaluate(() => window.fakeHid.unplug(3));
    assert.deepEqual((await h.boardRows(page)).map((row) => row.state), ['failed', 'done', 'failed']);
    const states = await page.$$eval('#boards .state', (items) => items.map((item) => item.textContent));
    assert.deepEqual(states, ['Failed', 'Passed (left the bus)', 'Failed (left the bus)']);
    const second = await h.flashAndWait(page);
    assert.match(second, /^Flashed and verified in/);
    const rows = await h.boardRows(page);
    assert.equal(rows.length, 1, 'the boards that left are gone from the list');
    assert.equal(rows[0].state, 'done');
    // The first run's failures end last, at their time-outs.
    assert.equal((await h.downloadedLog(page)).records.map((record) => record.result).join(), 'PASS,FAIL,FAIL,PASS');
    await page.close();
  });
});
