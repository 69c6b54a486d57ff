// The demo page in Debian's Chromium against the real service: opened from
// disk, and served as a public site under Chromium's Local Network Access rules.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

import { Service } from './service.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const web = path.resolve(here, '..');
const demo = pathToFileURL(path.join(web, 'demo.html')).href;
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking'];

let browser;
let service;
let site; // the demo served over http, made a public address space for Chromium
let publicBrowser;

function launch(extra = []) {
  return chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', args: [...FLAGS, ...extra] });
}

before(async () => {
  browser = await launch();
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
  publicBrowser = await launch([`--ip-address-space-overrides=127.0.0.1:${site.address().port}=public`]);
  service = new Service({ card: 'A' });
  await service.start();
});

after(async () => {
  await browser?.close();
  await publicBrowser?.close();
  site?.close();
  await service?.dispose();
});

async function openDemo({ width = 900, target = browser, url = demo } = {}) {
  const page = await target.newPage({ viewport: { width, height: 760 } });
  await page.goto(url);
  return page;
}

async function connectedDemo(options) {
  const page = await openDemo(options);
  await page.locator('#state[data-state="open"]').waitFor();
  return page;
}

// Sets the page's local network permission in its browser context.
async function setLocalNetworkPermission(page, setting) {
  const session = await page.context().newCDPSession(page);
  const { targetInfo } = await session.send('Target.getTargetInfo');
  const cdp = await page.context().browser().newBrowserCDPSession();
  const origin = new URL(page.url()).origin;
  for (const name of ['local-network-access', 'loopback-network', 'local-network'])
    await cdp.send('Browser.setPermission', { permission: { name }, setting, origin, browserContextId: targetInfo.browserContextId });
}

const SAMPLES = {
  A: { kindText: '居民身份证', fields: { name: '吕𠮷晨', idNum: '990000199003071236', birthday: '1990-03-07', address: '北京市海淀区示例路100号模拟小区3号楼2单元501室', issueOrg: '示例市公安局模拟分局', effectDate: '2020-01-15', expireDate: '2040-01-15' } },
  J: { kindText: '港澳台居民居住证', fields: { name: '陈美玲', passNum: 'H00000001', passNo: '01', idNum: '990000198506120028' } },
  I: { kindText: '外国人永久居留身份证', fields: { chineseName: '安娜·示例', englishName: 'SAMPLE ANNA MARIA', nationCode: 'UTO', idCardVersion: '02' } },
};

async function screenshot(page, name) {
  if (!process.env.KRV_SCREENSHOT_DIR)
    return;
  mkdirSync(process.env.KRV_SCREENSHOT_DIR, { recursive: true });
  await page.screenshot({ path: path.join(process.env.KRV_SCREENSHOT_DIR, name), fullPage: true });
}

test('one click reads each sample kind, in Chinese', async () => {
  const page = await connectedDemo();
  try {
    assert.equal(await page.getAttribute('html', 'lang'), 'zh-CN');
    assert.equal(await page.textContent('#read'), '读卡');
    for (const [kind, sample] of Object.entries(SAMPLES)) {
      service.putCard(kind);
      await page.click('#read');
      await page.locator(`#card[data-kind="${kind}"]`).waitFor();
      assert.equal(await page.textContent('#kind'), sample.kindText);
      for (const [field, value] of Object.entries(sample.fields))
        assert.equal(await page.textContent(`#fields [data-field="${field}"]`), value, `${kind} ${field}`);
      await page.waitForFunction(() => {
        const img = document.getElementById('photo');
        return img.complete && img.naturalWidth > 0;
      });
      assert.match(await page.textContent('#raw'), /"statuCode": 0/);
      if (kind === 'A')
        await screenshot(page, 'demo.png');
    }
    // English on request, card included.
    await page.click('#lang');
    assert.equal(await page.getAttribute('html', 'lang'), 'en');
    assert.equal(await page.textContent('#read'), 'Read card');
    assert.match(await page.textContent('#kind'), /Permanent residence/);
  } finally {
    service.putCard('A');
    await page.close();
  }
});

test('at 390 px the ID number stays on one line', async () => {
  const page = await connectedDemo({ width: 390 });
  try {
    await page.click('#read');
    const idNum = page.locator('#fields [data-field="idNum"]');
    await idNum.waitFor();
    const box = await idNum.evaluate((element) => ({
      height: element.getBoundingClientRect().height,
      line: parseFloat(getComputedStyle(element).lineHeight),
      overflow: element.scrollWidth - element.clientWidth,
      right: element.getBoundingClientRect().right,
    }));
    assert.ok(box.height < 1.5 * box.line, JSON.stringify(box));
    assert.ok(box.overflow <= 0 && box.right <= 390, JSON.stringify(box));
    await screenshot(page, 'demo-390.png');
  } finally {
    await page.close();
  }
});

test('a failed read leaves no earlier card on screen', async () => {
  const page = await connectedDemo();
  try {
    await page.click('#read');
    await page.locator('#card[data-kind="A"]').waitFor();
    service.removeCard();
    await page.click('#read');
    const error = page.locator('#error[data-code="-3"]');
    await error.waitFor();
    assert.match(await error.textContent(), /读卡失败.*错误 -3：读取证件信息失败，错误代码：1/s);
    assert.equal(await page.isVisible('#card'), false);
    assert.equal(await page.locator('#fields dd').count(), 0);
    assert.equal(await page.getAttribute('#photo', 'src'), null);
  } finally {
    service.putCard('A');
    await page.close();
  }
});

test('says the service is not running, and reconnects when it is back', async () => {
  const page = await connectedDemo();
  try {
    await service.stop();
    await page.locator('#hint[data-code="UNREACHABLE"]').waitFor();
    assert.equal(await page.textContent('#state'), '未连接');
    assert.match(await page.textContent('#hint'), /读卡服务未运行/);
    await page.click('#read');
    await page.locator('#error[data-code="UNREACHABLE"]').waitFor();

    await service.start();
    await page.locator('#state[data-state="open"]').waitFor({ timeout: 15000 });
    assert.equal(await page.isVisible('#hint'), false);
    await page.click('#read');
    await page.locator('#card[data-kind="A"]').waitFor();
  } finally {
    await page.close();
  }
});

test('a public page: blocked without the permission, reads with it', async () => {
  const url = `http://127.0.0.1:${site.address().port}/demo.html`;
  const page = await openDemo({ target: publicBrowser, url });
  try {
    await setLocalNetworkPermission(page, 'denied');
    const code = await page.evaluate(() =>
      new KrvReader.CardReaderClient({ timeout: 10000 }).closeDevice().then(() => 'answered', (error) => error.code));
    assert.equal(code, 'BLOCKED'); // told at once, not a TIMEOUT after 10 s
    await page.click('#read');
    await page.locator('#error[data-code="BLOCKED"]').waitFor();
    assert.match(await page.textContent('#error'), /浏览器阻止了本页访问本机的读卡服务/);
    assert.doesNotMatch(await page.textContent('#error'), /未运行/);

    await setLocalNetworkPermission(page, 'granted');
    await page.click('#read');
    await page.locator('#card[data-kind="A"]').waitFor();
  } finally {
    await page.close();
  }
});
