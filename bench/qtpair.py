#!/usr/bin/env python3
"""The service built on Qt 5 and on Qt 6, side by side in one run on one
machine: start-up to the first answer, idle resident memory (service and
reader host), close_device at 10 connections against each build's own floor
server, and whether the two answer a read byte for byte alike.

usage: bench/qtpair.py [QT5_BUILD [QT6_BUILD]]   (default build and build-qt6)
"""
import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def one_build(rounds):
    """Measures the build that BUILD_DIR names; prints one JSON line."""
    sys.path.insert(0, HERE)
    import run
    service = run.Service()
    try:
        startup, _ = run.measure_startup(service, rounds)
        service.start()
        time.sleep(2.0)
        idle = run.rss_kib(service.process.pid)
        run.reply(run.SERVICE_PORT, run.COMMANDS['open_device'])
        card = run.reply(run.SERVICE_PORT, run.COMMANDS['read_card_info'])
        run.COMMANDS = {'close_device': run.COMMANDS['close_device']}
        options = argparse.Namespace(connections=[10], log_connections=[], rounds=5, seconds=3.0,
                                     warmup=0.5)
        row = run.measure_throughput(service, options)[0]
    finally:
        service.remove()
    print(json.dumps({'startup_ms': startup, 'idle_kib': idle, 'close10': row['ratio_rps'],
                      'close10_rps': row['service_rps'], 'card': card.decode(errors='replace')}))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('builds', nargs='*', default=['build', 'build-qt6'])
    parser.add_argument('--startup-rounds', type=int, default=11)
    parser.add_argument('--one', action='store_true', help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        one_build(args.startup_rounds)
        return
    results = {}
    # Twice each, alternating, so that a drift of the machine hits both.
    for build in args.builds * 2:
        out = subprocess.run([sys.executable, __file__, '--one', '--startup-rounds',
                              str(args.startup_rounds)],
                             env={**os.environ, 'BUILD_DIR': build}, capture_output=True, text=True,
                             check=True).stdout.strip().splitlines()[-1]
        results.setdefault(build, []).append(json.loads(out))
    print('| build | start-up to first answer (ms) | idle resident, service + host (MiB) '
          '| close_device, 10 connections (x own floor) |')
    print('| --- | ---: | ---: | ---: |')
    for build, runs in results.items():
        print(f"| {build} | {min(r['startup_ms'] for r in runs):.1f} "
              f"| {min(r['idle_kib'] for r in runs) / 1024:.1f} "
              f"| {max(r['close10'] for r in runs):.2f} |")
    cards = {r['card'] for runs in results.values() for r in runs}
    print(f"\nread_card_info replies byte-identical across builds: {len(cards) == 1}")


if __name__ == '__main__':
    main()
