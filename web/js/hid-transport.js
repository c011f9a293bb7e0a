// The transport behind the core's hidapi functions (src/hidapi_webhid.cpp):
// the devices the page may use (WebHID's, or the virtual chip), hidapi's
// report framing, and one queue of input reports per open device.
//
// Framing. hidapi's buffer starts with the report ID (0 for a device without
// numbered reports); WebHID takes the ID apart: sendReport(reportId, data).
// Input reports arrive as events with the ID apart; hidapi hands back the
// report alone for ID 0, and the ID followed by the report otherwise.
'use strict';

class HidTransport {
  constructor() {
    this.source = async () => [];
    this.paths = new Map();  // device -> its path, stable for the page's life
    this.listed = [];
    this.handles = new Map();
    this.nextHandle = 1;
    this.openError = '';
  }

  // source: async () => the HIDDevice-like objects to list.
  useDevices(source) {
    this.source = source;
  }

  pathOf(device) {
    if (!this.paths.has(device)) this.paths.set(device, `webhid/${this.paths.size}`);
    return this.paths.get(device);
  }

  async list() {
    this.listed = await this.source();
    return this.listed.length;
  }

  // Text fields: 0 path, 1 manufacturer (WebHID has none), 2 product.
  entryText(index, field) {
    const device = this.listed[index];
    if (field === 0) return this.pathOf(device);
    if (field === 2 && device.productName) return device.productName;
    return null;
  }

  // Number fields: 0 vendor ID, 1 product ID, 2 release (WebHID has none),
  // 3 usage page and 4 usage of the first top-level collection.
  entryNumber(index, field) {
    const device = this.listed[index];
    const collection = (device.collections || [])[0] || {};
    switch (field) {
      case 0: return device.vendorId;
      case 1: return device.productId;
      case 3: return collection.usagePage || 0;
      case 4: return collection.usage || 0;
      default: return 0;
    }
  }

  async open(path) {
    const device = this.listed.find((candidate) => this.pathOf(candidate) === path);
    if (!device) {
      this.openError = 'No such device';
      return -1;
    }
    try {
      if (!device.opened) await device.open();
    } catch (error) {
      this.openError = describeError(error);
      return -1;
    }
    const handle = { device, queue: [], wake: null, error: 'Success' };
    handle.listener = (event) => {
      handle.queue.push(inputReportBytes(event));
      if (handle.wake) handle.wake();
    };
    device.addEventListener('inputreport', handle.listener);
    const number = this.nextHandle++;
    this.handles.set(number, handle);
    return number;
  }

  // bytes: hidapi's buffer, report ID first. The count written, or -1.
  async write(number, bytes) {
    const handle = this.handles.get(number);
    if (!handle) return -1;
    try {
      await handle.device.sendReport(bytes[0], bytes.subarray(1));
      return bytes.length;
    } catch (error) {
      handle.error = describeError(error);
      return -1;
    }
  }

  // The next input report, as hidapi frames it; null when none came within
  // milliseconds (a negative time waits without limit); undefined when the
  // device is gone.
  async read(number, milliseconds) {
    const handle = this.handles.get(number);
    if (!handle) return undefined;
    if (handle.queue.length === 0 && milliseconds !== 0 && handle.device.opened) {
      await new Promise((resolve) => {
        const timer = milliseconds > 0 ? setTimeout(resolve, milliseconds) : null;
        handle.wake = () => {
          clearTimeout(timer);
          resolve();
        };
      });
      handle.wake = null;
    }
    if (handle.queue.length > 0) return handle.queue.shift();
    if (!handle.device.opened) {
      handle.error = 'The device is gone';
      return undefined;
    }
    return null;
  }

  async close(number) {
    const handle = this.handles.get(number);
    if (!handle) return;
    this.handles.delete(number);
    handle.device.removeEventListener('inputreport', handle.listener);
    if (handle.wake) handle.wake();
    const stillUsed = [...this.handles.values()].some((other) => other.device === handle.device);
    if (stillUsed || !handle.device.opened) return;
    try {
      await handle.device.close();
    } catch (error) {
      handle.error = describeError(error);
    }
  }

  // A device left: reads waiting on it return at once.
  deviceGone(device) {
    for (const handle of this.handles.values()) {
      if (handle.device === device && handle.wake) handle.wake();
    }
  }

  // The reason of the last failure on a handle; -1: of the last open.
  lastError(number) {
    const handle = this.handles.get(number);
    return handle ? handle.error : this.openError;
  }
}

function inputReportBytes(event) {
  const data = new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength);
  if (event.reportId === 0) return data.slice();
  const framed = new Uint8Array(data.length + 1);
  framed[0] = event.reportId;
  framed.set(data, 1);
  return framed;
}

function describeError(error) {
  return error && error.message ? error.message : String(error);
}

// The node tests load this file as a module.
if (typeof module === 'object') module.exports = { HidTransport };
