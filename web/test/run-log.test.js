// The attempt log kept across reloads in the browser's storage (the records
// themselves are read in boards.test.js, as the page writes them).
'use strict';

const assert = require('node:assert/strict');
const { it } = require('node:test');
const { RunLog } = require('../js/run-log.js');

it('keeps the records in storage, and says once when storage refuses them', () => {
  const kept = new Map();
  const storage = { getItem: (key) => kept.get(key) ?? null, setItem: (key, value) => kept.set(key, value) };
  const first = new RunLog.Store(storage);
  first.add({ n: 1 });
  first.add({ n: 2 });
  const reloaded = new RunLog.Store(storage);
  assert.equal(reloaded.text(), '{"n":1}\n{"n":2}\n');
  assert.equal(reloaded.count, 2);

  const lost = [];
  const full = new RunLog.Store({ getItem: () => null, setItem: () => { throw new Error('quota'); } },
                                (error) => lost.push(error.message));
  full.add({ n: 1 });
  full.add({ n: 2 });
  assert.deepEqual(lost, ['quota']);
  assert.equal(full.text(), '{"n":1}\n{"n":2}\n', 'the page keeps them all the same');
});
