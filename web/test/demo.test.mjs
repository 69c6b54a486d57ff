// The demo page, opened from disk in Debian's Chromium, against the real service.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

import { Service } from './service.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const demo = pathToFileURL(path.resolve(here, '../demo.html')).href;

let browser;
let service;

before(async () => {
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking'],
  });
  service = new Service({ card: 'A' });
  await service.start();
});

after(async () => {
  await browser?.close();
  await service?.dispose();
});

async function openDemo() {
  const page = await browser.newPage({ viewport: { width: 900, height: 720 } });
  await page.goto(demo);
  await page.locator('#state[data-state="open"]').waitFor();
  return page;
}

const SAMPLES = {
  A: { kindText: 'Resident identity card', fields: { name: '吕𠮷晨', idNum: '990000199003071236', birthday: '1990-03-07', address: '北京市海淀区示例路100号模拟小区3号楼2单元501室', issueOrg: '示例市公安局模拟分局', effectDate: '2020-01-15', expireDate: '2040-01-15' } },
  J: { kindText: 'Residence permit', fields: { name: '陈美玲', passNum: 'H00000001', passNo: '01', idNum: '990000198506120028' } },
  I: { kindText: 'Permanent residence', fields: { chineseName: '安娜·示例', englishName: 'SAMPLE ANNA MARIA', nationCode: 'UTO', idCardVersion: '02' } },
};

test('reads each sample kind and shows its fields and photo', async () => {
  const page = await openDemo();
  try {
    await page.click('#open');
    await page.locator('#notice', { hasText: 'The reader is open' }).waitFor();
    for (const [kind, sample] of Object.entries(SAMPLES)) {
      service.putCard(kind);
      await page.click('#read');
      await page.locator(`#card[data-kind="${kind}"]`).waitFor();
      assert.match(await page.textContent('#kind'), new RegExp(sample.kindText));
      for (const [field, value] of Object.entries(sample.fields))
        assert.equal(await page.textContent(`#fields [data-field="${field}"]`), value, `${kind} ${field}`);
      await page.waitForFunction(() => {
        const img = document.getElementById('photo');
        return img.complete && img.naturalWidth > 0;
      });
      const width = await page.$eval('#photo', (img) => img.naturalWidth);
      assert.ok(width > 0);
      assert.match(await page.textContent('#raw'), /"statuCode": 0/);
      if (kind === 'A' && process.env.KRV_SCREENSHOT_DIR) {
        mkdirSync(process.env.KRV_SCREENSHOT_DIR, { recursive: true });
        await page.screenshot({ path: path.join(process.env.KRV_SCREENSHOT_DIR, 'demo.png'), fullPage: true });
      }
    }
  } finally {
    await page.close();
  }
});

test('no card on the reader shows the read error and its code', async () => {
  const page = await openDemo();
  try {
    service.removeCard();
    await page.click('#open');
    await page.locator('#notice', { hasText: 'The reader is open' }).waitFor();
    await page.click('#read');
    const error = page.locator('#error[data-code="-3"]');
    await error.waitFor();
    const text = await error.textContent();
    assert.match(text, /Error -3/);
    assert.match(text, /could not be read/);
    assert.match(text, /读取证件信息失败，错误代码：1/);
    assert.equal(await page.isVisible('#card'), false);
  } finally {
    service.putCard('A');
    await page.close();
  }
});

test('says when the service is not running and reconnects when it is back', async () => {
  const page = await openDemo();
  try {
    assert.equal(await page.isVisible('#hint'), false);
    await service.stop();
    await page.locator('#state[data-state="closed"]').waitFor();
    assert.equal(await page.textContent('#state'), 'Service not running');
    assert.equal(await page.isVisible('#hint'), true);
    assert.match(await page.textContent('#hint'), /scripts\/run\.sh/);

    await service.start();
    await page.locator('#state[data-state="open"]').waitFor({ timeout: 15000 });
    assert.equal(await page.isVisible('#hint'), false);
    await page.click('#open');
    await page.click('#read');
    await page.locator('#card[data-kind="A"]').waitFor();
  } finally {
    await page.close();
  }
});
