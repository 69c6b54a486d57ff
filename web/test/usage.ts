// Type-checked with `tsc --strict` by the tests: the README's snippet and every
// part of the client's interface as a page would use it.
import KrvDefault, {
  CardReaderClient,
  CardReaderError,
  cardKind,
  isCard,
  kindName,
  photoDataUrl,
  type Card,
  type ErrorCode,
} from '../index.js';
import { FakeCardService, SAMPLE_CARDS } from '../testing.js';

// What a page tells the clerk for each code; the switch must cover every code.
export function hint(code: ErrorCode): string {
  switch (code) {
    case -1: return 'library missing';
    case -2: return 'open failed';
    case -3: return 'read failed';
    case -4: return 'unknown command';
    case 'TIMEOUT': return 'no answer';
    case 'DISCONNECTED': return 'connection lost';
    case 'CLOSED': return 'client closed';
    case 'BAD_REPLY': return 'bad reply';
    case 'UNREACHABLE': return 'start the service';
    case 'BLOCKED': return 'allow local network access';
    case 'PERMISSION_PENDING': return 'answer the prompt';
    case 'OTHER_SESSION': return 'switch to this session';
    case 'TOO_MANY_CONNECTIONS': return 'close the site\'s other tabs';
    case 'RATE_LIMITED': return 'send one request at a time';
    default: {
      const unhandled: never = code;
      return unhandled;
    }
  }
}

export async function readme(): Promise<void> {
  const reader = new CardReaderClient(); // or { url: 'ws://127.0.0.1:35561', timeout: 10000 }
  reader.addEventListener('statechange', (e) => console.log('service:', e.detail.state));
  try {
    await reader.openDevice();
    const card = await reader.readCard(); // the "read_result" object
    if (!isCard(card)) return; // {}: a record the service did not recognise
    console.log(kindName(card satisfies Card), card.name || card.chineseName, card.idNum);
    const img = document.querySelector('img');
    if (img)
      img.src = photoDataUrl(card.photo) ?? ''; // JPEG, PNG or BMP
  } catch (error) {
    if (error instanceof CardReaderError)
      console.error(error.code, error.explanation, error.readerCode, hint(error.code));
  }
}

export async function everyMethod(): Promise<Card | Record<string, never>> {
  const reader = new CardReaderClient({
    url: 'ws://127.0.0.1:35561',
    timeout: 5000,
    reconnect: { initialDelay: 100 },
    connectOnCall: true,
  });
  reader.timeout = 3000;
  reader.reconnect.maxDelay = 1000;
  const stop = new AbortController();
  const onError = (e: CustomEvent<{ code: ErrorCode }>) => console.log(hint(e.detail.code));
  reader.addEventListener('connectionerror', onError, { signal: stop.signal });
  reader.addEventListener('reply', (e) => console.log(e.detail.statuCode), { once: true });
  reader.removeEventListener('connectionerror', onError);
  stop.abort();
  reader.connect();
  const reply = await reader.send('close_device', { tag: 7 });
  console.log(reply.statuCode, reply.result, reader.state, reader.url);
  await reader.closeDevice();
  const own = new CardReaderError('TIMEOUT');
  console.log(own.code, cardKind({}), kindName('A'));
  reader.close();
  return reader.readCard();
}

// The classic script's global, as a page loading cardreader.js sees it.
export const fromScript = new KrvReader.CardReaderClient({ autoConnect: false });
export const fromDefault: typeof KrvDefault = globalThis.KrvReader;

// The fake service as a developer's test drives it.
export async function withFake(): Promise<string> {
  const fake = new FakeCardService({ card: SAMPLE_CARDS.I, readDelay: 10 });
  fake.connection = 'permission-pending';
  fake.connection = 'ok';
  fake.openResult = -5;
  fake.readResult = 1;
  fake.closedReadResult = 2;
  fake.silent = false;
  fake.card = {};
  fake.faultNext('read_card_info');
  fake.faultNext();
  fake.disconnectAll(1001, 'stopped');
  const reader = new CardReaderClient({ WebSocket: fake.WebSocket });
  const card = await reader.readCard();
  const permission: 'granted' | 'denied' | 'prompt' | null = fake.WebSocket.localNetworkPermission();
  return `${fake.requests.length} ${fake.connections} ${fake.readerOpen} ${permission} ${isCard(card)}`;
}
