// The desk's page beside a hostile page in the same browser, in Chromium and
// in Firefox ESR as Debian ships them: the demo on one loopback origin reads
// a card every 200 ms (click to card shown) while a page on another origin
// attacks the service. Prints a Markdown section for bench/RESULTS.md; run by
// bench/run.py when node, the browsers and web/node_modules are there.
//
// There is no floor here: the bare Qt server cannot answer the demo.
import { createRequire } from 'node:module';
import { readFileSync } from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { Service } from '../web/test/service.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const web = path.resolve(here, '../web');
const puppeteer = createRequire(path.join(web, 'package.json'))('puppeteer-core');
const SECONDS = Number(process.env.KRV_BROWSER_SECONDS || 15);
// A real reader takes about a second a read: the same pages at that pace too.
const PACE_MS = 1000;

const LAUNCH = {
  Chromium: () => puppeteer.launch({
    browser: 'chrome', executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking'],
  }),
  'Firefox ESR': () => puppeteer.launch({
    browser: 'firefox', executablePath: process.env.FIREFOX || '/usr/bin/firefox-esr', headless: true,
  }),
};

// What the hostile page does, in a worker of its own so that a tab in the
// background keeps its pace. Sockets closed by the service are opened again.
const flooding = (sockets) => `
    const open = () => {
      const socket = new WebSocket('ws://127.0.0.1:35561');
      const flood = () => { while (socket.readyState === 1 && socket.bufferedAmount < 65536)
        socket.send('{"cmd":"read_card_info"}'); };
      socket.onopen = () => { socket.send('{"cmd":"open_device"}'); flood(); };
      socket.onmessage = flood;
      socket.onclose = () => setTimeout(open, 10);
    };
    for (let i = 0; i < ${sockets}; ++i) open();`;
const ATTACKS = {
  'none': null,
  'one socket flooding read_card_info': flooding(1),
  '16 sockets flooding read_card_info': flooding(16),
  'as many sockets as the browser allows': `
    let open = 0;
    const more = () => {
      const socket = new WebSocket('ws://127.0.0.1:35561');
      socket.onopen = () => { ++open; more(); };
      socket.onclose = () => { setTimeout(more, 50); };
    };
    more();`,
  'close_device every 200 ms': `
    const socket = new WebSocket('ws://127.0.0.1:35561');
    socket.onopen = () => setInterval(() => socket.send('{"cmd":"close_device"}'), 200);`,
};

function rssKiB(pid) {
  let total = 0;
  let pids = [pid];
  try {
    pids = pids.concat(readFileSync(`/proc/${pid}/task/${pid}/children`, 'utf8').split(/\s+/).filter(Boolean).map(Number));
  } catch { /* gone */ }
  for (const each of pids) {
    try {
      const match = /VmRSS:\s+(\d+)/.exec(readFileSync(`/proc/${each}/status`, 'utf8'));
      total += match ? Number(match[1]) : 0;
    } catch { /* gone */ }
  }
  return total;
}

// The demo (and the scripts beside it), or a blank page: each on an origin of its own.
function serve(demo) {
  const server = http.createServer((request, response) => {
    const name = path.basename(new URL(request.url, 'http://x').pathname);
    if (!demo) {
      response.end('<!doctype html><title>elsewhere</title>');
      return;
    }
    try {
      response.setHeader('Content-Type', name.endsWith('.js') ? 'text/javascript' : 'text/html; charset=utf-8');
      response.end(readFileSync(path.join(web, name)));
    } catch {
      response.writeHead(404).end();
    }
  }).listen(0, '127.0.0.1');
  return new Promise((resolve) => server.once('listening', () => resolve(server)));
}

// In the demo: clicks 读卡 every 200 ms for so many seconds; each click's
// milliseconds to the card shown, or what went wrong.
function deskReads(seconds) {
  const shown = () => new Promise((resolve) => {
    const look = () => {
      const card = document.querySelector('#card:not([hidden])[data-kind]');
      const error = document.querySelector('#error:not([hidden])[data-code]');
      if (card || error) {
        observer.disconnect();
        clearTimeout(timer);
        resolve(card ? null : error.dataset.code);
      }
    };
    const observer = new MutationObserver(look);
    observer.observe(document.body, { subtree: true, attributes: true, childList: true });
    const timer = setTimeout(() => { observer.disconnect(); resolve('TIMEOUT'); }, 5000);
  });
  return (async () => {
    const times = [];
    const failures = [];
    const end = performance.now() + seconds * 1000;
    while (performance.now() < end) {
      const started = performance.now();
      const result = shown();
      document.getElementById('read').click();
      const failure = await result;
      if (failure)
        failures.push(failure);
      else
        times.push(performance.now() - started);
      await new Promise((resolve) => setTimeout(resolve, Math.max(0, 200 - (performance.now() - started))));
    }
    return { times, failures };
  })();
}

// In the demo: two close_device started together on a client of its own
// (Promise.all), so many times; each pair's milliseconds. Within a page's
// burst of messages.
function twoInFlight(rounds) {
  return (async () => {
    const client = new KrvReader.CardReaderClient();
    await new Promise((resolve) => {
      const look = () => client.state === 'open' && resolve();
      client.addEventListener('statechange', look);
      look();
    });
    const times = [];
    for (let i = 0; i < rounds; ++i) {
      const started = performance.now();
      await Promise.all([client.closeDevice(), client.closeDevice()]);
      times.push(performance.now() - started);
    }
    client.close();
    return times;
  })();
}

const median = (list) => {
  const sorted = [...list].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.floor(sorted.length / 2)] : NaN;
};

async function main() {
  const desk = await serve(true);
  const elsewhere = await serve(false);
  const rows = [];
  const pairs = [];
  // KRV_BROWSERS and KRV_ATTACKS pick some by a part of their names.
  const picked = (name, variable) => !process.env[variable] || name.includes(process.env[variable]);
  for (const [browserName, launch] of Object.entries(LAUNCH).filter(([name]) => picked(name, 'KRV_BROWSERS'))) {
    const browser = await launch();
    try {
      const runs = [
        ...Object.keys(ATTACKS).filter((name) => name !== 'one socket flooding read_card_info')
          .map((attack) => [0, attack]),
        ...['none', 'one socket flooding read_card_info', '16 sockets flooding read_card_info']
          .map((attack) => [PACE_MS, attack]),
      ].filter(([, name]) => picked(name, 'KRV_ATTACKS'));
      for (const [pace, attack] of runs) {
        const code = ATTACKS[attack];
        const service = new Service({ card: 'A', env: pace ? { KRSIM_READ_DELAY_MS: String(pace) } : {} });
        await service.start();
        let peak = 0;
        const sampler = setInterval(() => { peak = Math.max(peak, rssKiB(service.process.pid)); }, 100);
        const hostile = await browser.newPage();
        const page = await browser.newPage();
        try {
          if (code) {
            await hostile.goto(`http://127.0.0.1:${elsewhere.address().port}/`);
            await hostile.evaluate((source) => {
              window.attack = new Worker(URL.createObjectURL(new Blob([source])));
            }, code);
          }
          await page.goto(`http://127.0.0.1:${desk.address().port}/demo.html`);
          await page.bringToFront(); // a tab in the background is not rendered
          await page.waitForSelector('#state[data-state="open"]', { timeout: 60000 });
          const { times, failures } = await page.evaluate(deskReads, SECONDS);
          if (!code && !pace)
            pairs.push({ browserName, median: median(await page.evaluate(twoInFlight, 40)) });
          rows.push({ browserName, pace, attack, median: median(times), max: Math.max(...times),
                      answered: times.length, failures, peakMiB: peak / 1024 });
          const row = rows[rows.length - 1];
          console.error(`${browserName.padEnd(12)} ${pace ? 'paced ' : ''}${attack.padEnd(40)} median ${row.median.toFixed(1)} ms, ` +
                        `slowest ${row.max.toFixed(1)} ms, ${row.answered} cards, failed ${failures.length} ` +
                        `${failures.join(' ')}, peak ${row.peakMiB.toFixed(0)} MiB`);
        } finally {
          clearInterval(sampler);
          await hostile.close();
          await page.close();
          await service.dispose();
        }
      }
    } finally {
      await browser.close();
    }
  }
  desk.close();
  elsewhere.close();

  const lines = ['## The desk\'s page beside a hostile page, in the browsers', '',
    `The demo (one loopback origin) clicks 读卡 every 200 ms for ${SECONDS} s while a page of another ` +
    'origin in the same browser attacks the service from a worker; a click counts from the click to ' +
    'the card shown. Memory of service and reader host together. The reader answers at once, or ' +
    `at a real reader's pace (${PACE_MS} ms a read), where the reader itself is what the pages ` +
    'share. There is no floor: the bare Qt server cannot answer the demo.', '',
    '| browser | reader | hostile page | cards | median ms | slowest ms | failed | service peak |',
    '| --- | --- | --- | ---: | ---: | ---: | ---: | ---: |'];
  const reader = (r) => r.pace ? `${r.pace} ms a read` : 'at once';
  for (const r of rows)
    lines.push(`| ${r.browserName} | ${reader(r)} | ${r.attack} | ${r.answered} | ${r.median.toFixed(1)} | ` +
               `${r.max.toFixed(1)} | ${r.failures.length} | ${r.peakMiB.toFixed(0)} MiB |`);
  lines.push('', '| target | reached | |', '| --- | ---: | --- |');
  for (const r of rows.filter((each) => each.attack !== 'none')) {
    // At a reader's pace the desk waits for the read in progress and its own.
    const [median, slowest] = r.pace ? [2 * r.pace + 500, 2 * r.pace + 500] : [50, 1000];
    const ok = r.median <= median && r.max <= slowest && r.failures.length === 0;
    lines.push(`| ${r.browserName}, ${reader(r)}, ${r.attack}: median at most ${median} ms, slowest ` +
               `at most ${slowest} ms, none failed | ${r.median.toFixed(1)} / ${r.max.toFixed(0)} ms / ` +
               `${r.failures.length} | ${ok ? 'met' : '**missed**'} |`);
  }
  for (const pair of pairs)
    lines.push(`| ${pair.browserName}, two calls in flight (Promise.all of two closeDevice, median of 40): ` +
               `at most 1 ms | ${pair.median.toFixed(2)} ms | ${pair.median <= 1 ? 'met' : '**missed**'} |`);
  lines.push('', 'Firefox gives pages its clock in steps of a millisecond, Chromium in steps of 0.1 ms.');
  console.log(lines.join('\n') + '\n');
}

await main();
