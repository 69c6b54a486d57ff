/** Connection state of a CardReaderClient. */
export type ConnectionState = 'connecting' | 'open' | 'closed';

/** Document kinds: "A" resident card, "J" residence permit, "I" permanent residence card. */
export type CardKind = 'A' | 'J' | 'I';

/** The card holder's data, twenty string members ("" where the kind carries none). */
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
  /** A WebSocket implementation where there is no global one (Node.js). */
  WebSocket?: unknown;
  /** Connect at construction; default true. */
  autoConnect?: boolean;
}

/**
 * The service's negative status codes (-1 library missing, -2 open failed,
 * -3 read failed, -4 unknown command) or the client's own: "TIMEOUT",
 * "DISCONNECTED", "CLOSED".
 */
export class CardReaderError extends Error {
  readonly code: number | 'TIMEOUT' | 'DISCONNECTED' | 'CLOSED';
  /** The service's Chinese message, "" for the client's own errors. */
  readonly serviceMessage: string;
  /** A short English explanation of the code. */
  readonly explanation: string;
  readonly reply?: Reply;
}

export class CardReaderClient extends EventTarget {
  constructor(options?: ClientOptions);
  readonly url: string;
  readonly state: ConnectionState;
  connect(): void;
  close(): void;
  openDevice(): Promise<Reply>;
  closeDevice(): Promise<Reply>;
  /** Resolves with "read_result": a Card, or {} for an unrecognised record. */
  readCard(): Promise<Card | Record<string, never>>;
  send(cmd: string, members?: Record<string, unknown>): Promise<Reply>;
  addEventListener(type: 'statechange', listener: (event: CustomEvent<{ state: ConnectionState }>) => void): void;
  addEventListener(type: 'reply', listener: (event: CustomEvent<Reply>) => void): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null): void;
}

/** A data: URL when photo holds base64 JPEG, PNG or BMP data; null otherwise. */
export function photoDataUrl(photo: unknown): string | null;
/** The kind of a card object, or null for an empty or unknown one. */
export function cardKind(card: unknown): CardKind | null;
/** A readable name for a kind or a card object, or null. */
export function kindName(kindOrCard: CardKind | Card | string): string | null;

export const DEFAULT_URL: string;
export const REQUEST_ID: string;

declare const KrvReader: {
  CardReaderClient: typeof CardReaderClient;
  CardReaderError: typeof CardReaderError;
  photoDataUrl: typeof photoDataUrl;
  cardKind: typeof cardKind;
  kindName: typeof kindName;
  DEFAULT_URL: string;
  REQUEST_ID: string;
};
export default KrvReader;
