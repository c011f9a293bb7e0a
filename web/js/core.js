// The one place that talks to the tool's core module (orvel-core.js and
// .wasm), which is liborvel, the engine of orvel-dfu, behind its C API
// (include/orvel/orvel.h): every ccall, file write and module hook of the
// page is here. The rest of the page sees boards: createBoardCore(transport)
// gives a core of its own for one board, whose job runs over that transport
// alone. A module instance runs one job at a time (Asyncify keeps one
// suspended call), so boards flashed together each need their own; the
// compiled code is shared.
//
// programs: [{ name, address, bytes }]: the name the core reads the file by
// (and names it by in reasons; a .hex name is read as Intel HEX), the address
// in hexadecimal as -p takes it ('FFFFFFFF': a HEX file's own), the bytes.
// settings: { flashSize: '0'..'2' as -s, verify: true to read the programs
// back (-m 0) }.
// Reasons come back as { severity: 'error' | 'warning' | 'note', en, zh }.
'use strict';

const OrvelCoreAdapter = (() => {
  const kSeverities = ['error', 'warning', 'note'];
  const kEnglish = 0;
  const kChinese = 1;
  const kOk = 0;
  // How a job ended, by the library's status: refused before any device was
  // touched, done, or failed on the device.
  const kOutcomes = { 0: 'done', '-1': 'refused', '-2': 'refused' };
  const kSteps = { download: 2, verify: 3 };
  let compiled = null;

  function compileOnce() {
    if (!compiled) {
      compiled = fetch('orvel-core.wasm')
        .then((response) => {
          if (!response.ok) throw new Error(`orvel-core.wasm: HTTP ${response.status}`);
          return response.arrayBuffer();
        })
        .then((bytes) => WebAssembly.compile(bytes));
      compiled.catch(() => { compiled = null; });
    }
    return compiled;
  }

  // The overall percentage as the console's one-line progress shows it: the
  // download climbs to half when the programs are read back afterwards.
  function overallPercent(step, done, total, readBack) {
    if (total <= 0) return null;
    if (step === kSteps.download) return Math.floor((done * 100) / (readBack ? 2 * total : total));
    if (step === kSteps.verify) return Math.floor(((total + done) * 100) / (2 * total));
    return null;
  }

  class BoardCore {
    constructor(module, hooks) {
      this.module = module;
      this.hooks = hooks;
      this.files = new Map();  // name -> the bytes written under it
      this.busy = false;
      this.session = this.call('orvel_session_new', 'number');
      this.call('orvel_page_follow_progress', 'number', ['number'], [this.session]);
    }

    call(name, returns, types = [], args = [], options) {
      return this.module.ccall(name, returns, types, args, options);
    }

    // The module's files become exactly the programs.
    writeFiles(programs) {
      const wanted = new Map(programs.map((program) => [program.name, program.bytes]));
      for (const [name, bytes] of this.files) {
        if (wanted.get(name) === bytes) continue;
        this.module.FS.unlink(name);
        this.files.delete(name);
      }
      for (const [name, bytes] of wanted) {
        if (this.files.has(name)) continue;
        this.module.FS.writeFile(name, bytes);
        this.files.set(name, bytes);
      }
    }

    passOptions(programs, settings) {
      const session = this.session;
      this.writeFiles(programs);
      this.call('orvel_set_flash_size', 'number', ['number', 'number'], [session, Number(settings.flashSize)]);
      this.call('orvel_set_verify', 'number', ['number', 'number'], [session, settings.verify ? 1 : 0]);
      this.call('orvel_clear_programs', 'number', ['number'], [session]);
      for (const program of programs) {
        const address = parseInt(program.address.replace(/^0x/i, ''), 16) >>> 0;
        this.call('orvel_add_program_file', 'number', ['number', 'string', 'number'], [session, program.name, address]);
      }
    }

    // Every reason of the last call, in both languages.
    reasons() {
      const session = this.session;
      const count = this.call('orvel_reason_count', 'number', ['number'], [session]);
      const texts = (language) => {
        this.call('orvel_set_language', 'number', ['number', 'number'], [session, language]);
        const list = [];
        for (let i = 0; i < count; ++i) list.push(this.call('orvel_reason_text', 'string', ['number', 'number'], [session, i]));
        return list;
      };
      const en = texts(kEnglish);
      const zh = texts(kChinese);
      return en.map((text, i) => ({
        severity: kSeverities[this.call('orvel_reason_severity', 'number', ['number', 'number'], [session, i])] || 'error',
        en: text,
        zh: zh[i],
      }));
    }

    // The loaded programs in flash order: { path, start, length, crc32 }.
    loadedPrograms() {
      const session = this.session;
      const count = this.call('orvel_program_count', 'number', ['number'], [session]);
      const layout = this.module._malloc(12);
      const programs = [];
      try {
        for (let i = 0; i < count; ++i) {
          this.call('orvel_program_layout', 'number', ['number', 'number', 'number', 'number', 'number'],
            [session, i, layout, layout + 4, layout + 8]);
          const field = (offset) => this.module.getValue(layout + offset, 'i32') >>> 0;
          programs.push({
            path: this.call('orvel_program_name', 'string', ['number', 'number'], [session, i]),
            start: field(0),
            length: field(4),
            crc32: field(8),
          });
        }
      } finally {
        this.module._free(layout);
      }
      return programs;
    }

    // Loads and places the programs as a job would; no device is touched.
    check(programs, settings) {
      this.passOptions(programs, settings);
      const ok = this.call('orvel_check', 'number', ['number'], [this.session]) === kOk;
      return { ok, reasons: this.reasons() };
    }

    // The whole job on this board's device. onProgress(percent) follows the
    // console's overall line. outcome: 'done', 'failed' (the job failed), or
    // 'refused' (the programs or settings, before any device was touched).
    async flash(programs, settings, onProgress) {
      if (this.busy) throw new Error('this board is already being flashed');
      this.busy = true;
      const readBack = settings.verify;
      let shown = 0;
      this.hooks.onProgress = (step, done, total) => {
        const percent = overallPercent(step, done, total, readBack);
        if (percent === null || percent === shown) return;
        shown = percent;
        onProgress(percent);
      };
      try {
        this.passOptions(programs, settings);
        const status = await this.call('orvel_flash', 'number', ['number'], [this.session], { async: true });
        const outcome = kOutcomes[status] || 'failed';
        if (outcome === 'done') {
          shown = 100;
          onProgress(100);
        }
        return {
          outcome,
          reasons: this.reasons(),
          programs: outcome === 'refused' ? [] : this.loadedPrograms(),
          // What orvel-dfu's one-line progress would show at the end.
          console: outcome === 'refused' ? '' : `>>: ${shown}%\n`,
        };
      } finally {
        this.hooks.onProgress = null;
        this.busy = false;
      }
    }

    // "Orvel ROM DFU V0.0.1", as the console tool's `v` shows it.
    version() {
      return this.call('orvel_version', 'string');
    }
  }

  // transport: the HidTransport (js/hid-transport.js) this board's job
  // talks through.
  async function createBoardCore(transport) {
    const wasmModule = await compileOnce();
    const hooks = { onProgress: null };
    // The factory never settles when instantiating fails: that failure ends the wait.
    let failed;
    const instantiationFailed = new Promise((resolve, reject) => { failed = reject; });
    const module = await Promise.race([instantiationFailed, OrvelCore({
      hidTransport: transport,
      onProgress: (step, done, total) => { if (hooks.onProgress) hooks.onProgress(step, done, total); },
      instantiateWasm(imports, receiveInstance) {
        WebAssembly.instantiate(wasmModule, imports)
          .then((instance) => receiveInstance(instance, wasmModule), failed);
        return {};
      },
    })]);
    module.FS.mkdir('/programs');
    module.FS.chdir('/programs');
    return new BoardCore(module, hooks);
  }

  return { createBoardCore };
})();
