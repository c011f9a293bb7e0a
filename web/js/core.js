// The one place that talks to the tool's core module (orvel-core.js and
// .wasm): every ccall, file write and module hook of the page is here. The
// rest of the page sees boards: createBoardCore(transport) gives a core of
// its own for one board, whose job runs over that transport alone. A module
// instance runs one job at a time (Asyncify keeps one suspended call), so
// boards flashed together each need their own; the compiled code is shared.
//
// programs: [{ name, address, bytes }]: the name the core reads the file by
// (and names it by in reasons), the address as -p takes it, the file's bytes.
// settings: { flashSize: '0'..'2' as -s, mode: '0' or '1' as -m, english }.
// Reasons come back as { severity: 'error' | 'warning' | 'note', en, zh }.
'use strict';

const OrvelCoreAdapter = (() => {
  const kSeverities = ['error', 'warning', 'note'];
  const kOutcomes = { 1: 'done', 0: 'failed', '-1': 'refused' };
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

  class BoardCore {
    constructor(module, hooks) {
      this.module = module;
      this.hooks = hooks;
      this.files = new Map();  // name -> the bytes written under it
      this.busy = false;
    }

    call(name, returns, types = [], args = []) {
      return this.module.ccall(name, returns, types, args);
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
      this.writeFiles(programs);
      this.call('orvel_set_language', null, ['number'], [settings.english ? 1 : 0]);
      this.call('orvel_clear_words', null);
      const words = ['-w', '0', '-s', String(settings.flashSize), '-m', String(settings.mode)];
      for (const program of programs) words.push('-p', program.address, program.name);
      for (const word of words) this.call('orvel_add_word', null, ['string'], [word]);
    }

    reasons() {
      const count = this.call('orvel_reason_count', 'number');
      const reasons = [];
      for (let i = 0; i < count; ++i) {
        reasons.push({
          severity: kSeverities[this.call('orvel_reason_severity', 'number', ['number'], [i])] || 'error',
          en: this.call('orvel_reason_text', 'string', ['number', 'number'], [i, 1]),
          zh: this.call('orvel_reason_text', 'string', ['number', 'number'], [i, 0]),
        });
      }
      return reasons;
    }

    // The loaded programs in flash order: { path, start, length, crc32 }.
    loadedPrograms() {
      const count = this.call('orvel_program_count', 'number');
      const programs = [];
      for (let i = 0; i < count; ++i) {
        const number = (name) => this.call(name, 'number', ['number'], [i]) >>> 0;
        programs.push({
          path: this.call('orvel_program_path', 'string', ['number'], [i]),
          start: number('orvel_program_start'),
          length: number('orvel_program_length'),
          crc32: number('orvel_program_crc32'),
        });
      }
      return programs;
    }

    // Loads and places the programs as a job would; no device is touched.
    check(programs, settings) {
      this.passOptions(programs, settings);
      const ok = this.call('orvel_check', 'number') === 1;
      return { ok, reasons: this.reasons(), programs: ok ? this.loadedPrograms() : [] };
    }

    // The whole job on this board's device. onProgress(percent) follows the
    // console's overall line. outcome: 'done', 'failed' (the job failed), or
    // 'refused' (the programs or settings, before any device was touched).
    async flash(programs, settings, onProgress) {
      if (this.busy) throw new Error('this board is already being flashed');
      this.busy = true;
      this.hooks.onProgress = onProgress;
      try {
        this.passOptions(programs, settings);
        const result = await this.call('orvel_flash', 'number', [], [], { async: true });
        const outcome = kOutcomes[result];
        return {
          outcome,
          reasons: this.reasons(),
          programs: outcome === 'refused' ? [] : this.loadedPrograms(),
          console: this.call('orvel_console_text', 'string'),
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
      onProgress: (percent) => { if (hooks.onProgress) hooks.onProgress(percent); },
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
