// The transport's framing and queues against a scripted WebHID device, in
// node: the cases the virtual chip never produces (numbered reports, reads
// that wait, a device that leaves, failing opens and writes).
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const { HidTransport } = require('../js/hid-transport.js');

// A WebHID device whose reports the test sends and records.
class ScriptedDevice extends EventTarget {
  constructor({ productName = 'Loader', failOpen = null, failWrite = null } = {}) {
    super();
    Object.assign(this, { vendorId: 0x1234, productId: 0xC081, productName, opened: false });
    this.collections = [{ usagePage: 0xFF00, usage: 1 }];
    this.sent = [];
    this.failOpen = failOpen;
    this.failWrite = failWrite;
  }
  async open() {
    if (this.failOpen) throw new DOMException(this.failOpen, 'NotAllowedError');
    this.opened = true;
  }
  async close() { this.opened = false; }
  async sendReport(reportId, data) {
    if (this.failWrite) throw new DOMException(this.failWrite, 'NotAllowedError');
    this.sent.push([reportId, Array.from(data)]);
  }
  input(reportId, bytes) {
    const event = new Event('inputreport');
    Object.assign(event, { device: this, reportId, data: new DataView(new Uint8Array(bytes).buffer) });
    this.dispatchEvent(event);
  }
}

async function openedOn(device) {
  const transport = new HidTransport();
  transport.useDevices(async () => [device]);
  assert.equal(await transport.list(), 1);
  const handle = await transport.open(transport.entryText(0, 0));
  assert.ok(handle > 0);
  return { transport, handle };
}

describe('listing', () => {
  it('gives hidapi\'s fields, WebHID\'s missing ones empty', async () => {
    const device = new ScriptedDevice();
    const transport = new HidTransport();
    transport.useDevices(async () => [device, new ScriptedDevice({ productName: '' })]);
    assert.equal(await transport.list(), 2);
    const table = [
      [() => transport.entryText(0, 0), 'webhid/0'],
      [() => transport.entryText(1, 0), 'webhid/1'],
      [() => transport.entryText(0, 1), null],  // no manufacturer in WebHID
      [() => transport.entryText(0, 2), 'Loader'],
      [() => transport.entryText(1, 2), null],
      [() => transport.entryNumber(0, 0), 0x1234],
      [() => transport.entryNumber(0, 1), 0xC081],
      [() => transport.entryNumber(0, 2), 0],
      [() => transport.entryNumber(0, 3), 0xFF00],
      [() => transport.entryNumber(0, 4), 1],
    ];
    table.forEach(([field, expected], row) => assert.equal(field(), expected, `row ${row}`));
    // A device keeps its path from one listing to the next.
    transport.useDevices(async () => [device]);
    await transport.list();
    assert.equal(transport.entryText(0, 0), 'webhid/0');
  });
});

describe('framing', () => {
  it('takes the report ID off the front of a write', async () => {
    const device = new ScriptedDevice();
    const { transport, handle } = await openedOn(device);
    const cases = [
      [[0x00, 0x1A, 0x55, 0, 0], 0x00, [0x1A, 0x55, 0, 0]],
      [[0x1A, 0x55, 0x00], 0x1A, [0x55, 0x00]],
    ];
    for (const [buffer, reportId, data] of cases) {
      assert.equal(await transport.write(handle, new Uint8Array(buffer)), buffer.length);
      assert.deepEqual(device.sent.pop(), [reportId, data]);
    }
  });

  it('puts a numbered report\'s ID in front of what is read, and keeps order', async () => {
    const device = new ScriptedDevice();
    const { transport, handle } = await openedOn(device);
    device.input(0, [0x1A, 0x55]);
    device.input(3, [0x1A, 0x60]);
    assert.deepEqual(Array.from(await transport.read(handle, 0)), [0x1A, 0x55]);
    assert.deepEqual(Array.from(await transport.read(handle, 0)), [3, 0x1A, 0x60]);
    assert.equal(await transport.read(handle, 0), null);
  });
});

describe('reading', () => {
  it('waits for a report that comes within the time', async () => {
    const device = new ScriptedDevice();
    const { transport, handle } = await openedOn(device);
    setTimeout(() => device.input(0, [7]), 20);
    assert.deepEqual(Array.from(await transport.read(handle, 5000)), [7]);
  });

  it('gives nothing after the time-out, and the late report to the next read', async () => {
    const device = new ScriptedDevice();
    const { transport, handle } = await openedOn(device);
    assert.equal(await transport.read(handle, 30), null);
    device.input(0, [8]);
    assert.deepEqual(Array.from(await transport.read(handle, 30)), [8]);
  });

  it('fails a waiting read at once when the device leaves', async () => {
    const device = new ScriptedDevice();
    const { transport, handle } = await openedOn(device);
    setTimeout(() => {
      device.opened = false;
      transport.deviceGone(device);
    }, 20);
    const started = Date.now();
    assert.equal(await transport.read(handle, -1), undefined);
    assert.ok(Date.now() - started < 5000);
    assert.equal(transport.lastError(handle), 'The device is gone');
  });

  it('drops what nobody read when the device is closed', async () => {
    const device = new ScriptedDevice();
    const first = await openedOn(device);
    device.input(0, [1]);
    await first.transport.close(first.handle);
    assert.equal(device.opened, false);
    const handle = await first.transport.open('webhid/0');
    assert.equal(await first.transport.read(handle, 0), null);
  });
});

describe('failures keep WebHID\'s reason', () => {
  it('for an open, a write and an unknown path', async () => {
    const transport = new HidTransport();
    const refused = new ScriptedDevice({ failOpen: 'Failed to open the device.' });
    const unwritable = new ScriptedDevice({ failWrite: 'Failed to write the report.' });
    transport.useDevices(async () => [refused, unwritable]);
    await transport.list();
    assert.equal(await transport.open('webhid/0'), -1);
    assert.equal(transport.lastError(-1), 'Failed to open the device.');
    assert.equal(await transport.open('webhid/9'), -1);
    assert.equal(transport.lastError(-1), 'No such device');
    const handle = await transport.open('webhid/1');
    assert.equal(await transport.write(handle, new Uint8Array([0, 1])), -1);
    assert.equal(transport.lastError(handle), 'Failed to write the report.');
  });
});
