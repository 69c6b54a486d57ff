#!/usr/bin/env python3
"""Benchmarks the service side by side with the floor (a bare QWebSocketServer
from the same Qt answering a fixed reply of the same size), alternating the two
over several rounds and quoting medians. Writes bench/RESULTS.md.

Run after a build (scripts/build.sh); see docs/developing.md, Benchmarks.
"""
import argparse
import datetime
import json
import os
import platform
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, os.environ.get('BUILD_DIR', 'build'))
BIN = os.path.join(BUILD, 'bin')
TOOLS = os.path.join(BUILD, 'bench')
SERVICE_PORT = 35561
FLOOR_PORT = 30001  # below Linux's ephemeral range, so no TIME-WAIT socket holds it
# With two or more cores the server under test runs on the first and the load
# client on the second, so that neither competes with the other for a core and
# wake-ups cost the same for the service and the floor.
PIN = (os.cpu_count() or 1) >= 2
SERVER_CPUS = {0}
CLIENT_CPUS = {1}


def pinned(cpus):
    return (lambda: os.sched_setaffinity(0, cpus)) if PIN else None


# After its first call "close_device" finds the reader closed and is answered
# without the library; "open_device" and "read_card_info" reach the reader
# host every time.
COMMANDS = {
    'close_device': '{"cmd":"close_device"}',
    'read_card_info': '{"cmd":"read_card_info"}',
    'open_device': '{"cmd":"open_device"}',
}


def handshake(port, timeout=1.0, origin=None):
    """Opens a WebSocket connection by hand; the socket once upgraded, else None."""
    try:
        sock = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    except OSError:
        return None
    try:
        sock.sendall(b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n'
                     b'Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n'
                     + (f'Origin: {origin}\r\n'.encode() if origin else b'')
                     + b'Sec-WebSocket-Version: 13\r\n\r\n')
        answer = b''
        while b'\r\n\r\n' not in answer:
            chunk = sock.recv(4096)
            if not chunk:
                raise OSError('closed')
            answer += chunk
        if answer.startswith(b'HTTP/1.1 101'):
            return sock
    except OSError:
        pass
    sock.close()
    return None


def wait_until_serving(port, process, timeout=20.0, origin=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError(f'process ended with {process.returncode}')
        sock = handshake(port, origin=origin)
        if sock:
            sock.close()
            return
        # A refused connection costs little; tries a millisecond apart keep
        # the start-up figure within a millisecond of the truth.
        time.sleep(0.001)
    raise RuntimeError(f'nothing served on port {port} within {timeout} s')


def rss_kib(pid):
    """Resident memory of the service and its reader host together."""
    pids = [pid]
    try:
        with open(f'/proc/{pid}/task/{pid}/children') as children:
            pids += [int(child) for child in children.read().split()]
    except (OSError, ValueError):
        pass
    total = 0
    for each in pids:
        try:
            with open(f'/proc/{each}/status') as status:
                for line in status:
                    if line.startswith('VmRSS:'):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


class Service:
    """The service in a temporary folder beside the simulator, sample card A on the reader."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='krv-bench-')
        for name in ('KRVI2VeravaWebSocket', 'krvreaderhost', 'libCommonInterface.so', 'logo.ico'):
            shutil.copy2(os.path.join(BIN, name), self.dir)
        shutil.copy2(os.path.join(BIN, 'cards', 'card-A.txt'), os.path.join(self.dir, 'card.txt'))
        self.process = None
        self.policy = None

    def set_policy(self, text):
        """The policy the next start reads (None: none)."""
        self.policy = None
        if text is not None:
            self.policy = os.path.join(self.dir, 'xdg')
            os.makedirs(os.path.join(self.policy, 'krvi2veravawebsocket'), exist_ok=True)
            with open(os.path.join(self.policy, 'krvi2veravawebsocket', 'policy.conf'), 'w') as out:
                out.write(text)

    def spawn(self):
        env = {k: v for k, v in os.environ.items() if not k.startswith('KRSIM_')}
        env['QT_QPA_PLATFORM'] = 'offscreen'
        # A folder without a policy when none is wanted (this machine's
        # /etc/xdg, which counts too, holds none).
        env['XDG_CONFIG_DIRS'] = self.policy or os.path.join(self.dir, 'no-policy')
        self.process = subprocess.Popen([os.path.join(self.dir, 'KRVI2VeravaWebSocket')], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=pinned(SERVER_CPUS))
        return self.process

    def start(self):
        wait_until_serving(SERVICE_PORT, self.spawn(), origin=PAGE_ORIGIN)

    def set_log(self, present):
        path = os.path.join(self.dir, 'krlog.txt')
        if present:
            open(path, 'w').close()
        elif os.path.exists(path):
            os.remove(path)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait()
        wait_port_free(SERVICE_PORT)

    def remove(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_port_free(port):
    for _ in range(400):
        sock = handshake(port, timeout=0.2)
        if not sock:
            return
        sock.close()
        time.sleep(0.025)


class Floor:
    def __init__(self, size):
        self.process = subprocess.Popen([os.path.join(TOOLS, 'floorserver'), '--port', str(FLOOR_PORT),
                                          '--size', str(size)], stdout=subprocess.DEVNULL,
                                        preexec_fn=pinned(SERVER_CPUS))
        wait_until_serving(FLOOR_PORT, self.process)

    def stop(self):
        self.process.terminate()
        self.process.wait()
        wait_port_free(FLOOR_PORT)


def load(port, connections, seconds, message, warmup, origin=None):
    out = subprocess.run([os.path.join(TOOLS, 'loadclient'), '--port', str(port), '--connections',
                          str(connections), '--seconds', str(seconds), '--warmup', str(warmup),
                          '--message', message] + (['--origin', origin] if origin else []),
                         capture_output=True, text=True, check=False,
                         preexec_fn=pinned(CLIENT_CPUS))
    if out.returncode != 0:
        raise RuntimeError(f'loadclient failed ({out.returncode}): {out.stdout} {out.stderr}')
    return json.loads(out.stdout)


def reply(port, message):
    out = subprocess.run([os.path.join(TOOLS, 'loadclient'), '--port', str(port), '--print-reply',
                          '--message', message], capture_output=True, check=True)
    return out.stdout



def median_of(runs, key):
    return statistics.median(run[key] for run in runs)


def measure_throughput(service, args):
    scenarios = []
    for log in (False, True):
        for command in COMMANDS:
            for connections in args.connections:
                if log and (connections not in args.log_connections or command == 'open_device'):
                    continue
                scenarios.append((command, connections, log))

    results = []
    for command, connections, log in scenarios:
        message = COMMANDS[command]
        service.set_log(log)
        # "close_device" closes the simulated reader: open it again, and make
        # sure that reads succeed, so that the 8 KB card is what is measured.
        reply(SERVICE_PORT, '{"cmd":"open_device"}')
        answer = reply(SERVICE_PORT, message)
        if b'"statuCode": 0' not in answer:
            raise RuntimeError(f'{command} fails: {answer[:200]!r}')
        size = len(answer)
        floor = Floor(size)
        runs = {'service': [], 'floor': []}
        try:
            for round_ in range(args.rounds):
                order = ['service', 'floor'] if round_ % 2 == 0 else ['floor', 'service']
                for who in order:
                    port = SERVICE_PORT if who == 'service' else FLOOR_PORT
                    runs[who].append(load(port, connections, args.seconds, message, args.warmup))
        finally:
            floor.stop()
        row = {'command': command, 'connections': connections, 'log': log, 'bytes': size}
        for who in runs:
            for key in ('rps', 'p50_us', 'p99_us', 'max_us'):
                row[f'{who}_{key}'] = median_of(runs[who], key)
        # Each round runs the two back to back: the median of the rounds' own
        # ratios leaves out drifts in the machine's speed between rounds.
        for key in ('rps', 'p50_us'):
            row[f'ratio_{key}'] = statistics.median(
                s[key] / f[key] for s, f in zip(runs['service'], runs['floor']))
        results.append(row)
        print(f"{command:15} c={connections:<4} log={'on ' if log else 'off'} "
              f"service {row['service_rps']:9.0f}/s p50 {row['service_p50_us']:7.1f} us | "
              f"floor {row['floor_rps']:9.0f}/s p50 {row['floor_p50_us']:7.1f} us | "
              f"ratio {row['ratio_rps']:.2f}, p50 {row['ratio_p50_us']:.2f}", flush=True)
    service.set_log(False)
    return results


# What a counter's administrator would write (docs/deploying.md), the page's
# origin listed.
PAGE_ORIGIN = 'http://127.0.0.1:8080'
COUNTER_POLICY = ('[network]\nlisten = loopback\norigins = ' + PAGE_ORIGIN + '\n'
                  'noOrigin = refuse\notherUsers = refuse\n[log]\ncardData = redacted\n')


def measure_policy(service, args, handshakes=200):
    """The policy's cost, without it and with the counter's: the median of a
    page's handshakes (milliseconds), and close_device at 10 connections as a
    ratio to the floor. The two alternate over the rounds, this process on the
    load client's core, as noise between rounds is larger than the cost."""
    times = {'without': [], 'with': []}
    ratios = {'without': [], 'with': []}
    floor = Floor(len(reply(SERVICE_PORT, COMMANDS['close_device'])))
    mask = os.sched_getaffinity(0)
    if PIN:
        os.sched_setaffinity(0, CLIENT_CPUS)
    try:
        for _ in range(args.rounds):
            for name, text in (('without', None), ('with', COUNTER_POLICY)):
                service.stop()
                service.set_policy(text)
                service.start()
                samples = []
                # A page is held to a few tens of messages a second: the
                # throughput is a program's (no Origin), which the counter's
                # policy then has to let in.
                if text:
                    program_policy = text.replace('noOrigin = refuse', 'noOrigin = allow')
                for _ in range(handshakes):
                    started = time.perf_counter()
                    sock = handshake(SERVICE_PORT, origin=PAGE_ORIGIN)
                    samples.append((time.perf_counter() - started) * 1000.0)
                    if not sock:
                        raise RuntimeError(f'a page\'s handshake failed {name} the policy')
                    sock.close()
                times[name].append(statistics.median(samples))
                if text:
                    service.stop()
                    service.set_policy(program_policy)
                    service.start()
                served = load(SERVICE_PORT, 10, args.seconds, COMMANDS['close_device'], args.warmup)
                floored = load(FLOOR_PORT, 10, args.seconds, COMMANDS['close_device'], args.warmup)
                ratios[name].append(served['rps'] / floored['rps'])
    finally:
        os.sched_setaffinity(0, mask)
        floor.stop()
        service.stop()
        service.set_policy(None)
        service.start()
    results = {name: (statistics.median(times[name]), statistics.median(ratios[name]))
               for name in times}
    for name, (ms, ratio) in results.items():
        print(f'policy {name:7}: handshake {ms:.3f} ms, close_device c=10 {ratio:.2f} x the floor',
              flush=True)
    return results


def policy_lines(results):
    (bare_ms, bare_ratio), (gated_ms, gated_ratio) = results['without'], results['with']
    return [
        '## With an administrator\'s policy', '',
        'The same service without a policy and with the one a counter would have (`listen = '
        'loopback`, the page\'s origin listed, `noOrigin` and `otherUsers` refused, `cardData = '
        'redacted`), the page sending its Origin. A page is held to 50 messages a second, so '
        'close_device at 10 connections is a program\'s (no Origin), with `noOrigin = allow` in '
        'the same policy.', '',
        '| measure | without | with | difference | target | |', '| --- | ---: | ---: | ---: | ---: | --- |',
        f'| a page\'s handshake (median of rounds of 200) | {bare_ms:.3f} ms | {gated_ms:.3f} ms | '
        f'{gated_ms - bare_ms:+.3f} ms | at most +0.05 ms | {verdict(gated_ms - bare_ms <= 0.05)} |',
        f'| close_device, 10 connections, x the floor | {bare_ratio:.2f} | {gated_ratio:.2f} | '
        f'{gated_ratio - bare_ratio:+.2f} | at least -0.05 | {verdict(gated_ratio - bare_ratio >= -0.05)} |',
        '']


def measure_startup(service, rounds):
    """Milliseconds from process start to the first accepted WebSocket connection."""
    samples = []
    for _ in range(rounds):
        started = time.monotonic()
        process = service.spawn()
        wait_until_serving(SERVICE_PORT, process)
        samples.append((time.monotonic() - started) * 1000.0)
        service.stop()
    return statistics.median(samples), samples


def ws_send(sock, text):
    """One masked text frame (a client's)."""
    payload = text.encode()
    mask = os.urandom(4)
    head = bytes([0x81])
    if len(payload) < 126:
        head += bytes([0x80 | len(payload)])
    else:
        head += bytes([0x80 | 126]) + len(payload).to_bytes(2, 'big')
    sock.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))


def ws_recv(sock):
    """The payload of the next frame, as text."""
    def exactly(count):
        data = b''
        while len(data) < count:
            chunk = sock.recv(count - len(data))
            if not chunk:
                raise OSError('closed')
            data += chunk
        return data
    head = exactly(2)
    length = head[1] & 0x7f
    if length == 126:
        length = int.from_bytes(exactly(2), 'big')
    elif length == 127:
        length = int.from_bytes(exactly(8), 'big')
    return exactly(length).decode(errors='replace')


def measure_crash_recovery(service, rounds):
    """Milliseconds from a read that crashes the reader library to the next
    read answered with the card, on the same connection, opening the reader
    again as the browser client does."""
    service.start()
    samples = []
    sock = handshake(SERVICE_PORT, timeout=5.0)
    sock.settimeout(30)
    for _ in range(rounds):
        ws_send(sock, '{"cmd":"open_device"}')
        ws_recv(sock)
        with open(os.path.join(service.dir, 'fault.txt'), 'w') as fault:
            fault.write('segv')
        started = time.monotonic()
        ws_send(sock, '{"cmd":"read_card_info"}')
        if 'LIBRARY_FAULT' not in ws_recv(sock):
            raise RuntimeError('the crash was not reported as LIBRARY_FAULT')
        while True:
            ws_send(sock, '{"cmd":"open_device"}')
            ws_recv(sock)
            ws_send(sock, '{"cmd":"read_card_info"}')
            if '"idNum"' in ws_recv(sock):
                break
        samples.append((time.monotonic() - started) * 1000.0)
        time.sleep(0.2)
    sock.close()
    service.stop()
    return statistics.median(samples), samples


def measure_memory(service, idle_connections):
    service.start()
    time.sleep(1.0)
    idle = rss_kib(service.process.pid)
    sockets = []
    for _ in range(idle_connections):
        sock = handshake(SERVICE_PORT, timeout=5.0)
        if not sock:
            raise RuntimeError('an idle connection failed')
        sockets.append(sock)
    time.sleep(1.0)
    loaded = rss_kib(service.process.pid)
    for sock in sockets:
        sock.close()
    service.stop()
    return idle, loaded


def machine():
    model = ''
    with open('/proc/cpuinfo') as info:
        for line in info:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    qt = subprocess.run(['pkg-config', '--modversion', 'Qt5Core'], capture_output=True, text=True)
    return {
        'cpu': model, 'cores': os.cpu_count(), 'kernel': platform.release(),
        'memory': f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB",
        'qt': qt.stdout.strip() or 'unknown',
    }


def verdict(ok):
    return 'met' if ok else '**missed**'


def write_results(path, args, rows, startup, memory, crash, info, crowd_lines=()):
    idle, loaded = memory
    by = {(r['command'], r['connections'], r['log']): r for r in rows}
    lines = [
        '# Benchmark results', '',
        f"Run {datetime.date.today().isoformat()} by `bench/run.py` ({args.rounds} rounds of "
        f"{args.seconds} s each, after {args.warmup} s of warm-up, service and floor alternating; "
        'medians).', '',
        f"Machine: {info['cpu']}, {info['cores']} cores, {info['memory']}, Linux {info['kernel']}, "
        f"Qt {info['qt']}. "
        + ('The server under test runs pinned to core 0, the load client to core 1.'
           if PIN else 'Load client and server share the one core.'), '',
        'The floor is a bare `QWebSocketServer` from the same Qt answering every message with a '
        'fixed reply of the same size as the service\'s reply. Figures are medians over the '
        'rounds; a ratio is the median of the rounds\' own ratios (each round runs service and '
        'floor back to back), which leaves out drifts in the machine\'s speed between rounds. '
        'Latencies in microseconds. After its first call "close_device" finds the reader closed '
        'and is answered without the library; "open_device" and "read_card_info" reach the '
        'reader host every time.', '',
        '| command | conns | log | reply bytes | service rt/s | floor rt/s | ratio | service p50 | '
        'floor p50 | p50 ratio | service p99 | floor p99 | service max | floor max |',
        '| --- | ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |',
    ]
    for r in rows:
        lines.append(
            f"| {r['command']} | {r['connections']} | {'present' if r['log'] else 'absent'} | "
            f"{r['bytes']} | {r['service_rps']:.0f} | {r['floor_rps']:.0f} | "
            f"{r['ratio_rps']:.2f} | {r['service_p50_us']:.1f} | "
            f"{r['floor_p50_us']:.1f} | {r['ratio_p50_us']:.2f} | "
            f"{r['service_p99_us']:.1f} | {r['floor_p99_us']:.1f} | {r['service_max_us']:.0f} | "
            f"{r['floor_max_us']:.0f} |")
    lines += ['', '| measure | value |', '| --- | ---: |',
              f'| start-up to first accepted connection (median of {len(startup[1])}) | '
              f'{startup[0]:.1f} ms |',
              f'| crash in a read to the next read answered (median of {len(crash[1])}) | '
              f'{crash[0]:.1f} ms |',
              f'| resident memory, idle (offscreen; service and reader host) | {idle / 1024:.1f} MiB |',
              f'| resident memory, {args.idle_connections} idle connections | '
              f'{loaded / 1024:.1f} MiB (+{(loaded - idle) / 1024:.1f} MiB) |', '']

    def ratio(command, connections, log=False, key='rps'):
        r = by.get((command, connections, log))
        return r and r[f'ratio_{key}']

    targets = [
        ('"close_device", 10 connections: at least 0.8 x the floor', ratio('close_device', 10), lambda x: x >= 0.8),
        ('one connection ("close_device"): p50 at most 1.25 x the floor', ratio('close_device', 1, key='p50_us'), lambda x: x <= 1.25),
        ('"read_card_info" 8 KB, 10 connections: at least 0.4 x the floor', ratio('read_card_info', 10), lambda x: x >= 0.4),
        # What the service reached while it called the library in its own
        # process; the reader host's round trips cost the difference.
        ('"close_device", 10 connections: as with the library in-process, 0.95 x the floor', ratio('close_device', 10), lambda x: x >= 0.95),
        ('one connection ("close_device"): p50 as with the library in-process, 1.04 x the floor', ratio('close_device', 1, key='p50_us'), lambda x: x <= 1.04),
        ('"read_card_info" 8 KB, 10 connections: as with the library in-process, 0.51 x the floor', ratio('read_card_info', 10), lambda x: x >= 0.51),
        ('log present, "close_device", 10 connections: at least 0.25 x the floor', ratio('close_device', 10, True), lambda x: x >= 0.25),
    ]
    lines += ['## Targets', '', '| target | reached | |', '| --- | ---: | --- |']
    for text, value, ok in targets:
        lines.append(f'| {text} | {value:.2f} | {verdict(ok(value))} |' if value is not None
                     else f'| {text} | not measured | |')
    lines += [f'| start-up median at most 30 ms | {startup[0]:.1f} ms | {verdict(startup[0] <= 30)} |',
              f'| a crash to the next answered read at most 1 s | {crash[0]:.0f} ms | {verdict(crash[0] <= 1000)} |',
              f'| idle resident memory (service and host) at most 37.4 MiB | {idle / 1024:.1f} MiB | {verdict(idle <= 37.4 * 1024)} |',
              f'| {args.idle_connections} idle connections add under 40 MiB | '
              f'{(loaded - idle) / 1024:.1f} MiB | {verdict(loaded - idle < 40 * 1024)} |', '']
    lines += list(crowd_lines)
    with open(path, 'w') as out:
        out.write('\n'.join(lines))


def browser_lines(seconds):
    """bench/browsers.mjs's section: the demo beside a hostile page in Chromium
    and Firefox ESR; left out, with a line saying why, without node or browsers."""
    missing = [what for what, there in (
        ('node', shutil.which('node')), ('chromium', shutil.which('chromium')),
        ('firefox-esr', shutil.which('firefox-esr')),
        ('web/node_modules', os.path.isdir(os.path.join(ROOT, 'web', 'node_modules', 'puppeteer-core'))))
        if not there]
    if seconds <= 0:
        return []
    if missing:
        print(f'browsers left out: {", ".join(missing)} missing', flush=True)
        return ['## The desk\'s page beside a hostile page, in the browsers', '',
                f'Not measured: {", ".join(missing)} missing.', '']
    env = dict(os.environ, KRV_BUILD_BIN=BIN, KRV_BROWSER_SECONDS=str(seconds))
    out = subprocess.run(['node', os.path.join(ROOT, 'bench', 'browsers.mjs')], env=env,
                         stdout=subprocess.PIPE, text=True, check=True)
    return out.stdout.splitlines()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('--seconds', type=float, default=3.0)
    parser.add_argument('--warmup', type=float, default=0.5)
    parser.add_argument('--connections', type=int, nargs='+', default=[1, 10, 100])
    parser.add_argument('--log-connections', type=int, nargs='+', default=[1, 10])
    parser.add_argument('--idle-connections', type=int, default=1000)
    parser.add_argument('--startup-rounds', type=int, default=11)
    parser.add_argument('--crash-rounds', type=int, default=5)
    parser.add_argument('--crowd-seconds', type=float, default=12.0,
                        help='how long each crowd runs (0: no crowds)')
    parser.add_argument('--browser-seconds', type=float, default=15.0,
                        help='how long the demo reads beside each hostile page (0: no browsers)')
    parser.add_argument('--output', default=os.path.join(ROOT, 'bench', 'RESULTS.md'))
    args = parser.parse_args()

    # 1000 idle connections, and crowds of 3000, need more descriptors than
    # the usual soft limit of 1024, in this process and in the service that
    # inherits it.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 16384)), hard))

    for port in (SERVICE_PORT, FLOOR_PORT):
        if handshake(port, timeout=0.3):
            sys.exit(f'port {port} is already serving: stop whatever runs there first')

    service = Service()
    try:
        startup = measure_startup(service, args.startup_rounds)
        print(f'start-up median {startup[0]:.1f} ms', flush=True)
        memory = measure_memory(service, args.idle_connections)
        print(f'rss idle {memory[0] / 1024:.1f} MiB, with {args.idle_connections} connections '
              f'{memory[1] / 1024:.1f} MiB', flush=True)
        crash = measure_crash_recovery(service, args.crash_rounds)
        print(f'crash to the next read {crash[0]:.1f} ms', flush=True)
        service.start()
        rows = measure_throughput(service, args)
        policy = measure_policy(service, args)
    finally:
        service.remove()
    crowd_lines = []
    if args.crowd_seconds > 0:
        import crowds
        crowd_lines = crowds.markdown(crowds.measure_crowds(args.crowd_seconds),
                                      crowds.two_in_flight())
    write_results(args.output, args, rows, startup, memory, crash, machine(),
                  policy_lines(policy) + crowd_lines + browser_lines(args.browser_seconds))
    print(f'wrote {args.output}')


if __name__ == '__main__':
    main()
