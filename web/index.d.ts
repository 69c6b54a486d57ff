/** Connection state of a CardReaderClient. */
export type ConnectionState = 'connecting' | 'open' | 'closed';

/** Document kinds: "A" resident card, "J" residence permit, "I" permanent residence card. */
export type CardKind = 'A' | 'J' | 'I';

/**
 * The card holder's data, twenty string members ("" where the kind carries
 * none); no members at all when the service did not recognise the record's
 * kind (it still answers with status 0).
 */
export interface Card {
  address: string;
  birthday: string;
  chineseName: string;
  dn: string;
  effectDate: string;
  englishName: string;
  expireDate: string;
  gender: string;
  idCardVersion: string;
  idNum: string;
  /** "" for kind A, "J" or "I" for the other kinds. */
  idType: '' | 'J' | 'I';
  issueOrg: string;
  name: string;
  nation: string;
  nationCode: string;
  passNo: string;
  passNum: string;
  /** Base64 image data as the reader delivers it; see photoDataUrl. */
  photo: string;
  photoLen: string;
  photoMagick: string;
}

/** The service's reply: the request with its status members set. */
export interface Reply {
  cmd: unknown;
  statuCode: number;
  message: string;
  result?: number;
  /** Present after a successful read; {} when the record was not recognised. */
  read_result?: Card | Record<string, never>;
  [member: string]: unknown;
}

export interface ClientOptions {
  /** Default "ws://127.0.0.1:35561". */
  url?: string;
  /** Milliseconds a call waits for its reply; default 10000. */
  timeout?: number;
  reconnect?: { initialDelay?: number; maxDelay?: number; factor?: number };
  /**
   * A WebSocket implementation where there is no global one (Node.js), or a
   * test's stand-in (FakeCardService's). A static localNetworkPermission()
   * on it answers for the browser's local network permission.
   */
  WebSocket?: unknown;
  /** Connect at construction; default true. */
  autoConnect?: boolean;
  /**
   * Open the connection on the first call instead of at construction, so that
   * a browser's local network permission prompt follows a user action (a
   * click on "read"); recommended for pages on public https sites.
   */
  connectOnCall?: boolean;
}

/** The service's negative status codes (-1 is never sent by a running service). */
export type ServiceErrorCode = -1 | -2 | -3 | -4;
/** The client's own codes. */
export type ClientErrorCode =
  | 'TIMEOUT'
  | 'DISCONNECTED'
  | 'CLOSED'
  | 'BAD_REPLY'
  | 'UNREACHABLE'
  | 'BLOCKED'
  | 'PERMISSION_PENDING'
  | 'OTHER_SESSION'
  | 'TOO_MANY_CONNECTIONS'
  | 'RATE_LIMITED';
export type ErrorCode = ServiceErrorCode | ClientErrorCode;

/**
 * The service's negative status codes (-1 library missing, never sent by a
 * running service, which does not start without its library; -2 open
 * failed, -3 read failed, -4 unknown command) or the client's own: "TIMEOUT",
 * "DISCONNECTED", "CLOSED", "BAD_REPLY", and for a connection that could not
 * be opened "UNREACHABLE" (nothing listens), "BLOCKED" (the browser refused)
 * or "PERMISSION_PENDING" (the browser is still asking the user), and
 * "OTHER_SESSION" when the service sent the page away because another user's
 * login session on this computer is at the screen and has the reader (close
 * code 4001; the client reconnects by itself every few seconds),
 * "TOO_MANY_CONNECTIONS" when the service refused the connection because
 * the site has 64 open, or is held off for a few seconds after its
 * connections were closed again and again (close code 1013), and
 * "RATE_LIMITED" when the service closed it for breaking a bound: more than
 * 50 messages a second for all the site's connections, or replies left
 * unread (close code 1008). The client reconnects by itself after both.
 */
export class CardReaderError extends Error {
  constructor(code: ErrorCode, serviceMessage?: string, reply?: Reply);
  readonly code: ErrorCode;
  /** The service's Chinese message, "" for the client's own errors. */
  readonly serviceMessage: string;
  /** The reader library's failure value after -2 and -3; its meaning is the reader maker's. */
  readonly readerCode: number | null;
  /**
   * True for -2 and -3 when the reader library failed inside the call (it
   * crashed or did not return in 30 s) instead of answering: the service's
   * message then ends in "错误代码：LIBRARY_FAULT". The service starts the
   * library again with the reader closed; the client opens it again by
   * itself, so the next read works without a reload.
   */
  readonly libraryFault: boolean;
  /** A short English explanation of the code. */
  readonly explanation: string;
  readonly reply?: Reply;
}

export class CardReaderClient extends EventTarget {
  constructor(options?: ClientOptions);
  readonly url: string;
  timeout: number;
  reconnect: { initialDelay: number; maxDelay: number; factor: number };
  readonly state: ConnectionState;
  connect(): void;
  close(): void;
  openDevice(): Promise<Reply>;
  closeDevice(): Promise<Reply>;
  /**
   * Resolves with "read_result": a Card, or {} for an unrecognised record.
   * A read that fails (-3) after this client opened the reader opens it
   * again and reads once more before it rejects (a reader unplugged and
   * plugged in again).
   */
  readCard(): Promise<Card | Record<string, never>>;
  send(cmd: string, members?: Record<string, unknown>): Promise<Reply>;
  addEventListener(type: 'statechange', listener: (event: CustomEvent<{ state: ConnectionState }>) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: 'reply', listener: (event: CustomEvent<Reply>) => void, options?: boolean | AddEventListenerOptions): void;
  /** Why the connection could not be opened, or is held up by a permission prompt. */
  addEventListener(type: 'connectionerror', listener: (event: CustomEvent<{ code: ClientErrorCode }>) => void, options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null, options?: boolean | AddEventListenerOptions): void;
  removeEventListener(type: string, listener: ((event: CustomEvent<any>) => void) | EventListenerOrEventListenerObject | null, options?: boolean | EventListenerOptions): void;
}

/** A data: URL when photo holds base64 JPEG, PNG or BMP data; null otherwise. */
export function photoDataUrl(photo: unknown): string | null;
/** The kind of a card object, or null for an empty or unknown one. */
export function cardKind(card: unknown): CardKind | null;
/**
 * Whether a read result holds a card rather than the {} of an unrecognised
 * record; narrows it to Card: `if (!isCard(card)) return;`. (`'name' in card`
 * cannot: TypeScript keeps the empty record, whose keys are any string.)
 */
export function isCard(result: unknown): result is Card;
/** A readable name for a kind or a card object, or null. */
export function kindName(kindOrCard: CardKind | Card | Record<string, never> | string): string | null;

export const DEFAULT_URL: string;
export const REQUEST_ID: string;

declare const KrvReader: {
  CardReaderClient: typeof CardReaderClient;
  CardReaderError: typeof CardReaderError;
  photoDataUrl: typeof photoDataUrl;
  cardKind: typeof cardKind;
  isCard: typeof isCard;
  kindName: typeof kindName;
  DEFAULT_URL: string;
  REQUEST_ID: string;
};
export default KrvReader;

declare global {
  /** What the classic script (cardreader.js) defines. */
  var KrvReader: typeof import('./index.js').default;
}
