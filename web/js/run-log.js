// The log of every board's attempt, one JSON object per line (JSON Lines),
// in the record shape of the console station's log (docs/web-manifest.md).
// It is kept in the browser's storage, so a reload loses nothing, until the
// user clears it.
'use strict';

const RunLog = (() => {
  const kStorageKey = 'orvel-dfu-log';

  const hex32 = (value) => `0x${(value >>> 0).toString(16).toUpperCase().padStart(8, '0')}`;
  const textOrNull = (value) => (typeof value === 'string' && value !== '' ? value : null);

  // One attempt. start, end: Dates; device: the WebHID device (or the
  // virtual chip's); programs: the core's { path, start, length, crc32 };
  // reasons: { severity, text } in the language the page showed them in.
  // Keys in this order; WebHID tells neither the path nor the USB location.
  function record({ start, end, device, programs, passed, reasons, version }) {
    return {
      start: start.toISOString(),
      end: end.toISOString(),
      location: null,
      serial: textOrNull(device.serialNumber),
      path: null,
      name: textOrNull(device.productName),
      programs: programs.map((program) => ({
        path: program.path,
        start: hex32(program.start),
        end: hex32(program.start + program.length),
        length: program.length,
        crc32: hex32(program.crc32),
      })),
      result: passed ? 'PASS' : 'FAIL',
      reasons: reasons.map((reason) => ({ severity: reason.severity, text: reason.text })),
      version,
    };
  }

  // The records, kept in storage (localStorage) when it is there and takes
  // them; onLost(error) is called once when it does not.
  class Store {
    constructor(storage, onLost = () => {}) {
      this.storage = storage;
      this.onLost = onLost;
      this.lines = [];
      try {
        const kept = storage ? storage.getItem(kStorageKey) : null;
        if (kept) this.lines = kept.split('\n').filter((line) => line !== '');
      } catch (error) {
        this.lines = [];
      }
    }

    add(entry) {
      this.lines.push(JSON.stringify(entry));
      this.save();
    }

    clear() {
      this.lines = [];
      this.save();
    }

    save() {
      if (!this.storage) return;
      try {
        this.storage.setItem(kStorageKey, this.text());
      } catch (error) {
        if (!this.lost) this.onLost(error);
        this.lost = true;
      }
    }

    get count() {
      return this.lines.length;
    }

    // The JSON Lines file: every record, a newline after each.
    text() {
      return this.lines.map((line) => `${line}\n`).join('');
    }
  }

  return { record, Store };
})();

// The node tests load this file as a module.
if (typeof module === 'object') module.exports = { RunLog };
