// Starts the real service from a temporary folder beside the simulator, as the
// C++ tests do, for the module and browser tests.
import { spawn } from 'node:child_process';
import { copyFileSync, mkdtempSync, rmSync, writeFileSync, chmodSync } from 'node:fs';
import net from 'node:net';
import WebSocket from 'ws';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const bin = process.env.KRV_BUILD_BIN || path.resolve(here, '../../build/bin');
export const PORT = 35561;

export function portAccepts(port = PORT) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
  });
}

/** Whether a WebSocket handshake on the port completes within the time. */
export function answersHandshake(port = PORT, ms = 10000) {
  return new Promise((resolve) => {
    const socket = new WebSocket(`ws://127.0.0.1:${port}`);
    const timer = setTimeout(() => { socket.terminate(); resolve(false); }, ms);
    socket.once('open', () => { clearTimeout(timer); socket.terminate(); resolve(true); });
    socket.once('error', () => { clearTimeout(timer); resolve(false); });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class Service {
  /** card: sample kind ("A", "J", "I") or null; env: simulator controls. */
  constructor({ card = 'A', env = {} } = {}) {
    this.dir = mkdtempSync(path.join(os.tmpdir(), 'krv-web-'));
    for (const file of ['KRVI2VeravaWebSocket', 'krvreaderhost', 'libCommonInterface.so', 'logo.ico'])
      copyFileSync(path.join(bin, file), path.join(this.dir, file));
    for (const program of ['KRVI2VeravaWebSocket', 'krvreaderhost'])
      chmodSync(path.join(this.dir, program), 0o755);
    if (card)
      this.putCard(card);
    this.env = env;
    this.process = null;
  }

  putCard(kind) {
    copyFileSync(path.join(bin, 'cards', `card-${kind}.txt`), path.join(this.dir, 'card.txt'));
  }

  putCardText(text) {
    writeFileSync(path.join(this.dir, 'card.txt'), text);
  }

  /** A fault of the reader library in its next read (see the simulator). */
  putFault(fault) {
    writeFileSync(path.join(this.dir, 'fault.txt'), fault);
  }

  removeCard() {
    rmSync(path.join(this.dir, 'card.txt'), { force: true });
  }

  async start() {
    if (await portAccepts())
      throw new Error(`port ${PORT} is taken before the start`);
    const env = { ...process.env, QT_QPA_PLATFORM: 'offscreen', ...this.env };
    for (const name of Object.keys(env)) {
      if (name.startsWith('KRSIM_') && !(name in this.env))
        delete env[name];
    }
    this.process = spawn(path.join(this.dir, 'KRVI2VeravaWebSocket'), [], { env, stdio: 'ignore' });
    const exited = new Promise((resolve) => this.process.once('exit', resolve));
    this.exited = exited;
    // Serving, not only listening: handshakes are answered once the service's
    // event loop runs, which a loaded machine can delay past the listen.
    const deadline = Date.now() + 20000;
    while (Date.now() < deadline) {
      if (this.process.exitCode !== null)
        throw new Error(`the service ended with ${this.process.exitCode}`);
      if (await portAccepts() && await answersHandshake(PORT, deadline - Date.now()))
        return;
      await sleep(25);
    }
    throw new Error('the service did not serve within 20 s');
  }

  // SIGTERM lets the service say goodbye (close code 1001); its reader host
  // ends with it.
  async stop(signal = 'SIGTERM') {
    if (!this.process || this.process.exitCode !== null || this.process.signalCode !== null)
      return;
    this.process.kill(signal);
    await this.exited;
    // The port is free again once nothing accepts on it.
    for (let i = 0; i < 200 && await portAccepts(); i++)
      await sleep(25);
  }

  async dispose() {
    await this.stop();
    rmSync(this.dir, { recursive: true, force: true });
  }
}
