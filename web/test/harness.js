// Serves the built page on loopback and opens it in Debian's headless
// Chromium, with navigator.hid replaced by the fake of fake-hid.js.
'use strict';

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

function startServer() {
  const server = http.createServer((request, response) => {
    const urlPath = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    const file = path.join(siteDir, urlPath === '/' ? 'index.html' : urlPath);
    if (!file.startsWith(siteDir) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': kTypes[path.extname(file)] || 'application/octet-stream' });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

async function startBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// A page ready to use: the core module loaded. hid: options for the fake
// navigator.hid (see fake-hid.js); locale: the browser's language.
async function openPage(browser, server, { hid = {}, locale = 'en-US' } = {}) {
  const context = await browser.newContext({ locale });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error));
  await page.addInitScript(`(${fakeHidSource.replace(/^\/\/.*$/gm, '')})(${JSON.stringify(hid)});`);
  await page.goto(`http://127.0.0.1:${server.address().port}/`);
  await page.waitForSelector('body[data-ready="true"]');
  page.errors = errors;
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
    return { counts, restarted: chip.restarted(), flash: toBase64(chip.flash()) };

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

module.exports = { startServer, startBrowser, openPage, sample, pattern, addProgram, dropProgram, flashAndWait,
                   reasonLines, chipReport, flashImage };
