// A vendor's update manifest (docs/web-manifest.md): read and checked field
// by field, then its files fetched and their SHA-256 compared, all before any
// device is touched. Every problem is a { key, args } of js/texts.js whose
// first argument names the manifest or the file; all problems are reported
// at once, so a vendor fixes a manifest in one go.
'use strict';

const UpdateManifest = (() => {
  // Where the page keeps the checked files for use offline (sw.js reads it).
  const kOfflineCache = 'orvel-dfu';
  const kFlashSizes = { 256: '0', 512: '1', 1024: '2' };
  const kTopKeys = ['$schema', 'product', 'version', 'flash_size_kb', 'verify', 'programs'];
  const kProgramKeys = ['url', 'address', 'sha256'];
  const kAddress = /^(0[xX])?[0-9A-Fa-f]{1,8}$/;
  const kSha256 = /^[0-9A-Fa-f]{64}$/;
  const kOwnAddresses = 'FFFFFFFF';  // the address of a HEX file placed by its own addresses

  const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);
  const isText = (value) => typeof value === 'string' && value.trim() !== '';
  // A program's address in hexadecimal, as -p takes it.
  const isAddress = (text) => kAddress.test(text);

  // The file's name as the last part of its URL's path.
  function fileNameOf(url) {
    const last = url.pathname.split('/').pop();
    try {
      return decodeURIComponent(last);
    } catch (error) {
      return last;
    }
  }

  function checkUnknownKeys(value, allowed, where, problem) {
    for (const key of Object.keys(value)) {
      if (!allowed.includes(key)) problem('manifestUnknownKey', `${where}${key}`);
    }
  }

  function readProgram(value, index, baseUrl, problem) {
    const where = `programs[${index}]`;
    if (!isObject(value)) {
      problem('manifestNotObject', where);
      return null;
    }
    checkUnknownKeys(value, kProgramKeys, `${where}.`, problem);
    let url = null;
    if (!isText(value.url)) {
      problem('manifestText', `${where}.url`);
    } else {
      try {
        url = new URL(value.url, baseUrl);
      } catch (error) {
        url = null;
      }
      if (!url || !/^https?:$/.test(url.protocol)) {
        problem('manifestUrl', `${where}.url`, value.url);
        url = null;
      }
    }
    const hex = url !== null && /\.hex$/i.test(fileNameOf(url));
    let address = kOwnAddresses;
    if (value.address !== undefined) {
      if (typeof value.address !== 'string' || !isAddress(value.address)) {
        problem('manifestAddress', `${where}.address`, JSON.stringify(value.address));
      } else {
        address = value.address;
      }
    } else if (url !== null && !hex) {
      problem('manifestNeedsAddress', `${where}.address`, value.url);
    }
    if (typeof value.sha256 !== 'string' || !kSha256.test(value.sha256)) {
      problem('manifestSha256', `${where}.sha256`);
    }
    if (url === null) return null;
    return { label: value.url, url: url.href, fileName: fileNameOf(url), address,
             sha256: String(value.sha256).toLowerCase() };
  }

  // text: the manifest file; manifestUrl: where it came from (relative file
  // URLs are taken from there); label: how reasons name it.
  // { manifest, problems }; manifest is null when anything is wrong.
  function parse(text, manifestUrl, label) {
    const problems = [];
    const problem = (key, ...args) => problems.push({ key, args: [label, ...args] });
    let data;
    try {
      data = JSON.parse(text);
    } catch (error) {
      problem('manifestNotJson', error.message);
      return { manifest: null, problems };
    }
    if (!isObject(data)) {
      problem('manifestNotObject', '(top level)');
      return { manifest: null, problems };
    }
    checkUnknownKeys(data, kTopKeys, '', problem);
    for (const key of ['product', 'version']) {
      if (!isText(data[key])) problem('manifestText', key);
    }
    const flashSize = kFlashSizes[data.flash_size_kb];
    if (flashSize === undefined) problem('manifestFlashSize', 'flash_size_kb', JSON.stringify(data.flash_size_kb));
    if (data.verify !== undefined && typeof data.verify !== 'boolean') problem('manifestBoolean', 'verify');
    const programs = [];
    if (!Array.isArray(data.programs) || data.programs.length === 0) {
      problem('manifestNoPrograms', 'programs');
    } else {
      data.programs.forEach((value, index) => programs.push(readProgram(value, index, manifestUrl, problem)));
    }
    if (problems.length > 0) return { manifest: null, problems };
    return {
      manifest: { product: data.product, version: data.version, flashSize,
                  mode: data.verify === false ? '1' : '0', programs },
      problems,
    };
  }

  function hexOf(buffer) {
    return Array.from(new Uint8Array(buffer), (byte) => byte.toString(16).padStart(2, '0')).join('');
  }

  async function fetchBytes(url, label, problem) {
    let response;
    try {
      response = await fetch(url, { cache: 'no-cache' });
    } catch (error) {
      problem('fileFetchFailed', label, error.message || String(error));
      return null;
    }
    if (!response.ok) {
      problem('fileFetchFailed', label, `HTTP ${response.status}`);
      return null;
    }
    return new Uint8Array(await response.arrayBuffer());
  }

  // The manifest at url (resolved against the page), read and checked.
  // { manifest, problems }.
  async function load(url, label) {
    const problems = [];
    const problem = (key, ...args) => problems.push({ key, args });
    let absolute;
    try {
      absolute = new URL(url, location.href);
    } catch (error) {
      absolute = null;
    }
    if (!absolute || !/^https?:$/.test(absolute.protocol)) {
      problem('manifestFetchFailed', label, 'not an http:// or https:// URL');
      return { manifest: null, problems };
    }
    const bytes = await fetchBytes(absolute.href, label, (key, ...args) => problem('manifestFetchFailed', ...args));
    if (!bytes) return { manifest: null, problems };
    const parsed = parse(new TextDecoder().decode(bytes), absolute.href, label);
    if (parsed.manifest) keepOffline(absolute.href, bytes);
    return parsed;
  }

  // Every program's bytes, each checked against its SHA-256:
  // { files: [Uint8Array], problems }; files is null when anything is wrong.
  async function fetchFiles(manifest) {
    const problems = [];
    const problem = (key, ...args) => problems.push({ key, args });
    if (!(globalThis.crypto && crypto.subtle)) {
      problem('noDigest');
      return { files: null, problems };
    }
    const files = await Promise.all(manifest.programs.map(async (program) => {
      const bytes = await fetchBytes(program.url, program.label, problem);
      if (!bytes) return null;
      const actual = hexOf(await crypto.subtle.digest('SHA-256', bytes));
      if (actual !== program.sha256) {
        problem('fileHashMismatch', program.label, actual, program.sha256);
        return null;
      }
      return bytes;
    }));
    if (problems.length > 0) return { files: null, problems };
    manifest.programs.forEach((program, index) => keepOffline(program.url, files[index]));
    return { files, problems };
  }

  // Offline, a reload finds the manifest and its checked files here. The
  // page's own fetches may come before the service worker serves it, so the
  // page stores them itself; a browser without the Cache API just goes on.
  function keepOffline(url, bytes) {
    if (!globalThis.caches) return;
    caches.open(kOfflineCache)
      .then((cache) => cache.put(url, new Response(bytes)))
      .catch(() => {});
  }

  return { parse, load, fetchFiles, fileNameOf, isAddress, kOwnAddresses };
})();

// The node tests load this file as a module.
if (typeof module === 'object') module.exports = { UpdateManifest };
