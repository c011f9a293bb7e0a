// The page's texts: both languages complete, placeholders filled, and the
// language taken from the browser's preference.
'use strict';

const assert = require('node:assert/strict');
const { it } = require('node:test');
const { PageTexts, fillText, preferredLanguage } = require('../js/texts.js');

const placeholders = (text) => (text.match(/\{\d\}/g) || []).sort().join();

it('every text exists in both languages with the same placeholders', () => {
  assert.deepEqual(Object.keys(PageTexts.zh).sort(), Object.keys(PageTexts.en).sort());
  for (const key of Object.keys(PageTexts.en)) {
    assert.equal(placeholders(PageTexts.zh[key]), placeholders(PageTexts.en[key]), key);
    assert.ok(PageTexts.zh[key].length > 0, key);
  }
});

it('fills placeholders and leaves those without an argument', () => {
  const cases = [
    ['{0}: {1}', ['a.bin', 'gone'], 'a.bin: gone'],
    ['{1}{0}{1}', ['x', 'y'], 'yxy'],
    ['{0} and {2}', ['one'], 'one and {2}'],
    ['{0}', ['$&'], '$&'],
  ];
  for (const [template, args, expected] of cases) assert.equal(fillText(template, args), expected);
});

it('takes Chinese for simplified Chinese only', () => {
  const cases = [
    [['zh-CN', 'en'], 'zh'], [['zh'], 'zh'], [['zh-Hans-CN'], 'zh'], [['zh-SG'], 'zh'],
    [['zh-TW'], 'en'], [['zh-HK', 'zh-CN'], 'en'], [['en-US', 'zh-CN'], 'en'], [[], 'en'],
    [undefined, 'en'],
  ];
  for (const [tags, expected] of cases) assert.equal(preferredLanguage(tags), expected, String(tags));
});
