// ES module entry: import { CardReaderClient } from './index.js'.
import './cardreader.js';

const api = globalThis.KrvReader;

export const { CardReaderClient, CardReaderError, photoDataUrl, cardKind, isCard, kindName, DEFAULT_URL,
               REQUEST_ID } = api;
export default api;
