// The demo page against the real service in both browsers Debian ships:
// Chromium (over CDP) and Firefox ESR (over WebDriver BiDi), opened from disk,
// and in Chromium also served as a public site under its Local Network Access
// rules. One table of scenarios, run in each browser.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

import { Service } from './service.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const web = path.resolve(here, '..');
const demo = pathToFileURL(path.join(web, 'demo.html')).href;
const FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking'];
// Long enough for both browsers to hold back new WebSockets to the closed
// port for seconds (Firefox: 7 attempts within 30 s reach 11 s).
const OUTAGE_MS = Number(process.env.KRV_OUTAGE_MS || 30000);

// The browsers as Debian ships them, with their default preferences.
const LAUNCH = {
  chromium: (extra = []) => puppeteer.launch({
    browser: 'chrome', executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
    args: [...FLAGS, ...extra],
  }),
  firefox: () => puppeteer.launch({
    browser: 'firefox', executablePath: process.env.FIREFOX || '/usr/bin/firefox-esr', headless: true,
  }),
};

const browsers = {};
let service;
let site; // the demo served over http, made a public address space for Chromium
let publicChromium;

before(async () => {
  for (const [name, launch] of Object.entries(LAUNCH))
    browsers[name] = await launch();
  site = http.createServer((request, response) => {
    const file = path.join(web, path.basename(new URL(request.url, 'http://x').pathname));
    try {
      response.end(readFileSync(file));
    } catch {
      response.writeHead(404).end();
    }
  }).listen(0, '127.0.0.1');
  await new Promise((resolve) => site.once('listening', resolve));
  // Chromium treats the page's address as public: reaching the loopback then
  // needs the local network permission. The port is part of the override.
  publicChromium = await LAUNCH.chromium([`--ip-address-space-overrides=127.0.0.1:${site.address().port}=public`]);
  service = new Service({ card: 'A' });
  await service.start();
});

after(async () => {
  for (const browser of [...Object.values(browsers), publicChromium])
    await browser?.close();
  site?.close();
  await service?.dispose();
});

async function openDemo(browser, { width = 900, url = demo } = {}) {
  const page = await browser.newPage();
  await page.setViewport({ width, height: 760 });
  await page.goto(url);
  return page;
}

async function connectedDemo(browser, options) {
  const page = await openDemo(browser, options);
  await page.waitForSelector('#state[data-state="open"]');
  return page;
}

const text = (page, selector) => page.$eval(selector, (element) => element.textContent);
const attribute = (page, selector, name) => page.$eval(selector, (element, n) => element.getAttribute(n), name);
const visible = (page, selector) => page.$eval(selector, (element) => element.checkVisibility());

// Clicks 读卡 and waits for what the page shows: a card of the kind or an error.
async function readOnce(page, timeout = 30000) {
  await page.click('#read');
  const shown = await page.waitForSelector('#card:not([hidden])[data-kind], #error:not([hidden])[data-code]', { timeout });
  return shown.evaluate((element) => element.dataset.kind || element.dataset.code);
}

// Sets a page's local network permission in Chromium.
async function setLocalNetworkPermission(browser, page, setting) {
  const cdp = await browser.target().createCDPSession();
  const origin = new URL(page.url()).origin;
  for (const name of ['local-network-access', 'loopback-network', 'local-network'])
    await cdp.send('Browser.setPermission', { permission: { name }, setting, origin });
}

const SAMPLES = {
  A: { kindText: '居民身份证', fields: { name: '吕𠮷晨', idNum: '990000199003071236', birthday: '1990-03-07', address: '北京市海淀区示例路100号模拟小区3号楼2单元501室', issueOrg: '示例市公安局模拟分局', effectDate: '2020-01-15', expireDate: '2040-01-15' } },
  J: { kindText: '港澳台居民居住证', fields: { name: '陈美玲', passNum: 'H00000001', passNo: '01', idNum: '990000198506120028' } },
  I: { kindText: '外国人永久居留身份证', fields: { chineseName: '安娜·示例', englishName: 'SAMPLE ANNA MARIA', nationCode: 'UTO', idCardVersion: '02' } },
};

// The README's pictures come from Chromium.
async function screenshot(page, browserName, name) {
  if (!process.env.KRV_SCREENSHOT_DIR || browserName !== 'chromium')
    return;
  mkdirSync(process.env.KRV_SCREENSHOT_DIR, { recursive: true });
  await page.screenshot({ path: path.join(process.env.KRV_SCREENSHOT_DIR, name), fullPage: true });
}

// Records every hint and error code the page shows from now on.
function recordCodes(page) {
  return page.evaluate(() => {
    window.shownCodes = [];
    const note = () => {
      for (const id of ['hint', 'error']) {
        const box = document.getElementById(id);
        if (!box.hidden && box.dataset.code && !window.shownCodes.includes(box.dataset.code))
          window.shownCodes.push(box.dataset.code);
      }
    };
    new MutationObserver(note).observe(document.body, { subtree: true, attributes: true, childList: true });
  });
}

const SCENARIOS = [
  ['one click reads each sample kind, in Chinese', async (browser, browserName) => {
    const page = await connectedDemo(browser);
    try {
      assert.equal(await attribute(page, 'html', 'lang'), 'zh-CN');
      assert.equal(await text(page, '#read'), '读卡');
      for (const [kind, sample] of Object.entries(SAMPLES)) {
        service.putCard(kind);
        assert.equal(await readOnce(page), kind);
        assert.equal(await text(page, '#kind'), sample.kindText);
        for (const [field, value] of Object.entries(sample.fields))
          assert.equal(await text(page, `#fields [data-field="${field}"]`), value, `${kind} ${field}`);
        await page.waitForFunction(() => {
          const img = document.getElementById('photo');
          return img.complete && img.naturalWidth > 0;
        });
        assert.match(await text(page, '#raw'), /"statuCode": 0/);
        if (kind === 'A')
          await screenshot(page, browserName, 'demo.png');
      }
      // English on request, card included.
      await page.click('#lang');
      assert.equal(await attribute(page, 'html', 'lang'), 'en');
      assert.equal(await text(page, '#read'), 'Read card');
      assert.match(await text(page, '#kind'), /Permanent residence/);
    } finally {
      service.putCard('A');
      await page.close();
    }
  }],

  ['at 390 px the ID number stays on one line', async (browser, browserName) => {
    const page = await connectedDemo(browser, { width: 390 });
    try {
      assert.equal(await readOnce(page), 'A');
      const box = await page.$eval('#fields [data-field="idNum"]', (element) => ({
        height: element.getBoundingClientRect().height,
        line: parseFloat(getComputedStyle(element).lineHeight),
        overflow: element.scrollWidth - element.clientWidth,
        right: element.getBoundingClientRect().right,
      }));
      assert.ok(box.height < 1.5 * box.line, JSON.stringify(box));
      assert.ok(box.overflow <= 0 && box.right <= 390, JSON.stringify(box));
      await screenshot(page, browserName, 'demo-390.png');
    } finally {
      await page.close();
    }
  }],

  ['a failed read leaves no earlier card on screen', async (browser) => {
    const page = await connectedDemo(browser);
    try {
      assert.equal(await readOnce(page), 'A');
      service.removeCard();
      assert.equal(await readOnce(page), '-3');
      const error = await text(page, '#error');
      assert.match(error, /读卡失败.*错误 -3：读取证件信息失败，错误代码：1/s);
      // The title stands apart from the advice under it.
      assert.equal(await page.$eval('#error strong', (element) => getComputedStyle(element).display), 'block');
      assert.equal(await visible(page, '#card'), false);
      assert.equal(await page.$$eval('#fields dd', (list) => list.length), 0);
      assert.equal(await attribute(page, '#photo', 'src'), null);
    } finally {
      service.putCard('A');
      await page.close();
    }
  }],

  ['a page closing the reader every 200 ms does not undo the desk\'s', async (browser) => {
    const page = await connectedDemo(browser);
    const hostile = await browser.newPage();
    try {
      await hostile.evaluate(() => new Promise((resolve, reject) => {
        const socket = new WebSocket('ws://127.0.0.1:35561');
        socket.onopen = () => {
          setInterval(() => socket.send('{"cmd":"close_device"}'), 200);
          resolve();
        };
        socket.onerror = reject;
      }));
      await page.bringToFront(); // a tab in the background is not rendered
      for (let i = 0; i < 10; ++i)
        assert.equal(await readOnce(page), 'A', `read ${i + 1}`);
    } finally {
      await hostile.close();
      await page.close();
    }
  }],

  ['says the service is not running, and reconnects when it is back', async (browser) => {
    const page = await connectedDemo(browser);
    try {
      await recordCodes(page);
      await service.stop();
      await page.waitForSelector('#hint[data-code="UNREACHABLE"]');
      // Between attempts (a service slow to exit may still accept them for a while).
      await page.waitForFunction(() => document.getElementById('state').textContent === '未连接');
      assert.match(await text(page, '#hint'), /读卡服务未运行/);
      assert.equal(await readOnce(page), 'UNREACHABLE');

      await service.start();
      await page.waitForSelector('#state[data-state="open"]', { timeout: 15000 });
      assert.equal(await visible(page, '#hint'), false);
      assert.equal(await readOnce(page), 'A');
      // A page from disk never waits on a permission prompt.
      assert.deepEqual(await page.evaluate(() => window.shownCodes), ['UNREACHABLE']);
    } finally {
      await page.close();
    }
  }],

  ['a public page: blocked without the permission, reads with it', async () => {
    const url = `http://127.0.0.1:${site.address().port}/demo.html`;
    const page = await openDemo(publicChromium, { url });
    try {
      await setLocalNetworkPermission(publicChromium, page, 'denied');
      const code = await page.evaluate(() =>
        new KrvReader.CardReaderClient({ timeout: 10000 }).closeDevice().then(() => 'answered', (error) => error.code));
      assert.equal(code, 'BLOCKED'); // told at once, not a TIMEOUT after 10 s
      assert.equal(await readOnce(page), 'BLOCKED');
      assert.match(await text(page, '#error'), /浏览器阻止了本页访问本机的读卡服务/);
      assert.doesNotMatch(await text(page, '#error'), /未运行/);

      await setLocalNetworkPermission(publicChromium, page, 'granted');
      assert.equal(await readOnce(page), 'A');
    } finally {
      await page.close();
    }
  }, 'chromium'],
];

for (const browserName of Object.keys(LAUNCH)) {
  describe(browserName, () => {
    for (const [name, run, only] of SCENARIOS)
      test(name, { skip: only && only !== browserName ? `${only} only` : false }, () => run(browsers[browserName], browserName));
  });
}

// Both browsers at once, through one outage: long enough that each holds back
// new WebSockets to the closed port, which a page must not wait out.
test('after a long outage a click fails at once, and reads as soon as the service is back', async (t) => {
  const pages = {};
  for (const [name, browser] of Object.entries(browsers)) {
    pages[name] = await connectedDemo(browser);
    await recordCodes(pages[name]);
  }
  try {
    await service.stop();
    await new Promise((resolve) => setTimeout(resolve, OUTAGE_MS));
    await Promise.all(Object.entries(pages).map(async ([name, page]) => {
      const started = Date.now();
      assert.equal(await readOnce(page, 15000), 'UNREACHABLE', name);
      const took = Date.now() - started;
      t.diagnostic(`${name}: a click while the service is down failed after ${took} ms`);
      assert.ok(took < 2000, `${name}: ${took} ms`);
    }));

    await service.start();
    const back = Date.now();
    await Promise.all(Object.entries(pages).map(async ([name, page]) => {
      assert.equal(await readOnce(page, 15000), 'A', name);
      t.diagnostic(`${name}: a click once the service was back read the card after ${Date.now() - back} ms`);
      assert.equal(await text(page, '#state'), '已连接', name);
      assert.ok(!(await page.evaluate(() => window.shownCodes)).includes('PERMISSION_PENDING'), name);
    }));
  } finally {
    for (const page of Object.values(pages))
      await page.close();
  }
});
