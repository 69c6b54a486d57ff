#!/usr/bin/env python3
"""The desk's page in a crowd: while hostile or careless peers load the port,
a page asks close_device every 200 ms; its latencies, lost requests and the
server's memory are measured for the service and for the floor under the same
crowd. Run by bench/run.py (or alone: bench/crowds.py, after a build)."""
import collections
import os
import selectors
import socket
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402  (the benchmark's service, floor and WebSocket helpers)

CLOSE = '{"cmd":"close_device"}'
READ = '{"cmd":"read_card_info"}'


def frame(opcode, payload, fin=True):
    """A masked client frame (the mask is fixed: the crowd reuses the bytes)."""
    mask = b'\x01\x02\x03\x04'
    head = bytes([(0x80 if fin else 0) | opcode])
    if len(payload) < 126:
        head += bytes([0x80 | len(payload)])
    else:
        head += bytes([0x80 | 126]) + len(payload).to_bytes(2, 'big')
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


# name, peers, what each does, descriptors for the server (None: as it has)
CROWDS = [
    ('pings as fast as the pongs are read', 300, 'pings', None),
    ('1-byte fragments as fast as they go', 2000, 'fragments', None),
    ('read_card_info pipelined, replies never read', 2000, 'reads', None),
    ('half-sent request heads, reopened when closed', 3000, 'heads', 1024),
    ('16 KiB heads dripped a byte every 0.4 ms', 20, 'drip', None),
    ('idle connections', 2000, 'idle', None),
]


def worker(kind, count, port, seconds):
    """Runs one crowd against the port for so many seconds (a process of its own)."""
    selector = selectors.DefaultSelector()
    ping = frame(0x9, b'p')
    fragment = frame(0x0, b' ', fin=False)
    reads = frame(0x1, READ.encode()) * 50
    head = b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nX-Pad: '
    deadline = time.monotonic() + seconds

    def open_peer():
        if kind in ('heads', 'drip'):
            sock = socket.socket()
            sock.setblocking(False)
            sock.connect_ex(('127.0.0.1', port))
            selector.register(sock, selectors.EVENT_READ | selectors.EVENT_WRITE, [0])
            return
        sock = run.handshake(port, timeout=5.0)
        if not sock:
            return
        if kind == 'reads':
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.setblocking(False)
        try:
            if kind == 'pings':
                sock.send(ping)
            elif kind == 'fragments':
                sock.send(frame(0x1, b' ', fin=False))
        except OSError:
            sock.close()
            return
        events = {'pings': selectors.EVENT_READ, 'idle': selectors.EVENT_READ,
                  'fragments': selectors.EVENT_READ | selectors.EVENT_WRITE,
                  'reads': selectors.EVENT_WRITE}[kind]
        selector.register(sock, events, [0])

    def reopen(sock):
        selector.unregister(sock)
        sock.close()
        if time.monotonic() < deadline:
            open_peer()

    for _ in range(count):
        open_peer()
    next_drip = time.monotonic()
    while time.monotonic() < deadline:
        timeout = 0.0004 if kind == 'drip' else 0.05
        for key, events in selector.select(timeout):
            sock, sent = key.fileobj, key.data
            try:
                if events & selectors.EVENT_READ:
                    data = sock.recv(65536)
                    if not data:
                        reopen(sock)
                        continue
                    if kind == 'pings':
                        sock.send(ping)
                    elif kind == 'heads':
                        reopen(sock)  # answered (refused or timed out): come again
                        continue
                if events & selectors.EVENT_WRITE:
                    if kind == 'fragments':
                        sock.send(fragment)
                    elif kind == 'reads':
                        sock.send(reads)
                    elif kind in ('heads', 'drip') and sent[0] == 0:
                        sock.send(head)
                        sent[0] = 1
                        selector.modify(sock, selectors.EVENT_READ, sent)
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                reopen(sock)
        if kind == 'drip' and time.monotonic() >= next_drip:
            next_drip += 0.0004
            for key in list(selector.get_map().values()):
                if key.data[0] >= 1:
                    try:
                        key.fileobj.send(b'x')
                        key.data[0] += 1
                        if key.data[0] > 16 * 1024:
                            reopen(key.fileobj)
                    except (BlockingIOError, InterruptedError):
                        pass
                    except OSError:
                        reopen(key.fileobj)


class Desk:
    """The desk's page (its Origin sent, as a browser does): close_device every
    200 ms, on one connection kept open (opened again when lost); latencies in
    milliseconds."""

    def __init__(self, port):
        self.port = port
        self.latencies = []
        self.lost = 0
        self.reasons = collections.Counter()  # what each lost request met
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run)

    def run(self):
        if run.PIN:
            os.sched_setaffinity(0, run.CLIENT_CPUS)
        sock = None
        while not self.stopping.is_set():
            started = time.monotonic()
            try:
                if sock is None:
                    sock = run.handshake(self.port, timeout=5.0, origin=run.PAGE_ORIGIN)
                    if sock is None:
                        raise OSError('no connection')
                    sock.settimeout(5.0)
                run.ws_send(sock, CLOSE)
                run.ws_recv(sock)
                self.latencies.append((time.monotonic() - started) * 1000.0)
            except OSError as error:
                self.lost += 1
                self.reasons[f"{'handshake' if sock is None else 'request'}: {error}"] += 1
                if sock:
                    sock.close()
                sock = None
            self.stopping.wait(max(0.0, 0.2 - (time.monotonic() - started)))
        if sock:
            sock.close()


def one_crowd(port, process, kind, count, fds, seconds):
    if fds:
        subprocess.run(['prlimit', f'--pid={process.pid}', f'--nofile={fds}:{fds}'], check=True)
    crowd = subprocess.Popen([sys.executable, os.path.abspath(__file__), '--worker', kind,
                              str(count), str(port), str(seconds)],
                             preexec_fn=run.pinned(run.CLIENT_CPUS))
    time.sleep(min(3.0, seconds / 3))  # the crowd gathers
    desk = Desk(port)
    desk.thread.start()
    peak = 0
    while crowd.poll() is None:
        peak = max(peak, run.rss_kib(process.pid))
        time.sleep(0.1)
    desk.stopping.set()
    desk.thread.join()
    lat = desk.latencies or [float('nan')]
    return {'median': statistics.median(lat), 'max': max(lat), 'lost': desk.lost,
            'answered': len(desk.latencies), 'peak_kib': peak, 'reasons': dict(desk.reasons)}


def measure_crowds(seconds=12.0, settle=20.0):
    rows = []
    for name, count, kind, fds in CROWDS:
        service = run.Service()
        try:
            service.start()
            time.sleep(1.0)
            idle = run.rss_kib(service.process.pid)
            mine = one_crowd(run.SERVICE_PORT, service.process, kind, count, fds, seconds)
            time.sleep(settle)
            after = run.rss_kib(service.process.pid)
        finally:
            service.remove()
        floor = run.Floor(105)
        try:
            theirs = one_crowd(run.FLOOR_PORT, floor.process, kind, count, fds, seconds)
        finally:
            floor.stop()
        row = {'crowd': name, 'peers': count, 'service': mine, 'floor': theirs,
               'idle_kib': idle, 'after_kib': after}
        rows.append(row)
        print(f"{name:48} service median {mine['median']:6.1f} ms max {mine['max']:7.1f} ms "
              f"lost {mine['lost']} peak {mine['peak_kib'] / 1024:6.1f} MiB, "
              f"{settle:.0f} s after {after / 1024:5.1f} MiB (idle {idle / 1024:.1f}) | "
              f"floor median {theirs['median']:6.1f} ms max {theirs['max']:7.1f} ms "
              f"lost {theirs['lost']}", flush=True)
        for side, figures in (('service', mine), ('floor', theirs)):
            for reason, times in figures['reasons'].items():
                print(f"    {side} lost {times}: {reason}", flush=True)
    return rows


def two_in_flight(rounds=200):
    """Milliseconds for two close_device sent together to be answered, on one
    connection (medians of the service's and the floor's)."""
    def measure(port):
        sock = run.handshake(port, timeout=5.0)
        sock.settimeout(5.0)
        samples = []
        for _ in range(rounds):
            started = time.monotonic()
            run.ws_send(sock, CLOSE)
            run.ws_send(sock, CLOSE)
            run.ws_recv(sock)
            run.ws_recv(sock)
            samples.append((time.monotonic() - started) * 1000.0)
        sock.close()
        return statistics.median(samples)

    service = run.Service()
    try:
        service.start()
        mine = measure(run.SERVICE_PORT)
    finally:
        service.remove()
    floor = run.Floor(105)
    try:
        theirs = measure(run.FLOOR_PORT)
    finally:
        floor.stop()
    return mine, theirs


def markdown(rows, pair, settle=20.0):
    lines = ['## The desk\'s page in a crowd', '',
             'A page (sending its Origin, as browsers do; the crowd sends none) sends '
             'close_device every 200 ms on one connection while the crowd runs '
             '(crowd and page on core 1, the server on core 0); the same crowd against the '
             'floor. Latencies in milliseconds; memory of service and reader host together.', '',
             '| crowd | peers | service median | service slowest | lost | floor median | '
             'floor slowest | floor lost | service peak | idle before | '
             f'{settle:.0f} s after |',
             '| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |']
    for r in rows:
        s, f = r['service'], r['floor']
        lines.append(f"| {r['crowd']} | {r['peers']} | {s['median']:.1f} | {s['max']:.1f} | "
                     f"{s['lost']} | {f['median']:.1f} | {f['max']:.1f} | {f['lost']} | "
                     f"{s['peak_kib'] / 1024:.0f} MiB | {r['idle_kib'] / 1024:.1f} MiB | "
                     f"{r['after_kib'] / 1024:.1f} MiB |")
    lines += ['', f'Two close_device sent together on one connection, both answered: service '
              f'{pair[0]:.2f} ms, floor {pair[1]:.2f} ms (medians of 200).', '']
    targets = []
    for r in rows:
        s = r['service']
        ok = s['median'] <= 50 and s['max'] <= 1000 and s['lost'] == 0
        targets.append((f"{r['crowd']}: page median at most 50 ms, slowest at most 1 s, none lost",
                        f"{s['median']:.1f} / {s['max']:.0f} ms / {s['lost']}", ok))
        back = r['after_kib'] - r['idle_kib']
        targets.append((f"{r['crowd']}: within 10 MiB of idle {settle:.0f} s after",
                        f"{back / 1024:+.1f} MiB", back <= 10 * 1024))
    targets.append(('two calls in flight: median at most 1 ms', f'{pair[0]:.2f} ms', pair[0] <= 1))
    lines += ['| target | reached | |', '| --- | ---: | --- |']
    lines += [f'| {text} | {value} | {run.verdict(ok)} |' for text, value, ok in targets]
    return lines + ['']


if __name__ == '__main__':
    if len(sys.argv) == 6 and sys.argv[1] == '--worker':
        worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5]))
    else:
        import resource
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 16384)), hard))
        crowd_rows = measure_crowds()
        print('\n'.join(markdown(crowd_rows, two_in_flight())))
