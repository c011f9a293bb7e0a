// Stands in for navigator.hid before the page loads, since WebHID's chooser
// cannot be clicked in a headless browser. The chooser "picks" virtual chips
// from the page's own virtual-chip.js (the project's bootloader model), so
// everything behind navigator.hid is the page's real path: transport,
// report framing, input queues and the core's waits.
//
// options: { faults: ["read:1:silent"], productId, flashSize, replyDelayMs,
//            chips: the number of bootloaders the chooser picks at once, or
//            one { faults, serialNumber } each,
//            granted: true when the site may use them already (getDevices
//            gives them without a choice),
//            blocked: true when WebHID is refused, as in a frame without
//            allow="hid" }
// Each chip counts the opens of its device (chip.opens); unplug(index)
// takes one away.
function installFakeHid(options) {
  const hid = new EventTarget();
  const granted = [];
  const chips = Array.isArray(options.chips) ? options.chips : Array.from({ length: options.chips || 1 }, () => ({}));
  hid.chips = [];

  async function pick(chipOptions) {
    const chip = await VirtualChip.create({
      flashSize: options.flashSize || 1 << 20,
      faults: chipOptions.faults || options.faults || [],
      productId: options.productId,
      replyDelayMs: options.replyDelayMs,
    });
    if (chipOptions.serialNumber) chip.device.serialNumber = chipOptions.serialNumber;
    chip.opens = 0;
    const open = chip.device.open.bind(chip.device);
    chip.device.open = () => {
      chip.opens += 1;
      return open();
    };
    chip.onleave = (device) => {
      granted.splice(granted.indexOf(device), 1);
      const event = new Event('disconnect');
      event.device = device;
      hid.dispatchEvent(event);
    };
    hid.chips.push(chip);
    granted.push(chip.device);
    return chip.device;
  }

  hid.requestDevice = async () => {
    const devices = [];
    for (const chipOptions of chips) devices.push(await pick(chipOptions));
    return devices;
  };
  let grantedBefore = options.granted ? null : Promise.resolve();
  // The index-th chip's board pulled out of the hub.
  hid.unplug = (index) => hid.chips[index].onleave(hid.chips[index].device);
  hid.getDevices = async () => {
    if (!grantedBefore) grantedBefore = hid.requestDevice();
    await grantedBefore;
    return granted.slice();
  };
  if (options.blocked) {
    const refuse = async () => {
      throw new DOMException('Access to the feature "hid" is disallowed by permissions policy.', 'SecurityError');
    };
    hid.requestDevice = refuse;
    hid.getDevices = refuse;
  }
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => hid, configurable: true });
  window.fakeHid = hid;
}
