// The client module against the real service and the simulator.
import { test, describe, before, after } from 'node:test';
import assert from 'node:assert/strict';
import WebSocket, { WebSocketServer } from 'ws';

import { CardReaderClient, CardReaderError, photoDataUrl, cardKind, isCard, kindName } from '../index.js';
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

  test('a call without reply times out', async () => {
    const service = new Service({ card: 'A', env: { KRSIM_READ_DELAY_MS: '1500' } });
    await service.start();
    const reader = client({ timeout: 300 });
    try {
      await reader.openDevice();
      await rejectsWith(reader.readCard(), 'TIMEOUT');
      // The late reply is dropped, and the connection goes on.
      reader.timeout = 5000;
      const reply = await reader.closeDevice();
      assert.equal(reply.statuCode, 0);
      assert.equal(reply.cmd, 'close_device');
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

describe('sent away by the service', { concurrency: false }, () => {
  // The close code, and what the page is told for it.
  for (const [why, closeCode, code] of [
    ['another session is at the screen', 4001, 'OTHER_SESSION'],
    ['the site has too many connections, or is held off', 1013, 'TOO_MANY_CONNECTIONS'],
    ['the site broke its message rate', 1008, 'RATE_LIMITED'],
  ]) {
    test(`${why}: the page says so, and reads once it is let in`, async () => {
      const service = new Service({ card: 'J' });
      await service.start();
      const reader = client();
      let other;
      try {
        await reader.openDevice();
        // Something holds the port and sends every page away with the code.
        await service.stop();
        other = new WebSocketServer({ port: PORT, host: '127.0.0.1' });
        other.on('connection', (socket) => socket.close(closeCode, why));
        for (let i = 0; i < 3; ++i)
          await rejectsWith(reader.readCard(), code);
        await new Promise((resolve) => other.close(resolve));
        await service.start();
        await waitForState(reader, 'open');
        assert.equal((await reader.readCard()).idType, 'J');
      } finally {
        reader.close();
        other?.close();
        await service.dispose();
      }
    });
  }
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
