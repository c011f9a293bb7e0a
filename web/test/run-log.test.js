// The attempt log: the console station's record shape, and records kept
// across reloads in the browser's storage.
'use strict';

const assert = require('node:assert/strict');
const { it } = require('node:test');
const { RunLog } = require('../js/run-log.js');

const attempt = {
  start: new Date(Date.UTC(2026, 11, 9, 16, 42, 15, 123)),
  end: new Date(Date.UTC(2026, 11, 9, 16, 42, 17, 4)),
  device: { productName: 'Orvel ROM Bootloader', serialNumber: '', vendorId: 0x1234 },
  programs: [{ path: 'boot.bin', start: 0, length: 0x100, crc32: 0x1ABD04D4 },
             { path: 'app.hex', start: 0xFFE00, length: 0x200, crc32: 0xFFFFFFFF }],
  passed: false,
  reasons: [{ severity: 'error', text: 'no reply', en: 'no reply', zh: '无应答' }],
  version: 'Orvel ROM DFU V0.0.1',
};

it('writes the record shape of the console station, keys in order', () => {
  const line = JSON.stringify(RunLog.record(attempt));
  assert.equal(line, '{"start":"2026-12-09T16:42:15.123Z","end":"2026-12-09T16:42:17.004Z","location":null,' +
    '"serial":null,"path":null,"name":"Orvel ROM Bootloader","programs":[' +
    '{"path":"boot.bin","start":"0x00000000","end":"0x00000100","length":256,"crc32":"0x1ABD04D4"},' +
    '{"path":"app.hex","start":"0x000FFE00","end":"0x00100000","length":512,"crc32":"0xFFFFFFFF"}],' +
    '"result":"FAIL","reasons":[{"severity":"error","text":"no reply"}],"version":"Orvel ROM DFU V0.0.1"}');
  const passed = RunLog.record({ ...attempt, passed: true, device: { serialNumber: 'ORVEL-7' } });
  assert.deepEqual([passed.result, passed.serial, passed.name], ['PASS', 'ORVEL-7', null]);
});

it('keeps the records in storage, and says once when storage refuses them', () => {
  const kept = new Map();
  const storage = { getItem: (key) => kept.get(key) ?? null, setItem: (key, value) => kept.set(key, value) };
  const first = new RunLog.Store(storage);
  first.add({ n: 1 });
  first.add({ n: 2 });
  const reloaded = new RunLog.Store(storage);
  assert.equal(reloaded.text(), '{"n":1}\n{"n":2}\n');
  assert.equal(reloaded.count, 2);

  const lost = [];
  const full = new RunLog.Store({ getItem: () => null, setItem: () => { throw new Error('quota'); } },
                                (error) => lost.push(error.message));
  full.add({ n: 1 });
  full.add({ n: 2 });
  assert.deepEqual(lost, ['quota']);
  assert.equal(full.text(), '{"n":1}\n{"n":2}\n', 'the page keeps them all the same');
});
