// The page's own texts, English and Chinese. {0}, {1} stand for arguments.
// The reasons the core gives come with both texts of their own.
'use strict';

const PageTexts = {
  en: {
    title: 'Orvel DFU',
    subtitle: 'Flash Orvel chips through their ROM bootloader, from the browser, over WebHID.',
    programs: 'Programs',
    address: 'Address (hex)',
    addressHint: 'Raw binary: required. Intel HEX: leave empty to keep the file\u2019s own addresses.',
    addFiles: 'Add program files',
    dropHint: '\u2026or drop program files anywhere on this page.',
    noPrograms: 'No program yet.',
    remove: 'Remove',
    formatHex: 'Intel HEX',
    formatBin: 'raw binary',
    fileAddresses: 'the file\u2019s own addresses',
    chip: 'Chip',
    flashSize: 'Flash size',
    size0: '256 KB (program area 252 KB)',
    size1: '512 KB (program area 508 KB)',
    size2: '1 MB (program area 1020 KB)',
    mode: 'Mode',
    mode0: 'Download, then read back and verify',
    mode1: 'Download only',
    device: 'Device',
    virtualChip: 'Try without a board (a virtual chip in this page)',
    connect: 'Choose the bootloader\u2026',
    flash: 'Flash',
    noDevice: 'No bootloader chosen yet.',
    deviceChosen: 'Bootloader: {0}',
    virtualDevice: 'Virtual chip with {0} KB of flash',
    flashing: 'Flashing\u2026',
    done: 'Flashed and verified in {0} s.',
    doneUnverified: 'Flashed (not verified) in {0} s.',
    failed: 'Flashing failed after {0} s. The chip was not restarted: it stays in its bootloader.',
    refused: 'Not flashed: the programs or settings were refused.',
    download: 'Download the virtual chip\u2019s flash',
    console: 'Console output',
    webhidNote: 'WebHID works in Chrome, Edge and Opera on desktops, not in Firefox or Safari. ' +
                'On Linux the browser opens the device only with the project\u2019s udev rule installed.',
    error: 'Error: ',
    warning: 'Warning: ',
    note: 'Note: ',
    needsAddress: '{0}: a raw binary file needs an address; type it in the address field, then add the file again.',
    unreadable: '{0}: the file could not be read ({1}).',
    notBootloader: 'The chosen device {0} is not an Orvel bootloader: its product ID is {1}, a bootloader\u2019s is 0xC081. Choose the bootloader.',
    noWebHid: 'This browser has no WebHID: use Chrome, Edge or Opera on a desktop, or try the virtual chip.',
    chooserFailed: 'The device chooser failed: {0}',
    noneChosen: 'No device was chosen.',
    optionsRefused: 'The programs or settings were refused.',
    jobFailed: 'The DFU job failed.',
    pageFailed: 'The page failed: {0}. Reload it to try again.',
  },
  zh: {
    title: 'Orvel DFU',
    subtitle: '在浏览器中通过 WebHID 和 ROM 引导程序烧录 Orvel 芯片。',
    programs: '程序',
    address: '地址（十六进制）',
    addressHint: '二进制文件：必须填写。Intel HEX 文件：留空则使用文件自带的地址。',
    addFiles: '添加程序文件',
    dropHint: '……或把程序文件拖放到本页任意位置。',
    noPrograms: '尚未添加程序。',
    remove: '移除',
    formatHex: 'Intel HEX',
    formatBin: '二进制',
    fileAddresses: '文件自带地址',
    chip: '芯片',
    flashSize: 'Flash 大小',
    size0: '256 KB（程序区 252 KB）',
    size1: '512 KB（程序区 508 KB）',
    size2: '1 MB（程序区 1020 KB）',
    mode: '模式',
    mode0: '下载后读取校验',
    mode1: '仅下载',
    device: '设备',
    virtualChip: '无开发板试用（本页中的虚拟芯片）',
    connect: '选择引导程序…',
    flash: '烧录',
    noDevice: '尚未选择引导程序。',
    deviceChosen: '引导程序：{0}',
    virtualDevice: '虚拟芯片，Flash {0} KB',
    flashing: '正在烧录…',
    done: '烧录并校验成功，用时 {0} 秒。',
    doneUnverified: '烧录成功（未校验），用时 {0} 秒。',
    failed: '烧录失败，用时 {0} 秒。芯片未重启，仍停留在引导程序中。',
    refused: '未烧录：程序或设置被拒绝。',
    download: '下载虚拟芯片的 Flash 内容',
    console: '控制台输出',
    webhidNote: 'WebHID 可用于桌面版 Chrome、Edge 和 Opera，不可用于 Firefox 和 Safari。' +
                '在 Linux 上，需安装本项目的 udev 规则，浏览器才能打开设备。',
    error: '错误：',
    warning: '警告：',
    note: '提示：',
    needsAddress: '{0}：二进制文件需要地址；请先在地址栏填写地址，再添加该文件。',
    unreadable: '{0}：无法读取文件（{1}）。',
    notBootloader: '所选设备 {0} 不是 Orvel 引导程序：其产品 ID 为 {1}，引导程序的产品 ID 为 0xC081。请选择引导程序。',
    noWebHid: '此浏览器不支持 WebHID：请使用桌面版 Chrome、Edge 或 Opera，或试用虚拟芯片。',
    chooserFailed: '设备选择失败：{0}',
    noneChosen: '未选择设备。',
    optionsRefused: '程序或设置被拒绝。',
    jobFailed: 'DFU 任务失败。',
    pageFailed: '页面出错：{0}。请重新加载页面后再试。',
  },
};

// {0}..{9} replaced by the arguments; a placeholder without one stays.
function fillText(template, args) {
  return template.replace(/\{(\d)\}/g, (whole, digit) => (digit < args.length ? String(args[digit]) : whole));
}

// Chinese for a browser that prefers simplified Chinese, English otherwise.
function preferredLanguage(tags) {
  const first = (tags && tags[0]) || 'en';
  return /^zh(-(CN|SG|Hans)\b.*)?$/i.test(first) ? 'zh' : 'en';
}

// The node tests load this file as a module.
if (typeof module === 'object') module.exports = { PageTexts, fillText, preferredLanguage };
