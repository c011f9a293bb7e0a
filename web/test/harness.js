// Serves the built page on loopback and opens it in Debian's headless
// Chromium, with navigator.hid replaced by the fake of fake-hid.js.
'use strict';

const assert = require('node:assert/strict');
const crypto = require('node:crypto');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { chromium } = require('playwright-core');

const siteDir = path.resolve(process.env.ORVEL_WEB_SITE || path.join(__dirname, '../../build-web/site'));
const samplesDir = path.join(__dirname, '../../samples');
const fakeHidSource = fs.readFileSync(path.join(__dirname, 'fake-hid.js'), 'utf8');

const kTypes = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
                 '.wasm': 'application/wasm', '.json': 'application/json', '.svg': 'image/svg+xml',
                 '.png': 'image/png', '.webmanifest': 'application/manifest+json' };

// Serves the site, and server.files (URL path -> bytes) over it: a test's
// own manifests and files.
function startServer() {
  const files = new Map();
  const server = http.createServer((request, response) => {
    const urlPath = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    if (files.has(urlPath)) {
      response.writeHead(200, { 'Content-Type': kTypes[path.extname(urlPath)] || 'application/octet-stream' });
      response.end(files.get(urlPath));
      return;
    }
    const file = path.join(siteDir, urlPath === '/' ? 'index.html' : urlPath);
    if (!file.startsWith(siteDir) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  server.files = files;
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

async function startBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// The test server and a browser for a file's tests: started before them,
// stopped after them; started({ server, browser }) hands them over.
function serveAndBrowse(started) {
  const { after, before } = require('node:test');
  let running;
  before(async () => {
    running = { server: await startServer(), browser: await startBrowser() };
    started(running);
  });
  after(async () => {
    await running.browser.close();
    running.server.close();
  });
}

// The stand-in for navigator.hid with these options, for addInitScript.
function fakeHidScript(options) {
  return `(${fakeHidSource.replace(/^\/\/.*$/gm, '')})(${JSON.stringify(options)});`;
}

// A page ready to use: the core module loaded (and the update checked, with
// a manifest). hid: options for the fake navigator.hid (see fake-hid.js);
// locale: the browser's language; query: the page URL's, as '?manifest=...'.
// page.errors: uncaught errors; page.failures: requests answered with an
// HTTP error, and the console's errors (a Content Security Policy refusal).
async function openPage(browser, server, { hid = {}, locale = 'en-US', query = '' } = {}) {
  const context = await browser.newContext({ locale });
  const page = await context.newPage();
  page.errors = [];
  page.failures = [];
  page.on('pageerror', (error) => page.errors.push(error));
  page.on('response', (response) => {
    if (response.status() >= 400) page.failures.push(`${response.status()} ${response.url()}`);
  });
  page.on('console', (message) => {
    if (message.type() === 'error') page.failures.push(message.text());
  });
  await page.addInitScript(fakeHidScript(hid));
  await page.goto(`http://127.0.0.1:${server.address().port}/${query}`);
  await page.waitForSelector('body[data-ready="true"]');
  return page;
}

function sample(name) {
  return fs.readFileSync(path.join(samplesDir, name));
}

// A program of length bytes that differs from erased flash everywhere.
function pattern(length, seed) {
  const bytes = Buffer.alloc(length);
  for (let i = 0; i < length; ++i) bytes[i] = (i * 7 + seed) & 0x7F;
  return bytes;
}

// Adding is asynchronous (the file is read first): waits until the program
// is listed or the page has said why not.
async function whenAdded(page, add) {
  const before = await page.$$eval('#program-list .name', (names) => names.length);
  await add();
  await page.waitForFunction((count) =>
    document.querySelectorAll('#program-list .name').length > count ||
    document.querySelector('#reasons li') !== null, before);
}

async function addProgram(page, { name, bytes, address = '' }) {
  await page.fill('#address', address);
  await whenAdded(page, () =>
    page.setInputFiles('#file-input', { name, mimeType: 'application/octet-stream', buffer: bytes }));
}

// The same, dropped on the page instead of picked.
async function dropProgram(page, { name, bytes, address = '' }) {
  await page.fill('#address', address);
  await whenAdded(page, () => page.evaluate(([fileName, base64]) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const transfer = new DataTransfer();
    transfer.items.add(new File([bytes], fileName));
    document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, [name, bytes.toString('base64')]));
}

// Clicks Flash and waits for the outcome; returns the status line.
async function flashAndWait(page) {
  await page.click('#flash');
  await page.waitForFunction(() => {
    const status = document.getElementById('status');
    return status.className === 'ok' || status.className === 'failed';
  }, null, { timeout: 60000 });
  return page.textContent('#status');
}

async function reasonLines(page) {
  return page.$$eval('#reasons li', (items) => items.map((item) => ({ severity: item.className, text: item.textContent })));
}

// What the chips chosen through the fake navigator.hid saw and hold.
async function chipReport(page, index = 0) {
  return page.evaluate((at) => {
    const chip = window.fakeHid.chips[at];
    if (!chip) return null;
    const counts = {};
    for (const kind of ['probe', 'erase', 'start', 'data', 'read', 'restart']) counts[kind] = chip.requestCount(kind);
    return { counts, restarted: chip.restarted(), opens: chip.opens, flash: toBase64(chip.flash()) };

    function toBase64(bytes) {
      let binary = '';
      for (let i = 0; i < bytes.length; i += 0x8000) {
        binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
      }
      return btoa(binary);
    }
  }, index).then((report) => report && { ...report, flash: Buffer.from(report.flash, 'base64') });
}

// The expected flash: erased, with each [address, bytes] in place.
function flashImage(size, placements) {
  const image = Buffer.alloc(size, 0xFF);
  for (const [address, bytes] of placements) bytes.copy(image, address);
  return image;
}

// The rows of the boards list: name, state, result line and reasons.
async function boardRows(page) {
  return page.$$eval('#boards li.board', (rows) => rows.map((row) => ({
    name: row.querySelector('.name').textContent,
    state: row.dataset.state,
    result: row.querySelector('.result').textContent,
    reasons: [...row.querySelectorAll('.reasons li')].map((item) => item.textContent),
  })));
}

// The log as "Download log" gives it: one record per line.
async function downloadedLog(page) {
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#log-download')]);
  const text = fs.readFileSync(await download.path(), 'utf8');
  assert.ok(text.endsWith('\n'), 'every record ends its line');
  return { name: download.suggestedFilename(), records: text.trimEnd().split('\n').map((line) => JSON.parse(line)) };
}

function sha256(bytes) {
  return crypto.createHash('sha256').update(bytes).digest('hex');
}

module.exports = { startServer, startBrowser, serveAndBrowse, openPage, sample, pattern, addProgram, dropProgram, flashAndWait,
                   reasonLines, chipReport, flashImage, boardRows, downloadedLog, sha256 };
