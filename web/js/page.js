// The flashing page: programs, settings, the device, and the job, which the
// tool's own core runs (orvel-core.wasm) over the transport in
// hid-transport.js, to a bootloader chosen through WebHID or to the virtual
// chip of virtual-chip.js.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const kBootloaderProductId = 0xC081;
  const kFlashBytes = { 0: 256 << 10, 1: 512 << 10, 2: 1 << 20 };
  const kSeverities = ['error', 'warning', 'note'];
  const hasWebHid = 'hid' in navigator;

  const state = {
    language: preferredLanguage(navigator.languages || [navigator.language]),
    programs: [],      // { name, address, hex, size }; name is the file's name in the core
    chosen: null,      // the bootloader chosen through WebHID
    pageReasons: [],   // { severity, key, args }: the page's own
    coreReasons: [],   // { severity, en, zh }: the core's, both texts
    result: null,      // { outcome: 1 done, 0 failed, -1 refused; seconds; verified }
    busy: false,
    chip: null,        // the virtual chip, once used
    flashUrl: null,    // the virtual chip's flash, as a file
  };
  const transport = new HidTransport();
  let core = null;

  function text(key, ...args) {
    return fillText(PageTexts[state.language][key], args);
  }

  function hex4(value) {
    return value.toString(16).toUpperCase().padStart(4, '0');
  }

  function describeDevice(device) {
    return `${device.productName || '?'} (VID_${hex4(device.vendorId)}&PID_${hex4(device.productId)})`;
  }

  function addPageReason(severity, key, args = []) {
    state.pageReasons.push({ severity, key, args });
  }

  // ---- rendering -------------------------------------------------------

  function render() {
    document.documentElement.lang = state.language === 'zh' ? 'zh-CN' : 'en';
    $('language').value = state.language;
    for (const element of document.querySelectorAll('[data-text]')) {
      element.textContent = text(element.dataset.text);
    }
    renderPrograms();
    renderDevice();
    renderOutcome();
    renderControls();
  }

  function renderPrograms() {
    const list = $('program-list');
    list.replaceChildren();
    if (state.programs.length === 0) {
      const empty = document.createElement('li');
      empty.textContent = text('noPrograms');
      list.append(empty);
    }
    state.programs.forEach((program, index) => {
      const item = document.createElement('li');
      const name = document.createElement('span');
      name.className = 'name';
      name.textContent = `${program.name} \u2014 ${text(program.hex ? 'formatHex' : 'formatBin')}, ${program.size} B`;
      const where = document.createElement('span');
      where.className = 'where';
      const ownAddresses = program.hex && /^(0x)?F{8}$/i.test(program.address);
      where.textContent = ownAddresses ? text('fileAddresses') : `@ ${program.address}`;
      const remove = document.createElement('button');
      remove.type = 'button';
      remove.textContent = text('remove');
      remove.disabled = state.busy;
      remove.addEventListener('click', () => removeProgram(index));
      item.append(name, where, remove);
      list.append(item);
    });
  }

  function renderDevice() {
    let line = text('noDevice');
    if ($('virtual-chip').checked) {
      line = text('virtualDevice', kFlashBytes[$('flash-size').value] >> 10);
    } else if (state.chosen) {
      line = text('deviceChosen', describeDevice(state.chosen));
    }
    $('device').textContent = line;
  }

  function renderOutcome() {
    const status = $('status');
    status.className = '';
    status.textContent = '';
    if (state.busy) {
      status.textContent = text('flashing');
    } else if (state.result) {
      const { outcome, seconds, verified } = state.result;
      const keys = { 1: verified ? 'done' : 'doneUnverified', 0: 'failed', '-1': 'refused' };
      status.textContent = text(keys[outcome], seconds.toFixed(3));
      status.className = outcome === 1 ? 'ok' : 'failed';
    }
    const reasons = $('reasons');
    reasons.replaceChildren();
    const english = state.language === 'en';
    const lines = [
      ...state.pageReasons.map((r) => ({ severity: r.severity, text: text(r.key, ...r.args) })),
      ...state.coreReasons.map((r) => ({ severity: r.severity, text: english ? r.en : r.zh })),
    ];
    for (const line of lines) {
      const item = document.createElement('li');
      const word = kSeverities[line.severity] || 'error';
      item.className = word;
      item.textContent = text(word) + line.text;
      reasons.append(item);
    }
  }

  function renderControls() {
    const virtual = $('virtual-chip').checked;
    for (const id of ['address', 'file-input', 'flash-size', 'mode', 'virtual-chip', 'language']) {
      $(id).disabled = state.busy;
    }
    $('connect').disabled = state.busy || virtual || !hasWebHid;
    $('flash').disabled = state.busy || !core || state.programs.length === 0;
    $('flash-download').hidden = !(virtual && state.flashUrl);
  }

  function showProgress(percent) {
    $('progress').value = percent;
  }

  // ---- the core ----------------------------------------------------------

  function passOptions() {
    core.ccall('orvel_set_language', null, ['number'], [state.language === 'en' ? 1 : 0]);
    core.ccall('orvel_clear_words', null, [], []);
    const words = ['-w', '0', '-s', $('flash-size').value, '-m', $('mode').value];
    for (const program of state.programs) words.push('-p', program.address, program.name);
    for (const word of words) core.ccall('orvel_add_word', null, ['string'], [word]);
  }

  // The core's reasons; when it failed without saying why, the page's
  // fallbackKey says at least what failed.
  function takeCoreReasons(fallbackKey) {
    const reasons = [];
    const count = core.ccall('orvel_reason_count', 'number', [], []);
    for (let i = 0; i < count; ++i) {
      reasons.push({
        severity: core.ccall('orvel_reason_severity', 'number', ['number'], [i]),
        en: core.ccall('orvel_reason_text', 'string', ['number', 'number'], [i, 1]),
        zh: core.ccall('orvel_reason_text', 'string', ['number', 'number'], [i, 0]),
      });
    }
    if (fallbackKey && !reasons.some((r) => r.severity === 0)) {
      reasons.push({ severity: 0, en: PageTexts.en[fallbackKey], zh: PageTexts.zh[fallbackKey] });
    }
    state.coreReasons = reasons;
  }

  // Loads and places the programs as the job would, without a device.
  function checkPrograms() {
    state.result = null;
    if (!core || state.programs.length === 0) {
      state.coreReasons = [];
      return;
    }
    passOptions();
    const accepted = core.ccall('orvel_check', 'number', [], []) === 1;
    takeCoreReasons(accepted ? null : 'optionsRefused');
  }

  // ---- programs ----------------------------------------------------------

  // The name the core reads the file by: the file's own, made unique, and
  // without the quotes that option words may not begin or end with.
  function uniqueName(fileName) {
    const base = fileName.replace(/^"+|"+$/g, '_') || 'program';
    const taken = (name) => state.programs.some((program) => program.name === name);
    if (!taken(base)) return base;
    const dot = base.lastIndexOf('.');
    const stem = dot > 0 ? base.slice(0, dot) : base;
    const extension = dot > 0 ? base.slice(dot) : '';
    for (let n = 2; ; ++n) {
      const name = `${stem} (${n})${extension}`;
      if (!taken(name)) return name;
    }
  }

  async function addFiles(files) {
    if (state.busy || !core) return;
    state.pageReasons = [];
    for (const file of files) {
      const hex = /\.hex$/i.test(file.name);
      let address = $('address').value.trim();
      if (address === '') {
        if (!hex) {
          addPageReason(0, 'needsAddress', [file.name]);
          continue;
        }
        address = 'FFFFFFFF';
      }
      let bytes;
      try {
        bytes = new Uint8Array(await file.arrayBuffer());
      } catch (error) {
        addPageReason(0, 'unreadable', [file.name, error.message]);
        continue;
      }
      const name = uniqueName(file.name);
      core.FS.writeFile(name, bytes);
      state.programs.push({ name, address, hex, size: bytes.length });
    }
    checkPrograms();
    render();
  }

  function removeProgram(index) {
    if (state.busy) return;
    const [program] = state.programs.splice(index, 1);
    core.FS.unlink(program.name);
    state.pageReasons = [];
    checkPrograms();
    render();
  }

  // ---- devices -------------------------------------------------------------

  // The chooser lists every HID device: a filter on the product ID alone
  // needs a vendor ID too, and the bootloader's vendor varies.
  async function chooseDevice() {
    state.pageReasons = [];
    let devices = [];
    try {
      devices = await navigator.hid.requestDevice({ filters: [] });
    } catch (error) {
      addPageReason(0, 'chooserFailed', [error.message]);
    }
    if (devices.length === 0 && state.pageReasons.length === 0) addPageReason(2, 'noneChosen');
    const device = devices[0];
    if (device && device.productId !== kBootloaderProductId) {
      addPageReason(0, 'notBootloader', [describeDevice(device), `0x${hex4(device.productId)}`]);
    } else if (device) {
      state.chosen = device;
    }
    render();
  }

  // The virtual chip for this job: still in its bootloader from the last
  // one, or back in it with its flash as it was (a new, erased one when the
  // flash size changed).
  async function prepareVirtualChip() {
    const flashSize = kFlashBytes[$('flash-size').value];
    const old = state.chip;
    if (old && old.flashSize === flashSize && !old.restarted() && !old.unplugged()) return;
    const flash = old && old.flashSize === flashSize ? old.flash() : undefined;
    if (old) old.dispose();
    const chip = await VirtualChip.create({ flashSize, flash });
    chip.onleave = (device) => {
      chip.gone = true;
      transport.deviceGone(device);
    };
    state.chip = chip;
  }

  function offerVirtualFlash() {
    if (state.flashUrl) URL.revokeObjectURL(state.flashUrl);
    const blob = new Blob([state.chip.flash()], { type: 'application/octet-stream' });
    state.flashUrl = URL.createObjectURL(blob);
    $('flash-download').href = state.flashUrl;
  }

  // What orvel-dfu would have shown: a line rewritten behind "\r" shows its
  // last form.
  function consoleView(transcript) {
    return transcript.split('\n').map((line) => line.slice(line.lastIndexOf('\r') + 1)).join('\n');
  }

  // ---- the job ---------------------------------------------------------

  async function flash() {
    if (state.busy || !core || state.programs.length === 0) return;
    const virtual = $('virtual-chip').checked;
    state.busy = true;
    state.pageReasons = [];
    state.coreReasons = [];
    state.result = null;
    showProgress(0);
    render();
    try {
      if (virtual) {
        await prepareVirtualChip();
        transport.useDevices(async () => (state.chip.gone ? [] : [state.chip.device]));
      } else {
        transport.useDevices(async () => (hasWebHid ? navigator.hid.getDevices() : []));
      }
      passOptions();
      const started = performance.now();
      const outcome = await core.ccall('orvel_flash', 'number', [], [], { async: true });
      const seconds = (performance.now() - started) / 1000;
      takeCoreReasons({ 1: null, 0: 'jobFailed', '-1': 'optionsRefused' }[outcome]);
      state.result = { outcome, seconds, verified: $('mode').value === '0' };
      $('console-text').textContent = consoleView(core.ccall('orvel_console_text', 'string', [], []));
      if (virtual && state.chip) offerVirtualFlash();
    } catch (error) {
      addPageReason(0, 'pageFailed', [error.message || String(error)]);
    }
    state.busy = false;
    render();
  }

  // ---- start -----------------------------------------------------------

  function wireControls() {
    $('language').addEventListener('change', () => {
      state.language = $('language').value;
      render();
    });
    $('file-input').addEventListener('change', async (event) => {
      await addFiles([...event.target.files]);
      event.target.value = '';
    });
    for (const id of ['flash-size', 'mode']) {
      $(id).addEventListener('change', () => {
        checkPrograms();
        render();
      });
    }
    $('virtual-chip').addEventListener('change', render);
    $('connect').addEventListener('click', chooseDevice);
    $('flash').addEventListener('click', flash);
    document.addEventListener('dragover', (event) => {
      event.preventDefault();
      document.body.classList.add('dragging');
    });
    document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
    document.addEventListener('drop', (event) => {
      event.preventDefault();
      document.body.classList.remove('dragging');
      addFiles([...event.dataTransfer.files]);
    });
  }

  async function watchWebHid() {
    if (!hasWebHid) {
      addPageReason(1, 'noWebHid');
      return;
    }
    navigator.hid.addEventListener('disconnect', (event) => {
      transport.deviceGone(event.device);
      if (state.chosen === event.device) state.chosen = null;
      if (!state.busy) render();
    });
    // A bootloader this site may already use needs no new choice.
    const granted = await navigator.hid.getDevices();
    state.chosen = granted.find((device) => device.productId === kBootloaderProductId) || null;
  }

  async function start() {
    wireControls();
    render();
    await watchWebHid();
    core = await OrvelCore({ hidTransport: transport, onProgress: showProgress });
    core.FS.mkdir('/programs');
    core.FS.chdir('/programs');
    render();
    document.body.dataset.ready = 'true';
  }

  start();
})();
