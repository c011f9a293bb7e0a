// The flashing page: programs (picked by the user, or a vendor's update
// manifest), settings, the bootloaders chosen through WebHID (each a board
// of its own) or the virtual chip, and the jobs, which the tool's own core
// runs (js/core.js), one core per board, all boards at once.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const kBootloaderProductId = 0xC081;
  const kFlashBytes = { 0: 256 << 10, 1: 512 << 10, 2: 1 << 20 };
  const hasWebHid = 'hid' in navigator;
  const manifestParameter = new URLSearchParams(location.search).get('manifest');

  const state = {
    language: preferredLanguage(navigator.languages || [navigator.language]),
    programs: [],      // { name, address, hex, size, bytes }; name is the file's name in the core
    boards: [],        // the bootloaders chosen through WebHID, see makeBoard
    virtualBoard: null,
    pageReasons: [],   // { severity, en, zh }: the page's own
    coreReasons: [],   // { severity, en, zh }: the core's check of the programs
    result: null,      // the last run: { outcome: 'done' | 'failed' | 'refused', seconds, verified, boards }
    busy: false,
    loadingManifest: manifestParameter !== null,
    manifest: null,    // the update, in manifest mode, once it is usable
    manifestFailed: false,
    chip: null,        // the virtual chip, once used
    flashUrl: null,    // the virtual chip's flash, as a file
    version: '',
  };
  let pageCore = null;  // checks programs; no device behind it
  let nextBoardNumber = 1;
  const runLog = new RunLog.Store(storageOrNull(), (error) => {
    addPageReason('warning', 'logLost', [error.message || String(error)]);
    render();
  });

  function storageOrNull() {
    try {
      return window.localStorage;
    } catch (error) {
      return null;
    }
  }

  function text(key, ...args) {
    return fillText(PageTexts[state.language][key], args);
  }

  // A page reason in both languages, so that a language switch shows it anew.
  function pageReason(severity, key, args = []) {
    return { severity, en: fillText(PageTexts.en[key], args), zh: fillText(PageTexts.zh[key], args) };
  }

  function addPageReason(severity, key, args = []) {
    state.pageReasons.push(pageReason(severity, key, args));
  }

  // A refusal or failure the core gave no error for gets the page's own.
  function ensureError(reasons, key) {
    if (!reasons.some((reason) => reason.severity === 'error')) reasons.push(pageReason('error', key));
  }

  function reasonText(reason) {
    return state.language === 'en' ? reason.en : reason.zh;
  }

  function hex4(value) {
    return value.toString(16).toUpperCase().padStart(4, '0');
  }

  function describeDevice(device) {
    return `${device.productName || '?'} (VID_${hex4(device.vendorId)}&PID_${hex4(device.productId)})`;
  }

  function describeVirtualDevice() {
    return text('virtualDevice', kFlashBytes[jobSettings().flashSize] >> 10);
  }

  const manifestMode = () => manifestParameter !== null;
  const virtualMode = () => !manifestMode() && $('virtual-chip').checked;
  const activeBoards = () => (virtualMode() ? [virtualBoard()] : state.boards);

  // ---- rendering -------------------------------------------------------

  function render() {
    document.documentElement.lang = state.language === 'zh' ? 'zh-CN' : 'en';
    $('language').value = state.language;
    for (const element of document.querySelectorAll('[data-text]')) {
      element.textContent = text(element.dataset.text);
    }
    renderMode();
    renderPrograms();
    renderDevice();
    renderBoards();
    renderOutcome();
    renderLog();
    renderControls();
  }

  // In manifest mode the update takes the place of programs and settings.
  function renderMode() {
    const update = manifestMode();
    $('update').hidden = !update;
    for (const id of ['programs', 'chip', 'virtual-chip-switch']) $(id).hidden = update;
    $('flash').textContent = text(update ? 'update' : 'flash');
    if (state.manifest) {
      $('product').textContent = state.manifest.product;
      $('version').textContent = state.manifest.version;
      document.title = `${state.manifest.product} ${state.manifest.version} \u2014 Orvel DFU`;
    }
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
    if (virtualMode()) {
      line = describeVirtualDevice();
    } else if (state.boards.length === 1) {
      line = text('deviceChosen', describeDevice(state.boards[0].device));
    } else if (state.boards.length > 1) {
      line = text('devicesChosen', state.boards.length);
    }
    $('device').textContent = line;
  }

  const kStateTexts = { ready: 'stateReady', flashing: 'stateFlashing', done: 'statePassed',
                        failed: 'stateFailed', refused: 'stateRefused' };

  // One row per board: its name, state, progress, result line and reasons.
  function renderBoards() {
    const list = $('boards');
    list.replaceChildren();
    const boards = activeBoards();
    list.classList.toggle('single', boards.length === 1);
    for (const board of boards) {
      const item = document.createElement('li');
      item.className = 'board';
      item.dataset.state = board.state;
      const name = document.createElement('span');
      name.className = 'name';
      const device = board === state.virtualBoard ? describeVirtualDevice() : describeDevice(board.device);
      name.textContent = text('boardName', board.number, device);
      const stateLine = document.createElement('span');
      stateLine.className = 'state';
      stateLine.textContent = text(kStateTexts[board.state]) + (board.gone ? text('stateGone') : '');
      board.progressBar = document.createElement('progress');
      board.progressBar.max = 100;
      board.progressBar.value = board.progress;
      const result = document.createElement('span');
      result.className = 'result';
      result.textContent = board.result ? resultLine(board.result) : '';
      const reasons = document.createElement('ul');
      reasons.className = 'reasons';
      appendReasons(reasons, board.reasons);
      item.append(name, stateLine, board.progressBar, result, reasons);
      if (board !== state.virtualBoard) {
        const remove = document.createElement('button');
        remove.type = 'button';
        remove.className = 'remove';
        remove.textContent = text('remove');
        remove.disabled = state.busy;
        remove.addEventListener('click', () => removeBoard(board));
        item.append(remove);
      }
      list.append(item);
    }
  }

  function resultLine({ outcome, seconds, verified }) {
    const keys = { done: verified ? 'done' : 'doneUnverified', failed: 'failed', refused: 'refused' };
    return text(keys[outcome], seconds.toFixed(3));
  }

  function appendReasons(list, reasons) {
    for (const reason of reasons) {
      const item = document.createElement('li');
      item.className = reason.severity;
      item.textContent = text(reason.severity) + reasonText(reason);
      list.append(item);
    }
  }

  // The whole run: one board's result line as it is, several summed up.
  function statusLine(result) {
    const boards = result.boards;
    if (result.outcome === 'refused' || boards.length === 1) return resultLine(result);
    const passed = boards.filter((board) => board.result && board.result.outcome === 'done').length;
    const seconds = result.seconds.toFixed(3);
    if (passed === boards.length) {
      return text(result.verified ? 'summaryDone' : 'summaryDoneUnverified', boards.length, seconds);
    }
    return text('summaryFailed', passed, boards.length, boards.length - passed, seconds);
  }

  function renderOutcome() {
    const status = $('status');
    status.className = '';
    status.textContent = '';
    if (state.loadingManifest) {
      status.textContent = text('manifestLoading');
    } else if (state.manifestFailed) {
      status.textContent = text('manifestUnusable');
      status.className = 'failed';
    } else if (state.busy) {
      status.textContent = text('flashing');
    } else if (state.result) {
      status.textContent = statusLine(state.result);
      status.className = state.result.outcome === 'done' ? 'ok' : 'failed';
    }
    // With one board its reasons show here as well (its row hides them).
    const reasons = [...state.pageReasons, ...state.coreReasons];
    if (state.result && state.result.boards.length === 1) reasons.push(...state.result.boards[0].reasons);
    $('reasons').replaceChildren();
    appendReasons($('reasons'), reasons);
  }

  function renderLog() {
    $('log-count').textContent = text('logCount', runLog.count);
  }

  function renderControls() {
    const virtual = virtualMode();
    for (const id of ['address', 'file-input', 'flash-size', 'mode', 'virtual-chip', 'language']) {
      $(id).disabled = state.busy;
    }
    $('connect').disabled = state.busy || virtual || !hasWebHid || state.manifestFailed;
    $('flash').disabled = !canFlash();
    $('flash-download').hidden = !(virtual && state.flashUrl);
    $('log-download').disabled = runLog.count === 0;
    $('log-clear').disabled = state.busy || runLog.count === 0;
  }

  function canFlash() {
    return !state.busy && pageCore !== null && state.programs.length > 0 &&
           !state.loadingManifest && !state.manifestFailed && activeBoards().length > 0;
  }

  function showProgress(board, percent) {
    board.progress = percent;
    if (board.progressBar) board.progressBar.value = percent;
    const boards = activeBoards();
    $('progress').value = boards.reduce((sum, each) => sum + each.progress, 0) / boards.length;
  }

  // ---- programs and settings --------------------------------------------

  // The update's settings in manifest mode, the page's otherwise; mode '0'
  // (as -m 0) reads the programs back.
  function jobSettings() {
    const { flashSize, mode } = state.manifest || { flashSize: $('flash-size').value, mode: $('mode').value };
    return { flashSize, verify: mode === '0' };
  }

  // Loads and places the programs as the job would, without a device.
  // True when they are accepted.
  function checkPrograms() {
    state.result = null;
    state.coreReasons = [];
    if (!pageCore || state.programs.length === 0) return false;
    const checked = pageCore.check(state.programs, jobSettings());
    state.coreReasons = checked.reasons;
    if (!checked.ok) ensureError(state.coreReasons, 'optionsRefused');
    return checked.ok;
  }

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

  function addProgramBytes(fileName, address, bytes) {
    state.programs.push({ name: uniqueName(fileName), address, hex: /\.hex$/i.test(fileName), size: bytes.length, bytes });
  }

  async function addFiles(files) {
    if (state.busy || !pageCore || manifestMode()) return;
    state.pageReasons = [];
    for (const file of files) {
      const hex = /\.hex$/i.test(file.name);
      let address = $('address').value.trim();
      if (address === '') {
        if (!hex) {
          addPageReason('error', 'needsAddress', [file.name]);
          continue;
        }
        address = UpdateManifest.kOwnAddresses;
      } else if (!UpdateManifest.isAddress(address)) {
        addPageReason('error', 'badAddress', [file.name, address]);
        continue;
      }
      try {
        addProgramBytes(file.name, address, new Uint8Array(await file.arrayBuffer()));
      } catch (error) {
        addPageReason('error', 'unreadable', [file.name, error.message]);
      }
    }
    checkPrograms();
    render();
  }

  function removeProgram(index) {
    if (state.busy) return;
    state.programs.splice(index, 1);
    state.pageReasons = [];
    checkPrograms();
    render();
  }

  // ---- the update manifest ----------------------------------------------

  // Fetches the manifest and its files and checks them, all before any board
  // is touched; the update is usable only when everything passed.
  async function loadManifest() {
    const loaded = await UpdateManifest.load(manifestParameter, manifestParameter);
    let problems = loaded.problems;
    let files = null;
    if (loaded.manifest) {
      const fetched = await UpdateManifest.fetchFiles(loaded.manifest);
      problems = fetched.problems;
      files = fetched.files;
    }
    state.loadingManifest = false;
    for (const problem of problems) addPageReason('error', problem.key, problem.args);
    if (!files) {
      state.manifestFailed = true;
      return;
    }
    const manifest = loaded.manifest;
    manifest.programs.forEach((program, index) => addProgramBytes(program.fileName, program.address, files[index]));
    state.manifest = manifest;
    if (!checkPrograms()) {
      addPageReason('error', 'manifestRefused', [manifestParameter, kFlashBytes[manifest.flashSize] >> 10]);
      state.manifest = null;
      state.manifestFailed = true;
    }
  }

  // ---- boards ---------------------------------------------------------------

  // A board: one bootloader with a transport that shows only it and a core
  // of its own, so that boards flashed together share nothing.
  function makeBoard(device, number = nextBoardNumber++) {
    const transport = new HidTransport();
    const board = { number, device, transport, state: 'ready', progress: 0,
                    result: null, reasons: [], gone: false, progressBar: null };
    transport.useDevices(async () => (board.gone || !board.device ? [] : [board.device]));
    board.core = OrvelCoreAdapter.createBoardCore(transport);
    board.core.catch(() => {});  // reported when the board is flashed
    return board;
  }

  function addBoard(device) {
    if (state.boards.some((board) => board.device === device)) return;
    state.boards.push(makeBoard(device));
  }

  function removeBoard(board) {
    if (state.busy) return;
    state.boards = state.boards.filter((each) => each !== board);
    render();
  }

  function virtualBoard() {
    if (!state.virtualBoard) state.virtualBoard = makeBoard(null, 1);
    return state.virtualBoard;
  }

  // The chooser lists every HID device: a filter on the product ID alone
  // needs a vendor ID too, and the bootloader's vendor varies. Each
  // bootloader chosen joins the boards; anything else is named and left.
  async function chooseDevice() {
    state.pageReasons = [];
    let devices = [];
    try {
      devices = await navigator.hid.requestDevice({ filters: [] });
    } catch (error) {
      addPageReason('error', 'chooserFailed', [error.message]);
    }
    if (devices.length === 0 && state.pageReasons.length === 0) addPageReason('note', 'noneChosen');
    for (const device of devices) {
      if (device.productId !== kBootloaderProductId) {
        addPageReason('error', 'notBootloader', [describeDevice(device), `0x${hex4(device.productId)}`]);
      } else {
        addBoard(device);
      }
    }
    render();
  }

  function deviceLeft(device) {
    const board = state.boards.find((each) => each.device === device);
    if (!board) return;
    board.gone = true;
    board.transport.deviceGone(device);
    // A board that has shown a result keeps it until the next run.
    if (!state.busy && !board.result) state.boards = state.boards.filter((each) => each !== board);
    if (!state.busy) render();
  }

  // The virtual chip for this job: still in its bootloader from the last
  // one, or back in it with its flash as it was (a new, erased one when the
  // flash size changed).
  async function prepareVirtualChip() {
    const flashSize = kFlashBytes[jobSettings().flashSize];
    const old = state.chip;
    if (old && old.flashSize === flashSize && !old.restarted() && !old.unplugged()) return;
    const flash = old && old.flashSize === flashSize ? old.flash() : undefined;
    if (old) old.dispose();
    const chip = await VirtualChip.create({ flashSize, flash });
    const board = virtualBoard();
    chip.onleave = (device) => {
      board.gone = true;
      board.transport.deviceGone(device);
    };
    state.chip = chip;
    board.device = chip.device;
    board.gone = false;
  }

  function offerVirtualFlash() {
    if (state.flashUrl) URL.revokeObjectURL(state.flashUrl);
    const blob = new Blob([state.chip.flash()], { type: 'application/octet-stream' });
    state.flashUrl = URL.createObjectURL(blob);
    $('flash-download').href = state.flashUrl;
  }

  // ---- the run ---------------------------------------------------------

  // One board's job. A failure of any kind stays with its board.
  async function flashBoard(board, settings) {
    board.state = 'flashing';
    const start = new Date();
    const started = performance.now();
    let job;
    try {
      const core = await board.core;
      job = await core.flash(state.programs, settings, (percent) => showProgress(board, percent));
    } catch (error) {
      job = { outcome: 'failed', programs: [], console: '',
              reasons: [pageReason('error', 'pageFailed', [error.message || String(error)])] };
    }
    const fallback = { failed: 'jobFailed', refused: 'optionsRefused' }[job.outcome];
    if (fallback) ensureError(job.reasons, fallback);
    board.state = job.outcome;
    board.reasons = job.reasons;
    board.console = job.console;
    board.result = { outcome: job.outcome, seconds: (performance.now() - started) / 1000,
                     verified: settings.verify };
    if (job.outcome === 'refused') return;
    runLog.add(RunLog.record({
      start, end: new Date(), device: board.device, programs: job.programs, passed: job.outcome === 'done',
      reasons: job.reasons.map((reason) => ({ severity: reason.severity, text: reasonText(reason) })),
      version: state.version,
    }));
  }

  function resetBoards(boards) {
    for (const board of boards) {
      Object.assign(board, { state: 'ready', progress: 0, result: null, reasons: [], console: '' });
    }
  }

  // Every board at once, with the same programs; a board that fails does
  // not stop the others.
  async function flash() {
    if (!canFlash()) return;
    state.busy = true;
    state.pageReasons = [];
    state.result = null;
    state.boards = state.boards.filter((board) => !board.gone);
    const boards = activeBoards();
    resetBoards(boards);
    $('progress').value = 0;
    render();
    const settings = jobSettings();
    const started = performance.now();
    const outcome = await (checkPrograms() ? flashBoards(boards, settings) : refuseBoards(boards));
    state.result = { outcome, seconds: (performance.now() - started) / 1000, verified: settings.verify, boards };
    $('console-text').textContent = boards.map((board) =>
      (boards.length > 1 ? `${text('boardName', board.number, '')}\n` : '') + board.console).join('\n');
    state.busy = false;
    render();
  }

  async function flashBoards(boards, settings) {
    try {
      if (virtualMode()) await prepareVirtualChip();
    } catch (error) {
      addPageReason('error', 'pageFailed', [error.message || String(error)]);
      return 'failed';
    }
    await Promise.all(boards.map((board) => flashBoard(board, settings)));
    if (virtualMode() && state.chip) offerVirtualFlash();
    return boards.every((board) => board.state === 'done') ? 'done' : 'failed';
  }

  // Programs the core refuses: no board is touched.
  async function refuseBoards(boards) {
    for (const board of boards) board.state = 'refused';
    return 'refused';
  }

  // ---- the log -----------------------------------------------------------

  function downloadLog() {
    const blob = new Blob([runLog.text()], { type: 'application/x-ndjson' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = `orvel-dfu-log-${new Date().toISOString().replace(/[:.]/g, '-')}.jsonl`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  function clearLog() {
    if (!window.confirm(text('logClearConfirm', runLog.count))) return;
    runLog.clear();
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
    $('log-download').addEventListener('click', downloadLog);
    $('log-clear').addEventListener('click', clearLog);
    document.addEventListener('dragover', (event) => {
      event.preventDefault();
      if (!manifestMode()) document.body.classList.add('dragging');
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
      addPageReason('warning', 'noWebHid');
      return;
    }
    navigator.hid.addEventListener('disconnect', (event) => deviceLeft(event.device));
    navigator.hid.addEventListener('connect', (event) => {
      if (event.device.productId !== kBootloaderProductId) return;
      addBoard(event.device);
      if (!state.busy) render();
    });
    // Bootloaders this site may already use need no new choice. A frame
    // whose parent did not allow WebHID is refused here.
    let granted = [];
    try {
      granted = await navigator.hid.getDevices();
    } catch (error) {
      addPageReason('warning', 'webHidBlocked', [error.message || String(error)]);
    }
    for (const device of granted) {
      if (device.productId === kBootloaderProductId) addBoard(device);
    }
  }

  // Offline, the service worker serves the page, the core and the files of
  // manifests fetched before; without one the page works online only.
  function keepForOffline() {
    if ('serviceWorker' in navigator) navigator.serviceWorker.register('sw.js').catch(() => {});
  }

  async function start() {
    wireControls();
    render();
    keepForOffline();
    await watchWebHid();
    try {
      pageCore = await OrvelCoreAdapter.createBoardCore(new HidTransport());
      state.version = pageCore.version();
    } catch (error) {
      addPageReason('error', 'pageFailed', [error.message || String(error)]);
    }
    if (manifestMode() && pageCore) {
      await loadManifest();
    } else if (manifestMode()) {
      state.loadingManifest = false;
      state.manifestFailed = true;
    }
    render();
    document.body.dataset.ready = 'true';
  }

  start();
})();
