// A virtual Orvel bootloader in the page: the project's bootloader model
// (virtual-chip-model.wasm) behind the shape of a WebHID device, so that the
// page's transport drives it exactly as it drives a chip on USB. Replies come
// back as 'inputreport' events in later tasks, as a device's do.
'use strict';

const VirtualChip = (() => {
  const kRequestKinds = ['probe', 'erase', 'start', 'data', 'read', 'restart', 'other'];
  let modelPromise = null;

  function loadModel() {
    if (!modelPromise) modelPromise = OrvelChipModel();
    return modelPromise;
  }

  // A task of its own for every reply, without the clamping of nested timers.
  const soon = (() => {
    const channel = new MessageChannel();
    const queue = [];
    channel.port1.onmessage = () => queue.shift()();
    return (callback) => {
      queue.push(callback);
      channel.port2.postMessage(0);
    };
  })();

  class VirtualChipDevice extends EventTarget {
    constructor(chip, identity) {
      super();
      this.chip = chip;
      this.vendorId = identity.vendorId;
      this.productId = identity.productId;
      this.productName = identity.productName;
      this.collections = [{ usagePage: 0xFF00, usage: 0x0001,
                            inputReports: [{ reportId: 0 }], outputReports: [{ reportId: 0 }] }];
      this.opened = false;
    }

    async open() {
      if (this.chip.unplugged()) throw new DOMException('Failed to open the device.', 'NotAllowedError');
      this.opened = true;
    }

    async close() {
      this.opened = false;
    }

    async sendReport(reportId, data) {
      if (!this.opened) throw new DOMException('The device must be opened first.', 'InvalidStateError');
      const replies = this.chip.handleReport(reportId, data);
      if (replies === null) {
        this.opened = false;
        this.chip.left();
        throw new DOMException('Failed to write the report.', 'NotAllowedError');
      }
      for (const reply of replies) {
        const deliver = () => {
          if (!this.opened) return;
          const event = new Event('inputreport');
          event.device = this;
          event.reportId = 0;
          event.data = new DataView(reply.bytes.buffer);
          this.dispatchEvent(event);
        };
        const delayMs = Math.max(reply.delayMs, this.chip.replyDelayMs);
        if (delayMs > 0) setTimeout(deliver, delayMs); else soon(deliver);
      }
      if (this.chip.restarted()) this.chip.left();
    }
  }

  class Chip {
    // options: flashSize in bytes; flash, what it holds (erased otherwise);
    // faults as orvel-sim's --fault without the device ("read:1:silent");
    // productId, vendorId, productName; replyDelayMs, the least time each
    // reply takes (a slower link).
    constructor(model, options) {
      this.model = model;
      this.flashSize = options.flashSize;
      this.replyDelayMs = options.replyDelayMs || 0;
      this.id = model._chip_create(options.flashSize);
      if (options.flash) model.HEAPU8.set(options.flash, model._chip_flash(this.id));
      for (const fault of options.faults || []) {
        if (!model.ccall('chip_add_fault', 'number', ['number', 'string'], [this.id, fault])) {
          throw new Error(`bad fault: ${fault}`);
        }
      }
      this.onleave = null;  // called once the chip leaves the bus
      this.device = new VirtualChipDevice(this, {
        vendorId: options.vendorId ?? 0x1234,
        productId: options.productId ?? 0xC081,
        productName: options.productName ?? 'Orvel virtual bootloader',
      });
    }

    // The chip's answers to one report, or null when the write fails.
    handleReport(reportId, data) {
      const heap = () => this.model.HEAPU8;
      const buffer = this.model._chip_report_buffer();
      const view = ArrayBuffer.isView(data)
        ? new Uint8Array(data.buffer, data.byteOffset, data.byteLength) : new Uint8Array(data);
      const bytes = new Uint8Array(64);
      // A numbered report goes out with its number as the first byte.
      const body = reportId === 0 ? view : new Uint8Array([reportId, ...view]);
      bytes.set(body.subarray(0, 64));
      heap().set(bytes, buffer);
      const count = this.model._chip_handle_report(this.id);
      if (count < 0) return null;
      const replies = [];
      for (let i = 0; i < count; ++i) {
        const at = this.model._chip_reply_bytes(this.id, i);
        replies.push({ bytes: heap().slice(at, at + 64), delayMs: this.model._chip_reply_delay(this.id, i) });
      }
      return replies;
    }

    left() {
      if (this.onleave) this.onleave(this.device);
    }

    flash() {
      const at = this.model._chip_flash(this.id);
      return this.model.HEAPU8.slice(at, at + this.model._chip_flash_size(this.id));
    }

    // Frees the model; the chip must not be used afterwards.
    dispose() {
      this.model._chip_destroy(this.id);
    }

    restarted() { return this.model._chip_restarted(this.id) !== 0; }
    unplugged() { return this.model._chip_unplugged(this.id) !== 0; }

    // Requests of one kind so far: 'probe', 'erase', 'start', 'data', 'read', 'restart'.
    requestCount(kind) {
      return this.model._chip_request_count(this.id, kRequestKinds.indexOf(kind));
    }
  }

  return {
    async create(options) {
      return new Chip(await loadModel(), options);
    },
  };
})();
