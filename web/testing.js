// A stand-in for the card reader service, for a web developer's own tests:
// no service, reader or Linux desk needed. Pass `fake.WebSocket` to the
// client as `options.WebSocket`; the fake answers as the service does (the
// request sent back with "statuCode", "message", "result" and "read_result",
// in the service's own text form) from the card the test puts on it, and its
// switches make it fail in every way the client reports.
//
//   import { CardReaderClient } from 'krvi2veravawebsocket-client';
//   import { FakeCardService, SAMPLE_CARDS } from 'krvi2veravawebsocket-client/testing';
//   const fake = new FakeCardService({ card: SAMPLE_CARDS.J });
//   const reader = new CardReaderClient({ WebSocket: fake.WebSocket });

// A 1x1 PNG: photoDataUrl recognises it, an <img> shows it.
const PHOTO = 'iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==';

function sampleCard(members) {
  const card = {};
  for (const key of ['address', 'birthday', 'chineseName', 'dn', 'effectDate', 'englishName',
    'expireDate', 'gender', 'idCardVersion', 'idNum', 'idType', 'issueOrg', 'name', 'nation',
    'nationCode', 'passNo', 'passNum', 'photo', 'photoLen', 'photoMagick'])
    card[key] = members[key] ?? '';
  return Object.freeze(card);
}

/** One made-up holder of each kind of document, as the service reads them. */
export const SAMPLE_CARDS = Object.freeze({
  A: sampleCard({
    name: '吕𠮷晨', gender: '男', nation: '汉', birthday: '19900307',
    address: '北京市海淀区示例路100号模拟小区3号楼2单元501室', idNum: '990000199003071236',
    issueOrg: '示例市公安局模拟分局', effectDate: '20200115', expireDate: '20400115', photo: PHOTO,
  }),
  J: sampleCard({
    name: '陈美玲', gender: '女', birthday: '19850612', address: '广东省示例市虚构区样本大道88号㐀栋',
    idNum: '990000198506120028', issueOrg: '示例市公安局', effectDate: '20230901',
    expireDate: '20280901', passNum: 'H00000001', passNo: '01', idType: 'J', photo: PHOTO,
  }),
  I: sampleCard({
    englishName: 'SAMPLE ANNA MARIA', chineseName: '安娜·示例', gender: '女', birthday: '19920220',
    idNum: 'UTO990092022011', nationCode: 'UTO', issueOrg: '示例移民管理局', idCardVersion: '02',
    effectDate: '20240301', expireDate: '20340301', idType: 'I', photo: PHOTO,
  }),
});

// What happens to a new connection, by the fake's `connection` switch: it
// opens, fails (as a stopped service or a refusing browser makes it), stays
// opening (a browser asking the user), or is sent away with a close code.
const CONNECTIONS = {
  ok: { permission: null },
  unreachable: { fails: true, permission: null },
  blocked: { fails: true, permission: 'denied' },
  'permission-pending': { hangs: true, permission: 'prompt' },
  'other-session': { closeCode: 4001, reason: 'another session has the reader' },
  'too-many-connections': { closeCode: 1013, reason: 'too many connections' },
  'rate-limited': { closeCode: 1008, reason: 'message rate' },
};

// The service's text form of a reply: members in key order, four spaces.
function serviceText(value, indent = '') {
  if (Array.isArray(value)) {
    if (value.length === 0)
      return '[\n' + indent + ']';
    const inner = indent + '    ';
    return '[\n' + value.map((item) => inner + serviceText(item, inner)).join(',\n') +
      '\n' + indent + ']';
  }
  if (value && typeof value === 'object') {
    const keys = Object.keys(value).sort();
    const inner = indent + '    ';
    return '{\n' + keys.map((key) => `${inner}${JSON.stringify(key)}: ${serviceText(value[key], inner)}`)
      .join(',\n') + (keys.length ? '\n' : '') + indent + '}';
  }
  return JSON.stringify(value);
}

const LIBRARY_FAULT = '读卡库异常，错误代码：LIBRARY_FAULT';

function messageEvent(type, members) {
  const event = new Event(type);
  for (const [key, value] of Object.entries(members))
    Object.defineProperty(event, key, { value, enumerable: true });
  return event;
}

/** The service and its reader, in memory. */
export class FakeCardService {
  /**
   * card: the card on the reader (a Card, {} for a record the service does
   * not recognise); readDelay: milliseconds a read takes (a real reader about
   * a second).
   */
  constructor({ card = SAMPLE_CARDS.A, readDelay = 0 } = {}) {
    this.card = card;
    this.readDelay = readDelay;
    this._connection = 'ok';
    /** What the reader returns when opened: below 0 fails the open (-2 with this value). */
    this.openResult = 0;
    /** What the reader returns for a read: not 0 fails it (-3 with this value). */
    this.readResult = 0;
    /** What the reader returns for a read while it is closed. */
    this.closedReadResult = 2;
    /** When true, requests are taken but never answered (the client's TIMEOUT). */
    this.silent = false;
    /** Whether the reader is open: closed at the start and after a library fault. */
    this.readerOpen = false;
    /** Every request received, parsed, in order. */
    this.requests = [];
    this._faults = [];
    this._sockets = new Set();
    const fake = this;
    /** The WebSocket class to pass to the client as options.WebSocket. */
    this.WebSocket = class FakeWebSocket extends EventTarget {
      // The browser's local network permission, as the connection switch has it.
      static localNetworkPermission() {
        return CONNECTIONS[fake.connection]?.permission ?? null;
      }

      constructor(url) {
        super();
        this.url = String(url);
        this.readyState = 0;
        this.protocol = '';
        this.binaryType = 'blob';
        this.onopen = this.onmessage = this.onclose = this.onerror = null;
        fake._connect(this);
      }

      send(data) {
        if (this.readyState === 0)
          throw new DOMException('still connecting', 'InvalidStateError');
        if (this.readyState === 1)
          fake._receive(this, String(data));
      }

      close(code = 1000, reason = '') {
        fake._end(this, code, reason, true);
      }

      _fire(type, members = {}) {
        const event = messageEvent(type, members);
        this.dispatchEvent(event);
        this['on' + type]?.(event);
      }
    };
    Object.assign(this.WebSocket, { CONNECTING: 0, OPEN: 1, CLOSING: 2, CLOSED: 3 });
  }

  /**
   * What happens to connections opened from now on: "ok", "unreachable",
   * "blocked", "permission-pending", "other-session", "too-many-connections"
   * or "rate-limited". Leaving "permission-pending" answers the browser's
   * prompt for the connections waiting on it: "ok" opens them, "blocked" fails them.
   */
  get connection() {
    return this._connection;
  }

  set connection(how) {
    if (!CONNECTIONS[how])
      throw new TypeError(`unknown connection switch: ${how}`);
    this._connection = how;
    if (!CONNECTIONS[how].hangs) {
      for (const socket of this._sockets) {
        if (socket.readyState === 0 && socket._waiting)
          this._settle(socket, CONNECTIONS[how]);
      }
    }
  }

  /** The connections now open. */
  get connections() {
    return [...this._sockets].filter((socket) => socket.readyState === 1).length;
  }

  /**
   * The reader library fails inside its next call of the command ("open_device",
   * "read_card_info" or "close_device"; any when omitted): the call is answered
   * with the service's LIBRARY_FAULT and the reader is closed after it, as the
   * service leaves it once it has started the library again.
   */
  faultNext(cmd = null) {
    this._faults.push(cmd);
  }

  /**
   * Ends every open connection as a stopping service does (close code 1001);
   * calls on the wire fail with DISCONNECTED. The reader closes with the service.
   */
  disconnectAll(code = 1001, reason = 'the service stopped') {
    for (const socket of this._sockets)
      this._end(socket, code, reason, false);
    this.readerOpen = false;
  }

  _connect(socket) {
    const how = CONNECTIONS[this._connection];
    this._sockets.add(socket);
    if (how.hangs)
      socket._waiting = true;
    else
      this._settle(socket, how);
  }

  _settle(socket, how) {
    socket._waiting = false;
    setTimeout(() => {
      if (socket.readyState !== 0)
        return;
      if (how.fails) {
        this._sockets.delete(socket);
        socket.readyState = 3;
        socket._fire('error');
        socket._fire('close', { code: 1006, reason: '', wasClean: false });
        return;
      }
      socket.readyState = 1;
      socket._fire('open');
      if (how.closeCode)
        this._end(socket, how.closeCode, how.reason, false);
    }, 0);
  }

  _end(socket, code, reason, byClient) {
    if (socket.readyState >= 2)
      return;
    const opened = socket.readyState === 1;
    socket.readyState = 2;
    this._sockets.delete(socket);
    setTimeout(() => {
      socket.readyState = 3;
      socket._fire('close', opened || !byClient ? { code, reason, wasClean: true }
        : { code: 1006, reason: '', wasClean: false });
    }, 0);
  }

  _receive(socket, text) {
    let request;
    try {
      request = JSON.parse(text);
    } catch (error) {
      request = null;
    }
    const isObject = request !== null && typeof request === 'object' && !Array.isArray(request);
    if (isObject)
      this.requests.push(request);
    if (this.silent)
      return;
    // A message that is not an object is answered with an empty one; one
    // without "cmd" comes back unchanged.
    const reply = isObject ? this._answer(request) : {};
    const delay = isObject && request.cmd === 'read_card_info' ? this.readDelay : 0;
    this._queue = (this._queue || Promise.resolve()).then(() => new Promise((resolve) => {
      // The reader serves one call at a time, in order.
      setTimeout(() => {
        if (socket.readyState === 1)
          socket._fire('message', { data: serviceText(reply) + '\n' });
        resolve();
      }, delay);
    }));
  }

  _answer(request) {
    if (!('cmd' in request))
      return request;
    const reply = { ...request };
    const fault = ['open_device', 'close_device', 'read_card_info'].includes(request.cmd)
      ? this._faults.findIndex((cmd) => cmd === null || cmd === request.cmd) : -1;
    const faulted = fault >= 0;
    if (faulted) {
      this._faults.splice(fault, 1);
      this.readerOpen = false;
    }
    switch (request.cmd) {
    case 'open_device':
      if (faulted)
        return Object.assign(reply, { statuCode: -2, message: '连接设备失败，' + LIBRARY_FAULT });
      if (this.openResult < 0)
        return Object.assign(reply, { statuCode: -2, message: '连接设备失败，错误代码：' + this.openResult });
      this.readerOpen = true;
      return Object.assign(reply, { statuCode: 0, message: '连接设备成功!' });
    case 'close_device':
      this.readerOpen = false;
      return Object.assign(reply, { statuCode: 0, result: 0, message: '关闭设备成功!' });
    case 'read_card_info': {
      if (faulted)
        return Object.assign(reply, { statuCode: -3, result: -3, message: '读取证件信息失败，' + LIBRARY_FAULT });
      const result = this.readerOpen ? this.readResult : this.closedReadResult;
      if (result !== 0)
        return Object.assign(reply, { statuCode: -3, result: -3, message: '读取证件信息失败，错误代码：' + result });
      return Object.assign(reply, { statuCode: 0, result: 0, message: '读取证件信息成功!',
        read_result: { ...(this.card || {}) } });
    }
    default:
      return Object.assign(reply, { statuCode: -4, result: -4, message: '未知命令' });
    }
  }
}
