// A stand-in for the card reader service, for a web developer's own tests.
import type { Card } from './index.js';

/** One made-up holder of each kind of document, as the service reads them. */
export declare const SAMPLE_CARDS: Readonly<{ A: Readonly<Card>; J: Readonly<Card>; I: Readonly<Card> }>;

/** What happens to connections opened from now on. */
export type FakeConnection =
  | 'ok'
  /** The connection fails: no service is running (the client's UNREACHABLE). */
  | 'unreachable'
  /** The connection fails with the browser's permission denied (BLOCKED). */
  | 'blocked'
  /** The connection stays opening, the browser asking the user (PERMISSION_PENDING). */
  | 'permission-pending'
  /** The service sends the page away: close code 4001 (OTHER_SESSION). */
  | 'other-session'
  /** Close code 1013 (TOO_MANY_CONNECTIONS). */
  | 'too-many-connections'
  /** Close code 1008 (RATE_LIMITED). */
  | 'rate-limited';

export type Command = 'open_device' | 'close_device' | 'read_card_info';

/** The service and its reader, in memory. Pass `WebSocket` to the client. */
export declare class FakeCardService {
  constructor(options?: {
    /** The card on the reader; default SAMPLE_CARDS.A. */
    card?: Card | Record<string, never>;
    /** Milliseconds a read takes; default 0 (a real reader takes about a second). */
    readDelay?: number;
  });
  /** The card on the reader; {} is a record the service does not recognise. */
  card: Card | Record<string, never>;
  /** Milliseconds a read takes. */
  readDelay: number;
  /** What happens to connections opened from now on; default "ok". */
  connection: FakeConnection;
  /** What the reader returns when opened: below 0 fails the open with -2 and this value. */
  openResult: number;
  /** What the reader returns for a read: not 0 fails it with -3 and this value. */
  readResult: number;
  /** What the reader returns for a read while it is closed; default 2. */
  closedReadResult: number;
  /** Requests are taken but never answered (the client's TIMEOUT). */
  silent: boolean;
  /** Whether the reader is open. */
  readerOpen: boolean;
  /** Every request received, parsed, in order. */
  readonly requests: Record<string, unknown>[];
  /** The connections now open. */
  readonly connections: number;
  /** The WebSocket class to give the client as options.WebSocket. */
  readonly WebSocket: {
    new (url: string | URL): WebSocket;
    localNetworkPermission(): 'granted' | 'denied' | 'prompt' | null;
  };
  /**
   * The reader library fails inside the next call of the command (any when
   * omitted): answered with LIBRARY_FAULT, the reader closed after it.
   */
  faultNext(cmd?: Command): void;
  /** Ends every open connection as a stopping service does (close code 1001). */
  disconnectAll(code?: number, reason?: string): void;
}
