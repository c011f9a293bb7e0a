// Stands in for navigator.hid before the page loads, since WebHID's chooser
// cannot be clicked in a headless browser. The chooser "picks" a virtual
// chip from the page's own virtual-chip.js (the project's bootloader model),
// so everything behind navigator.hid is the page's real path: transport,
// report framing, input queues and the core's waits.
//
// options: { faults: ["read:1:silent"], productId, flashSize }
function installFakeHid(options) {
  const hid = new EventTarget();
  const granted = [];
  hid.chips = [];
  hid.requestDevice = async () => {
    const chip = await VirtualChip.create({
      flashSize: options.flashSize || 1 << 20,
      faults: options.faults || [],
      productId: options.productId,
    });
    chip.onleave = (device) => {
      granted.splice(granted.indexOf(device), 1);
      const event = new Event('disconnect');
      event.device = device;
      hid.dispatchEvent(event);
    };
    hid.chips.push(chip);
    granted.push(chip.device);
    return [chip.device];
  };
  hid.getDevices = async () => granted.slice();
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => hid, configurable: true });
  window.fakeHid = hid;
}
