// The update manifest's reading, against the JSON Schema the docs publish:
// the page accepts exactly what the schema accepts, and names each field
// that is wrong.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { it } = require('node:test');
const Ajv2020 = require('ajv/dist/2020');
const { UpdateManifest } = require('../js/manifest.js');

const schema = JSON.parse(fs.readFileSync(path.join(__dirname, '../../docs/web-manifest.schema.json'), 'utf8'));
const validate = new Ajv2020({ allErrors: true }).compile(schema);
const example = JSON.parse(fs.readFileSync(path.join(__dirname, '../examples/blinky-lamp/manifest.json'), 'utf8'));
const kUrl = 'https://updates.example/lamp/manifest.json';
const sha = 'ab'.repeat(32);
const hexProgram = { url: 'app.hex', sha256: sha };
const good = { product: 'Lamp', version: '2.1', flash_size_kb: 1024, programs: [hexProgram] };
const withPrograms = (...programs) => ({ ...good, programs });

// [name, manifest, the problems: key and field]
const cases = [
  ['the example', example, []],
  ['a HEX file without an address, download only', { ...good, verify: false }, []],
  ['a raw binary at its address, and a $schema', { $schema: 'x', ...withPrograms({ url: 'b/app.bin?v=2', address: '0xA000', sha256: sha.toUpperCase() }) }, []],
  ['not an object', [good], [['manifestNotObject', '(top level)']]],
  ['a misspelt field', { ...good, progams: [] }, [['manifestUnknownKey', 'progams']]],
  ['no product, an empty version', { ...good, product: undefined, version: ' ' },
    [['manifestText', 'product'], ['manifestText', 'version']]],
  ['a flash size in bytes', { ...good, flash_size_kb: 524288 }, [['manifestFlashSize', 'flash_size_kb']]],
  ['verify as text', { ...good, verify: 'yes' }, [['manifestBoolean', 'verify']]],
  ['no programs', { ...good, programs: [] }, [['manifestNoPrograms', 'programs']]],
  ['a program that is no object', withPrograms('app.hex'), [['manifestNotObject', 'programs[0]']]],
  ['a program without a URL', withPrograms({ sha256: sha }), [['manifestText', 'programs[0].url']]],
  ['an address with a comma', withPrograms({ ...hexProgram, address: 'A000,1' }), [['manifestAddress', 'programs[0].address']]],
  ['an address as a number', withPrograms({ ...hexProgram, address: 40960 }), [['manifestAddress', 'programs[0].address']]],
  ['a raw binary without an address', withPrograms(hexProgram, { url: 'app.hex.bin', sha256: sha }),
    [['manifestNeedsAddress', 'programs[1].address']]],
  ['a short SHA-256, a field of its own', withPrograms({ ...hexProgram, sha256: sha.slice(1), size: 3 }),
    [['manifestUnknownKey', 'programs[0].size'], ['manifestSha256', 'programs[0].sha256']]],
];

it('names every field that is wrong, and agrees with the schema', () => {
  for (const [name, manifest, problems] of cases) {
    const parsed = UpdateManifest.parse(JSON.stringify(manifest), kUrl, 'lamp.json');
    assert.deepEqual(parsed.problems.map((problem) => [problem.key, problem.args[1]]), problems, name);
    assert.ok(parsed.problems.every((problem) => problem.args[0] === 'lamp.json'), name);
    assert.equal(parsed.manifest === null, problems.length > 0, name);
    assert.equal(validate(manifest), problems.length === 0, `${name}: ${JSON.stringify(validate.errors)}`);
  }
});

it('reads a usable manifest into what the page flashes', () => {
  const parsed = UpdateManifest.parse(JSON.stringify(cases[2][1]), kUrl, 'lamp.json');
  assert.deepEqual(parsed.manifest, {
    product: 'Lamp', version: '2.1', flashSize: '2', mode: '0',
    programs: [{ label: 'b/app.bin?v=2', url: 'https://updates.example/lamp/b/app.bin?v=2', fileName: 'app.bin',
                 address: '0xA000', sha256: sha }],
  });
  const hexOnly = UpdateManifest.parse(JSON.stringify(cases[1][1]), kUrl, 'lamp.json').manifest;
  assert.deepEqual([hexOnly.mode, hexOnly.programs[0].address], ['1', 'FFFFFFFF']);
});

it('refuses what is no JSON, and URLs the page cannot fetch', () => {
  const table = [
    ['{"product": "Lamp",}', 'manifestNotJson'],
    [JSON.stringify(withPrograms({ ...hexProgram, url: 'ftp://host/app.hex' })), 'manifestUrl'],
    [JSON.stringify(withPrograms({ ...hexProgram, url: 'javascript:alert(1)//.hex' })), 'manifestUrl'],
  ];
  for (const [text, key] of table) {
    const parsed = UpdateManifest.parse(text, kUrl, 'lamp.json');
    assert.deepEqual([parsed.manifest, parsed.problems.map((problem) => problem.key)], [null, [key]], text);
  }
});
