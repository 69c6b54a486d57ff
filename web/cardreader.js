/*
 * Browser client for the KRVI2VeravaWebSocket identity-document reader service.
 *
 * Works both as a classic <script> (for pages opened straight from disk, where
 * browsers refuse to load ES modules) and as a module imported by index.js. It
 * defines globalThis.KrvReader and nothing else.
 */
(function (global) {
  'use strict';

  const DEFAULT_URL = 'ws://127.0.0.1:35561';

  // The member that the client adds to every request. The service sends every
  // request member back unchanged, so it tells which request a reply answers.
  const REQUEST_ID = 'krvRequestId';

  const STATUS_EXPLANATIONS = {
    // Part of the protocol, but a running service never answers it: it does
    // not start without its library.
    '-1': 'The reader library (libCommonInterface.so) is missing beside the service.',
    '-2': 'The reader could not be opened: check that it is plugged in.',
    '-3': 'The card could not be read: open the reader first and check that a card lies on it.',
    '-4': 'The service does not know this command.',
    TIMEOUT: 'The service did not answer in time.',
    UNREACHABLE: 'No connection to the service could be opened: start it on this computer. ' +
      'If it runs, its administrator\'s policy may refuse this page (its log says why), or ' +
      'the browser\'s settings may block pages from reaching this computer.',
    BLOCKED: 'The browser does not let this page reach the service: allow local network ' +
      'access for this site in its site settings (Chromium allows it to https pages only), ' +
      'or open the page from the intranet.',
    PERMISSION_PENDING: 'The browser is asking whether this page may reach devices on this ' +
      'computer: answer its prompt with Allow.',
    OTHER_SESSION: 'The reader is with another user\'s session on this computer (the one at ' +
      'the screen): this page reconnects by itself once its own session is back at the screen.',
    TOO_MANY_CONNECTIONS: 'The service refused this connection: this site has too many ' +
      'connections open (64 for all its tabs and frames), or kept reconnecting after being ' +
      'closed and is held off for a few seconds. Close other tabs of the site; the client ' +
      'tries again by itself.',
    RATE_LIMITED: 'The service closed the connection: this site sent more than it allows ' +
      '(50 messages a second for all its connections), or left its replies unread. Send one ' +
      'request at a time; the client reconnects by itself.',
    DISCONNECTED: 'The connection to the service was lost before it answered.',
    CLOSED: 'The client was closed.',
    BAD_REPLY: 'The service sent a reply that is not a JSON object.',
  };

  // The error code that ends the service's message when the reader library
  // failed inside the call (it crashed or hung). The service started it
  // again with the reader closed; the client opens it again by itself.
  const LIBRARY_FAULT = 'LIBRARY_FAULT';
  const LIBRARY_FAULT_EXPLANATION = 'The reader library failed during the call and was ' +
    'started again: try once more (the client opens the reader again by itself).';

  /** An error carrying the service's status code, its message and an explanation. */
  class CardReaderError extends Error {
    constructor(code, serviceMessage, reply) {
      const libraryFault = typeof serviceMessage === 'string' &&
        serviceMessage.endsWith('：' + LIBRARY_FAULT);
      const explanation = libraryFault ? LIBRARY_FAULT_EXPLANATION
        : STATUS_EXPLANATIONS[String(code)] || 'Unknown error.';
      super(serviceMessage ? `${explanation} (${code}: ${serviceMessage})` : `${explanation} (${code})`);
      this.name = 'CardReaderError';
      this.code = code;
      this.serviceMessage = serviceMessage || '';
      // The reader library's own failure value after -2 and -3, as a number;
      // its meaning is the reader maker's.
      const value = /：(-?\d+)$/.exec(this.serviceMessage);
      this.readerCode = value ? Number(value[1]) : null;
      // The reader library failed inside the call, rather than answering it.
      this.libraryFault = libraryFault;
      this.explanation = explanation;
      this.reply = reply;
    }
  }

  const STATES = ['connecting', 'open', 'closed'];

  // The close code with which the service sends a page away while the reader
  // is with another login session of this computer, the one at the screen.
  const CLOSE_OTHER_SESSION = 4001;
  // The close codes the service sends a page away with, and the client's
  // codes for them: another session's, too many connections of the site (or
  // the site held off after repeated closes), a bound broken (the site's
  // message rate, replies unread).
  const CLOSE_CODES = { [CLOSE_OTHER_SESSION]: 'OTHER_SESSION', 1013: 'TOO_MANY_CONNECTIONS',
    1008: 'RATE_LIMITED' };
  // Reconnection attempts counted as made after such a close: the next one
  // waits the longest interval for another session's, several seconds
  // (past the service's hold) for the others.
  const ATTEMPTS_AFTER = { OTHER_SESSION: 30, TOO_MANY_CONNECTIONS: 6, RATE_LIMITED: 4 };

  // How long a connection may be opening before a pending permission prompt
  // is the likely reason.
  const PROMPT_HINT_DELAY = 2000;

  // Chromium's Local Network Access permission, under the names its versions accept.
  const PERMISSION_NAMES = ['loopback-network', 'local-network-access', 'local-network'];

  /** The page's local network permission: "granted", "denied", "prompt", or null if unknown. */
  async function localNetworkPermission() {
    const permissions = global.navigator && global.navigator.permissions;
    if (!permissions || typeof permissions.query !== 'function')
      return null;
    for (const name of PERMISSION_NAMES) {
      try {
        return (await permissions.query({ name })).state;
      } catch (error) {
        // not a name this browser knows
      }
    }
    return null;
  }

  // The host of a page served over http(s), without IPv6 brackets; null for
  // pages from disk and the like.
  function pageHost() {
    const location = global.location;
    if (!location || !/^https?:$/.test(location.protocol))
      return null;
    return location.hostname.replace(/^\[|\]$/g, '');
  }

  function isLoopback(host) {
    return /^(localhost|.*\.localhost)$/i.test(host) || /^127\./.test(host) || host === '::1';
  }

  // Whether the browser could be asking the user before the page reaches this
  // computer: only for pages from elsewhere. Pages from disk or from the
  // loopback reach it without a prompt, whatever the permission query says
  // (Chromium and Firefox both answer "prompt" there).
  function pageMayPrompt() {
    const host = pageHost();
    return host !== null && !isLoopback(host);
  }

  // Whether the page comes from a public address: not from disk, the loopback
  // or a private network. Names other than localhost count as public here; a
  // page whose name resolves to an intranet address connects in the first
  // place and never needs this.
  function pageIsPublic() {
    const host = pageHost();
    return pageMayPrompt() &&
      !(/^(10|192\.168|169\.254)\./.test(host) || /^172\.(1[6-9]|2\d|3[01])\./.test(host) ||
        /^f[cd][0-9a-f]{2}:/i.test(host));
  }

  // Whether anything answers at the service's address, asked over plain HTTP:
  // a WebSocket server answers a request without an upgrade with an HTTP
  // error, a closed port refuses at once. Unlike a WebSocket attempt, a
  // refused fetch does not make the browser hold back the next WebSocket.
  // Null where the answer cannot be had without side effects: outside a
  // browser, or on a page that could make the browser ask the user.
  async function serviceAnswers(url) {
    if (typeof global.fetch !== 'function' || typeof global.document !== 'object' ||
        pageMayPrompt())
      return null;
    try {
      await global.fetch(url.replace(/^ws/, 'http'), { mode: 'no-cors', cache: 'no-store' });
      return true;
    } catch (error) {
      return false;
    }
  }

  // Why a connection could not be opened.
  async function connectFailure(permission) {
    if (await permission === 'denied')
      return 'BLOCKED';
    if (global.isSecureContext === false && pageIsPublic())
      return 'BLOCKED'; // a public http page may not reach local addresses at all
    return 'UNREACHABLE';
  }

  // An event with a detail, also where CustomEvent is missing (Node.js 18).
  function detailEvent(type, detail) {
    if (typeof global.CustomEvent === 'function')
      return new global.CustomEvent(type, { detail });
    const event = new Event(type);
    Object.defineProperty(event, 'detail', { value: detail, enumerable: true });
    return event;
  }

  /**
   * One connection to the service, reconnecting by itself with backoff.
   * Events (EventTarget): "statechange" (detail: {state}), "reply" (detail: reply object).
   */
  class CardReaderClient extends EventTarget {
    constructor(options = {}) {
      super();
      this.url = options.url || DEFAULT_URL;
      this.timeout = options.timeout ?? 10000;
      this.reconnect = Object.assign({ initialDelay: 250, maxDelay: 5000, factor: 2 },
                                     options.reconnect);
      this._WebSocket = options.WebSocket || global.WebSocket;
      if (typeof this._WebSocket !== 'function')
        throw new TypeError('No WebSocket implementation: pass options.WebSocket');
      this._state = 'closed';
      this._socket = null;
      this._nextId = 1;
      this._pending = new Map(); // id -> {resolve, reject, timer, text, sent}
      this._attempt = 0;
      this._reconnectTimer = null;
      this._stopped = false;
      // Why the connection is not up, while calls wait: a code of CardReaderError.
      this._failure = null;
      // Whether the page opened the reader: reopened on a new connection.
      this._readerOpen = false;
      this._connectedBefore = false;
      this._connectOnCall = options.connectOnCall === true;
      // A look whether the service answers is under way (see _retry).
      this._probing = false;
      if (options.autoConnect !== false && !this._connectOnCall)
        this.connect();
    }

    /** "connecting", "open" or "closed". */
    get state() { return this._state; }

    /** Connects, and keeps reconnecting until close() is called. */
    connect() {
      this._stopped = false;
      if (this._socket)
        return;
      clearTimeout(this._reconnectTimer);
      this._reconnectTimer = null;
      this._setState('connecting');
      let socket;
      try {
        socket = new this._WebSocket(this.url);
      } catch (error) {
        this._scheduleReconnect();
        return;
      }
      this._socket = socket;
      let opened = false;
      // A permission prompt keeps the socket connecting: say so after a while.
      const promptHint = setTimeout(async () => {
        if (this._socket === socket && !opened && this._mayPrompt() &&
            await this._permission() === 'prompt' && this._socket === socket && !opened)
          this._reportFailure('PERMISSION_PENDING');
      }, PROMPT_HINT_DELAY);
      socket.onopen = () => {
        opened = true;
        clearTimeout(promptHint);
        this._attempt = 0;
        this._failure = null;
        this._setState('open');
        // The service was restarted (or the network was down): the new
        // connection starts with the reader closed. Reopen it before anything
        // else goes out; the service answers in order.
        if (this._connectedBefore && this._readerOpen)
          socket.send(JSON.stringify({ cmd: 'open_device', [REQUEST_ID]: 0 }));
        this._connectedBefore = true;
        for (const request of this._pending.values()) {
          if (!request.sent)
            this._transmit(request);
        }
      };
      socket.onmessage = (event) => this._onMessage(event.data);
      socket.onclose = (event) => {
        if (this._socket !== socket)
          return;
        this._socket = null;
        clearTimeout(promptHint);
        const sentAway = CLOSE_CODES[event?.code];
        // Requests already on the wire will never be answered on a new connection.
        this._failPending((request) => request.sent, sentAway || 'DISCONNECTED');
        this._setState('closed');
        if (sentAway) {
          // Asked again later: each try costs the service a connection, and
          // one made too soon is refused again.
          this._attempt = Math.max(this._attempt, ATTEMPTS_AFTER[sentAway]);
          this._reportFailure(sentAway);
        } else if (!opened) {
          // Calls waiting for this connection learn why at once, not at their time-out.
          connectFailure(this._permission()).then((code) => {
            if (!this._socket && !this._stopped)
              this._reportFailure(code);
          });
        }
        if (!this._stopped)
          this._scheduleReconnect();
      };
      socket.onerror = () => {}; // onclose follows and handles it
    }

    /** Closes the connection for good; pending calls reject with code "CLOSED". */
    close() {
      this._stopped = true;
      this._failure = null;
      clearTimeout(this._reconnectTimer);
      this._reconnectTimer = null;
      this._failPending(() => true, 'CLOSED');
      const socket = this._socket;
      this._socket = null;
      if (socket)
        socket.close();
      this._setState('closed');
    }

    /** Opens the reader; resolves with the reply. */
    openDevice() { return this.send('open_device'); }

    /** Closes the reader; resolves with the reply. */
    closeDevice() { return this.send('close_device'); }

    /**
     * Reads the card on the reader; resolves with the card object ("read_result").
     * When a read fails after the page opened the reader, the reader may have
     * been closed under it (unplugged and plugged in again): the client opens
     * it again and reads once more before it reports the failure.
     */
    async readCard() {
      let reply;
      try {
        reply = await this.send('read_card_info');
      } catch (error) {
        if (!(error instanceof CardReaderError) || error.code !== -3 || error.libraryFault ||
            !this._readerOpen)
          throw error;
        try {
          await this.send('open_device');
        } catch (openError) {
          throw error;
        }
        reply = await this.send('read_card_info');
      }
      return reply.read_result || {};
    }

    /**
     * Sends a command with extra members and resolves with the whole reply.
     * Rejects with a CardReaderError for a negative "statuCode", and on time-out.
     * Calls made while the connection is down are sent once it is up again,
     * within the same time-out.
     */
    send(cmd, members = {}) {
      // After a failed attempt (or before the first one, when connecting on
      // the first call) a call tries again at once instead of waiting out the backoff.
      if (!this._socket && (this._connectOnCall || this._failure)) {
        this._stopped = false;
        clearTimeout(this._reconnectTimer);
        this._reconnectTimer = null;
        this._retry();
      }
      return new Promise((resolve, reject) => {
        const id = this._nextId++;
        const text = JSON.stringify(Object.assign({}, members, { cmd, [REQUEST_ID]: id }));
        const request = { id, resolve, reject, text, sent: false, timer: null };
        request.timer = setTimeout(() => {
          this._pending.delete(id);
          const stillAsking = !request.sent && this._failure === 'PERMISSION_PENDING';
          reject(new CardReaderError(stillAsking ? 'PERMISSION_PENDING' : 'TIMEOUT'));
        }, this.timeout);
        this._pending.set(id, request);
        if (this._state === 'open')
          this._transmit(request);
      });
    }

    // Opens the connection, but after a failed attempt only once the service
    // answers: each refused WebSocket makes the browser hold back the next
    // one longer, and a connection held back is still "connecting" when the
    // service is long back.
    async _retry() {
      // A page the service sent away has nothing to fear from the browser's
      // hold-back: its connection was not refused.
      if (this._failure && this._failure !== 'PERMISSION_PENDING' &&
          !Object.values(CLOSE_CODES).includes(this._failure) && !this._probing) {
        this._probing = true;
        const answers = await serviceAnswers(this.url);
        this._probing = false;
        if (this._stopped || this._socket)
          return;
        if (answers === false) {
          // Still not there: calls made meanwhile learn it now.
          this._failPending((request) => !request.sent, this._failure);
          this._scheduleReconnect();
          return;
        }
      }
      if (!this._probing)
        this.connect();
    }

    // The browser's local network permission for the page. A WebSocket
    // stand-in (a test's fake service) may answer for the browser with a
    // static localNetworkPermission(); the page then counts as one the
    // browser could ask about.
    _permission() {
      const own = this._WebSocket.localNetworkPermission;
      return typeof own === 'function' ? Promise.resolve(own.call(this._WebSocket))
        : localNetworkPermission();
    }

    _mayPrompt() {
      return typeof this._WebSocket.localNetworkPermission === 'function' || pageMayPrompt();
    }

    _transmit(request) {
      request.sent = true;
      this._socket.send(request.text);
    }

    _onMessage(data) {
      let reply;
      try {
        reply = JSON.parse(typeof data === 'string' ? data : String(data));
      } catch (error) {
        return; // not ours: every reply of the service is a JSON object
      }
      if (!reply || typeof reply !== 'object')
        return;
      this.dispatchEvent(detailEvent('reply', reply));
      const request = this._pending.get(reply[REQUEST_ID]);
      if (!request)
        return;
      if (reply.statuCode === 0 && reply.cmd === 'open_device')
        this._readerOpen = true;
      else if (reply.statuCode === 0 && reply.cmd === 'close_device')
        this._readerOpen = false;
      this._pending.delete(request.id);
      clearTimeout(request.timer);
      delete reply[REQUEST_ID];
      if (typeof reply.statuCode === 'number' && reply.statuCode < 0) {
        const error = new CardReaderError(reply.statuCode, reply.message, reply);
        // The library was started again with the reader closed: open it
        // again before anything else goes out, as after a reconnection.
        if (error.libraryFault && this._readerOpen && this._socket)
          this._socket.send(JSON.stringify({ cmd: 'open_device', [REQUEST_ID]: 0 }));
        request.reject(error);
      } else {
        request.resolve(reply);
      }
    }

    // A connection failed, or is held up: calls not yet sent reject with the
    // reason, except while the browser asks, which they wait out.
    _reportFailure(code) {
      this._failure = code;
      this.dispatchEvent(detailEvent('connectionerror', { code }));
      if (code !== 'PERMISSION_PENDING')
        this._failPending((request) => !request.sent, code);
    }

    _failPending(which, code) {
      for (const [id, request] of this._pending) {
        if (!which(request))
          continue;
        this._pending.delete(id);
        clearTimeout(request.timer);
        request.reject(new CardReaderError(code));
      }
    }

    _scheduleReconnect() {
      const { initialDelay, maxDelay, factor } = this.reconnect;
      const delay = Math.min(maxDelay, initialDelay * Math.pow(factor, this._attempt++));
      this._reconnectTimer = setTimeout(() => {
        this._reconnectTimer = null;
        if (!this._stopped && !this._socket)
          this._retry();
      }, delay);
    }

    _setState(state) {
      if (this._state === state || !STATES.includes(state))
        return;
      this._state = state;
      this.dispatchEvent(detailEvent('statechange', { state }));
    }
  }

  const IMAGE_SIGNATURES = [
    { mime: 'image/jpeg', bytes: [0xff, 0xd8, 0xff] },
    { mime: 'image/png', bytes: [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a] },
    { mime: 'image/bmp', bytes: [0x42, 0x4d] },
  ];

  /**
   * A data: URL for the card's "photo" when it holds base64 image data (JPEG,
   * PNG or BMP, recognised by their first bytes); null otherwise.
   */
  function photoDataUrl(photo) {
    if (typeof photo !== 'string')
      return null;
    const base64 = photo.replace(/\s+/g, '');
    if (base64.length < 4 || !/^[A-Za-z0-9+/]+={0,2}$/.test(base64))
      return null;
    let head;
    try {
      head = global.atob(base64.slice(0, 12));
    } catch (error) {
      return null;
    }
    for (const { mime, bytes } of IMAGE_SIGNATURES) {
      if (bytes.every((byte, i) => head.charCodeAt(i) === byte))
        return `data:${mime};base64,${base64}`;
    }
    return null;
  }

  const KIND_NAMES = {
    A: 'Resident identity card',
    J: 'Residence permit (Hong Kong, Macao and Taiwan residents)',
    I: 'Permanent residence identity card for foreigners',
  };

  /** The kind of a card object: "A", "J", "I", or null for an empty or unknown one. */
  function cardKind(card) {
    if (!card || typeof card !== 'object' || !('idType' in card))
      return null;
    if (card.idType === '')
      return 'A';
    return KIND_NAMES[card.idType] ? card.idType : null;
  }

  /**
   * Whether a read result holds a card: the service answers an unrecognised
   * record with {} (and status 0).
   */
  function isCard(result) {
    return !!result && typeof result === 'object' && typeof result.idNum === 'string';
  }

  /** A readable name for a kind ("A", "J", "I") or a card object; null when unknown. */
  function kindName(kindOrCard) {
    const kind = typeof kindOrCard === 'string' ? kindOrCard : cardKind(kindOrCard);
    return KIND_NAMES[kind] || null;
  }

  global.KrvReader = Object.freeze({
    CardReaderClient,
    CardReaderError,
    photoDataUrl,
    cardKind,
    isCard,
    kindName,
    DEFAULT_URL,
    REQUEST_ID,
  });
})(globalThis);
