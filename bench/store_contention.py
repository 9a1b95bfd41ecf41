#!/usr/bin/env python3
"""How long a secret store waits when many helpers use the file store at once.

For each helper binary given, WORKERS threads each run ROUNDS one-shot `--secret-store` commands
(a name of their own, a 4 KiB value) followed by a `--secret-load`, all on one fresh file store (no session bus, so no desktop keyring takes the secrets).
Prints the time each store took (median, 99th percentile, longest) and how many failed. The
longest wait is the figure that matters: a helper that waits its turn fairly finishes in about
the time the others need for their own stores, however many there are.

Usage: bench/store_contention.py [--workers N] [--rounds N] <helper> [<helper> ...]
"""
import argparse
import os
import statistics
import subprocess
import tempfile
import threading
import time


def run(helper, workers, rounds):
    with tempfile.TemporaryDirectory() as home:
        # No session bus, so the file store is used even on a desktop with a keyring.
        environment = {name: value for name, value in os.environ.items()
                       if name not in ("DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR")}
        environment["XDG_DATA_HOME"] = home
        times = []
        failures = []
        lock = threading.Lock()

        def worker(number):
            for round_number in range(rounds):
                value = os.urandom(3072).hex()[:4096]
                started = time.perf_counter()
                stored = subprocess.run(
                    [helper, "--secret-store", "--service", "contention", "--account", str(number)],
                    input=value.encode(), capture_output=True, env=environment)
                took = time.perf_counter() - started
                loaded = subprocess.run(
                    [helper, "--secret-load", "--service", "contention", "--account", str(number)],
                    capture_output=True, env=environment)
                with lock:
                    times.append(took)
                    if stored.returncode != 0:
                        failures.append(stored.stderr.decode().strip())
                    elif loaded.stdout.decode() != value:
                        failures.append("load gave another value")

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(workers)]
        started = time.perf_counter()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        wall = time.perf_counter() - started
    times.sort()
    return times, failures, wall


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--workers", type=int, default=24)
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("helpers", nargs="+")
    arguments = parser.parse_args()
    for helper in arguments.helpers:
        times, failures, wall = run(helper, arguments.workers, arguments.rounds)
        p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
        print(f"{helper}: {arguments.workers} helpers x {arguments.rounds} stores: "
              f"mean {statistics.mean(times) * 1000:.0f} ms, median {statistics.median(times) * 1000:.0f} ms, p99 {p99 * 1000:.0f} ms, "
              f"longest {times[-1] * 1000:.0f} ms, {len(failures)} failed, all in {wall:.1f} s"
              + (f" (first: {failures[0]})" if failures else ""))


if __name__ == "__main__":
    main()
