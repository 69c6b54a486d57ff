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
    '-1': 'The reader library (libCommonInterface.so) is missing beside the service.',
    '-2': 'The reader could not be opened: check that it is plugged in.',
    '-3': 'The card could not be read: open the reader first and check that a card lies on it.',
    '-4': 'The service does not know this command.',
    TIMEOUT: 'The service did not answer in time.',
    DISCONNECTED: 'The connection to the service was lost before it answered.',
    CLOSED: 'The client was closed.',
    BAD_REPLY: 'The service sent a reply that is not a JSON object.',
  };

  /** An error carrying the service's status code, its message and an explanation. */
  class CardReaderError extends Error {
    constructor(code, serviceMessage, reply) {
      const explanation = STATUS_EXPLANATIONS[String(code)] || 'Unknown error.';
      super(serviceMessage ? `${explanation} (${code}: ${serviceMessage})` : `${explanation} (${code})`);
      this.name = 'CardReaderError';
      this.code = code;
      this.serviceMessage = serviceMessage || '';
      this.explanation = explanation;
      this.reply = reply;
    }
  }

  const STATES = ['connecting', 'open', 'closed'];

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
      if (options.autoConnect !== false)
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
      socket.onopen = () => {
        this._attempt = 0;
        this._setState('open');
        for (const request of this._pending.values()) {
          if (!request.sent)
            this._transmit(request);
        }
      };
      socket.onmessage = (event) => this._onMessage(event.data);
      socket.onclose = () => {
        if (this._socket !== socket)
          return;
        this._socket = null;
        // Requests already on the wire will never be answered on a new connection.
        this._failPending((request) => request.sent, 'DISCONNECTED');
        this._setState('closed');
        if (!this._stopped)
          this._scheduleReconnect();
      };
      socket.onerror = () => {}; // onclose follows and handles it
    }

    /** Closes the connection for good; pending calls reject with code "CLOSED". */
    close() {
      this._stopped = true;
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

    /** Reads the card on the reader; resolves with the card object ("read_result"). */
    async readCard() {
      const reply = await this.send('read_card_info');
      return reply.read_result || {};
    }

    /**
     * Sends a command with extra members and resolves with the whole reply.
     * Rejects with a CardReaderError for a negative "statuCode", and on time-out.
     * Calls made while the connection is down are sent once it is up again,
     * within the same time-out.
     */
    send(cmd, members = {}) {
      return new Promise((resolve, reject) => {
        const id = this._nextId++;
        const text = JSON.stringify(Object.assign({}, members, { cmd, [REQUEST_ID]: id }));
        const request = { id, resolve, reject, text, sent: false, timer: null };
        request.timer = setTimeout(() => {
          this._pending.delete(id);
          reject(new CardReaderError('TIMEOUT'));
        }, this.timeout);
        this._pending.set(id, request);
        if (this._state === 'open')
          this._transmit(request);
      });
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
      this.dispatchEvent(new CustomEvent('reply', { detail: reply }));
      const request = this._pending.get(reply[REQUEST_ID]);
      if (!request)
        return;
      this._pending.delete(request.id);
      clearTimeout(request.timer);
      delete reply[REQUEST_ID];
      if (typeof reply.statuCode === 'number' && reply.statuCode < 0)
        request.reject(new CardReaderError(reply.statuCode, reply.message, reply));
      else
        request.resolve(reply);
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
        if (!this._stopped)
          this.connect();
      }, delay);
    }

    _setState(state) {
      if (this._state === state || !STATES.includes(state))
        return;
      this._state = state;
      this.dispatchEvent(new CustomEvent('statechange', { detail: { state } }));
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
    kindName,
    DEFAULT_URL,
    REQUEST_ID,
  });
})(globalThis);
