// The client module against the real service and the simulator.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import WebSocket from 'ws';

import { CardReaderClient, CardReaderError, photoDataUrl, cardKind, isCard, kindName } from '../index.js';
import { FakeCardService, SAMPLE_CARDS } from '../testing.js';
import { PORT, Service } from './service.mjs';

function client(options = {}) {
  return new CardReaderClient({ WebSocket, reconnect: { initialDelay: 50, maxDelay: 200 }, ...options });
}

function waitForState(reader, state, timeout = 10000) {
  if (reader.state === state)
    return Promise.resolve();
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no "${state}" within ${timeout} ms`)), timeout);
    reader.addEventListener('statechange', function listener(event) {
      if (event.detail.state !== state)
        return;
      clearTimeout(timer);
      reader.removeEventListener('statechange', listener);
      resolve();
    });
  });
}

async function rejectsWith(promise, code) {
  let caught;
  await assert.rejects(promise, (error) => {
    assert.ok(error instanceof CardReaderError, `not a CardReaderError: ${error}`);
    assert.equal(error.code, code);
    assert.ok(error.explanation.length > 10);
    caught = error;
    return true;
  });
  return caught;
}

describe('commands', { concurrency: false }, () => {
  test('open, read each sample kind, close', async () => {
    const service = new Service({ card: 'A' });
    await service.start();
    const reader = client();
    try {
      const opened = await reader.openDevice();
      assert.equal(opened.statuCode, 0);
      assert.equal(opened.message, '连接设备成功!');
      assert.equal(opened.krvRequestId, undefined, 'the client strips its own member');

      const expected = {
        A: { kind: 'A', field: 'name', value: '吕𠮷晨', mime: 'image/jpeg' },
        J: { kind: 'J', field: 'passNum', value: 'H00000001', mime: 'image/png' },
        I: { kind: 'I', field: 'englishName', value: 'SAMPLE ANNA MARIA', mime: 'image/jpeg' },
      };
      for (const [kind, want] of Object.entries(expected)) {
        service.putCard(kind);
        const card = await reader.readCard();
        assert.equal(Object.keys(card).length, 20);
        assert.equal(cardKind(card), want.kind);
        assert.ok(isCard(card));
        assert.equal(card[want.field], want.value);
        assert.ok(photoDataUrl(card.photo).startsWith(`data:${want.mime};base64,`));
        assert.ok(kindName(card));
      }

      const closed = await reader.closeDevice();
      assert.deepEqual([closed.statuCode, closed.result, closed.message], [0, 0, '关闭设备成功!']);
    } finally {
      reader.close();
      await service.dispose();
    }
  });

  test('service errors reject with code, message and explanation', async () => {
    const service = new Service({ card: null, env: { KRSIM_OPEN_RESULT: '-5' } });
    await service.start();
    const reader = client();
    try {
      await assert.rejects(reader.openDevice(), (error) => {
        assert.equal(error.code, -2);
        assert.equal(error.serviceMessage, '连接设备失败，错误代码：-5');
        assert.match(error.explanation, /could not be opened/);
        assert.equal(error.reply.statuCode, -2);
        return true;
      });
      // The device stayed closed and no card lies on the reader: read fails.
      await rejectsWith(reader.readCard(), -3);
      await rejectsWith(reader.send('no_such_command'), -4);
    } finally {
      reader.close();
      await service.dispose();
    }
  });

  test('an unrecognised record reads as an empty card', async () => {
    const service = new Service({ card: null });
    service.putCardText('X:unknown');
    await service.start();
    const reader = client();
    try {
      await reader.openDevice();
      const card = await reader.readCard();
      assert.deepEqual(card, {});
      assert.equal(cardKind(card), null);
      assert.equal(isCard(card), false);
    } finally {
      reader.close();
      await service.dispose();
    }
  });

  test('concurrent calls are matched to their own replies', async () => {
    // A slow reader keeps several calls in flight at once.
    const service = new Service({ card: 'J', env: { KRSIM_READ_DELAY_MS: '150' } });
    await service.start();
    const reader = client();
    try {
      await reader.openDevice();
      const calls = [];
      for (let i = 0; i < 12; i++) {
        const kind = ['open_device', 'read_card_info', 'close_device', 'bogus'][i % 4];
        calls.push(reader.send(kind, { n: i }).then(
          (reply) => ({ i, kind, reply }), (error) => ({ i, kind, error })));
      }
      const results = await Promise.all(calls);
      for (const { i, kind, reply, error } of results) {
        if (kind === 'bogus') {
          assert.equal(error.code, -4);
          assert.equal(error.reply.n, i);
          continue;
        }
        assert.equal(reply.n, i);
        assert.equal(reply.cmd, kind);
        // Every read follows an open, so each finds the reader open.
        if (kind === 'read_card_info')
          assert.equal(reply.read_result.idType, 'J');
      }
    } finally {
      reader.close();
      await service.dispose();
    }
  });
});

describe('connection', { concurrency: false }, () => {
  let service;
  before(() => { service = new Service({ card: 'I' }); });
  after(async () => { await service.dispose(); });

  test('reports its state and reconnects after the service restarts', async () => {
    const reader = client();
    const states = [];
    reader.addEventListener('statechange', (event) => states.push(event.detail.state));
    try {
      await waitForState(reader, 'closed');
      assert.equal(reader.state, 'closed');
      // With nothing listening, a call learns so at once, not at its time-out.
      await rejectsWith(reader.closeDevice(), 'UNREACHABLE');
      await service.start();
      await waitForState(reader, 'open');
      await reader.openDevice();

      // A restart between two reads is invisible: the reader is opened again.
      await service.stop();
      await waitForState(reader, 'closed');
      await service.start();
      assert.equal((await reader.readCard()).idType, 'I');
      await reader.closeDevice();
      const failed = await reader.readCard().then(() => null, (error) => error);
      assert.equal(failed?.code, -3);
      assert.equal(failed.readerCode, 2); // the simulator's "device closed"
      assert.ok(states.filter((state) => state === 'open').length >= 2);
      assert.ok(states.includes('connecting'));
    } finally {
      reader.close();
    }
    assert.equal(reader.state, 'closed');
  });

  test('a crash in the reader library costs one read, and the page reads again', async () => {
    await service.stop();
    const crashing = new Service({ card: 'A' });
    await crashing.start();
    const reader = client();
    try {
      await reader.openDevice();
      assert.equal((await reader.readCard()).idNum, '990000199003071236');
      for (const fault of ['segv', 'segv', 'exit']) {
        crashing.putFault(fault);
        const failed = await rejectsWith(reader.readCard(), -3);
        assert.equal(failed.libraryFault, true);
        assert.equal(failed.readerCode, null);
        // The connection stays; the client opens the reader again by itself.
        assert.equal(reader.state, 'open');
        assert.equal((await reader.readCard()).idNum, '990000199003071236');
      }
      // A reader closed under the page (unplugged and back) is opened again
      // and read once more, in the same call.
      for (let i = 0; i < 3; ++i) {
        crashing.putFault('unplug');
        assert.equal((await reader.readCard()).idNum, '990000199003071236');
      }
    } finally {
      reader.close();
      await crashing.dispose();
    }
  });
});

describe('the fake service', { concurrency: false }, () => {
  // Each switch, the failure the client reports for it (twice: the client
  // must recover between them), and the read that works once it is off.
  const rows = [
    ['no service', (fake) => { fake.connection = 'unreachable'; }, { code: 'UNREACHABLE' }],
    ['the browser refuses', (fake) => { fake.connection = 'blocked'; }, { code: 'BLOCKED' }],
    ['the browser asks the user', (fake) => { fake.connection = 'permission-pending'; },
      { code: 'PERMISSION_PENDING', timeout: 2600, times: 1 }],
    ['another session has the reader', (fake) => { fake.connection = 'other-session'; }, { code: 'OTHER_SESSION' }],
    ['too many connections', (fake) => { fake.connection = 'too-many-connections'; }, { code: 'TOO_MANY_CONNECTIONS' }],
    ['a rate broken', (fake) => { fake.connection = 'rate-limited'; }, { code: 'RATE_LIMITED' }],
    ['no answer', (fake) => { fake.silent = true; }, { code: 'TIMEOUT', timeout: 300 }],
    // The late reply is dropped, and the connection goes on.
    ['a slow read', (fake) => { fake.readDelay = 700; }, { code: 'TIMEOUT', timeout: 300 }],
    ['the reader cannot be opened', (fake) => { fake.openResult = -5; },
      { code: -2, readerCode: -5, call: (reader) => reader.openDevice() }],
    ['the card cannot be read', (fake) => { fake.readResult = 1; }, { code: -3, readerCode: 1 }],
    ['the library fails', (fake) => { fake.faultNext('read_card_info'); }, { code: -3, libraryFault: true }],
    ['the service stops under a read', (fake) => {
      fake.readDelay = 200;
      setTimeout(() => fake.disconnectAll(), 50);
    }, { code: 'DISCONNECTED' }],
    ['an unknown command', () => {}, { code: -4, call: (reader) => reader.send('bogus') }],
  ];
  for (const [why, arrange, want] of rows) {
    test(`${why}: ${want.code}`, async () => {
      const fake = new FakeCardService({ card: SAMPLE_CARDS.J });
      const reader = client({ WebSocket: fake.WebSocket });
      const warnings = [];
      reader.addEventListener('connectionerror', (event) => warnings.push(event.detail.code));
      try {
        await reader.openDevice();
        for (let i = 0; i < (want.times ?? 2); ++i) {
          const fresh = new FakeCardService();
          Object.assign(fake, { connection: fresh.connection, silent: false, readDelay: 0,
                                openResult: 0, readResult: 0 });
          arrange(fake);
          if (fake.connection !== 'ok') {
            fake.disconnectAll();
            await waitForState(reader, 'closed');
          }
          reader.timeout = want.timeout ?? 5000;
          const error = await rejectsWith((want.call ?? ((r) => r.readCard()))(reader), want.code);
          assert.equal(error.readerCode, want.readerCode ?? null);
          assert.equal(error.libraryFault, want.libraryFault ?? false);
          if (typeof want.code === 'string' && !['TIMEOUT', 'DISCONNECTED'].includes(want.code))
            assert.ok(warnings.includes(want.code), `no connectionerror ${want.code}: ${warnings}`);
          Object.assign(fake, { connection: 'ok', silent: false, readDelay: 0, openResult: 0,
                                readResult: 0 });
          reader.timeout = 5000;
          await waitForState(reader, 'open');
          assert.equal((await reader.readCard()).passNum, 'H00000001');
        }
      } finally {
        reader.close();
      }
    });
  }

  test('answers as the service does, to the byte', async () => {
    const service = new Service({ card: 'I' });
    await service.start();
    const socket = new WebSocket(`ws://127.0.0.1:${PORT}`);
    const replies = [];
    socket.on('message', (data) => replies.push(String(data)));
    try {
      await new Promise((resolve, reject) => { socket.once('open', resolve); socket.once('error', reject); });
      const ask = async (text) => {
        const before = replies.length;
        socket.send(text);
        while (replies.length === before)
          await new Promise((resolve) => setTimeout(resolve, 5));
        return replies[before];
      };
      await ask('{"cmd":"open_device"}');
      const card = JSON.parse(await ask('{"cmd":"read_card_info"}')).read_result;
      await ask('{"cmd":"close_device"}');
      const fake = new FakeCardService({ card });
      const fakeSocket = new fake.WebSocket(`ws://127.0.0.1:${PORT}`);
      const fakeReplies = [];
      fakeSocket.onmessage = (event) => fakeReplies.push(event.data);
      await new Promise((resolve) => { fakeSocket.onopen = resolve; });
      const requests = ['{"cmd":"read_card_info","n":1}', '{"cmd":"open_device","tag":"x","statuCode":"s"}',
        '{"cmd":"read_card_info","b":[1,{"z":null,"a":true}],"a":{}}', '{"cmd":"close_device","e":[]}',
        '{"cmd":"OPEN_DEVICE"}', '{"cmd":""}', '{"no":"cmd"}', 'not json', '[1,2]', '{"cmd":"read_card_info"}'];
      for (const text of requests) {
        const real = await ask(text);
        fakeSocket.send(text);
        while (fakeReplies.length === 0)
          await new Promise((resolve) => setTimeout(resolve, 1));
        assert.equal(fakeReplies.shift(), real, text);
      }
      fakeSocket.close();
    } finally {
      socket.close();
      await service.dispose();
    }
  });
});

describe('helpers', () => {
  test('photoDataUrl recognises JPEG, PNG and BMP only', () => {
    const b64 = (bytes) => Buffer.from(bytes).toString('base64');
    assert.equal(photoDataUrl(b64([0xff, 0xd8, 0xff, 0xe0, 1, 2])), `data:image/jpeg;base64,${b64([0xff, 0xd8, 0xff, 0xe0, 1, 2])}`);
    assert.match(photoDataUrl(b64([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0])), /^data:image\/png;base64,/);
    assert.match(photoDataUrl(b64([0x42, 0x4d, 0x36, 0, 0, 0])), /^data:image\/bmp;base64,/);
    for (const value of ['', 'not base64!', b64([0x47, 0x49, 0x46, 0x38]), 'AAAA', null, 5, undefined])
      assert.equal(photoDataUrl(value), null, String(value));
  });

  test('kind names', () => {
    assert.equal(cardKind({ idType: '' }), 'A');
    assert.equal(cardKind({ idType: 'J' }), 'J');
    assert.equal(cardKind({ idType: 'I' }), 'I');
    assert.equal(cardKind({}), null);
    assert.equal(cardKind({ idType: 'X' }), null);
    for (const kind of ['A', 'J', 'I'])
      assert.ok(kindName(kind).length > 5);
    assert.equal(kindName('X'), null);
  });
});
