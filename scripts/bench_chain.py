#!/usr/bin/env python3
"""The measuring half of scripts/bench-chain.sh, which sets up the server and
the contact and says what each figure includes. Runs a publisher, feeds it
tune changes (through a pipe, or from the player and reader under Wine), pairs
each change with the time the contact printed it, and measures the
publisher's wake-ups while nothing changes.

  bench_chain.py pipe|wine --contact-out FILE --label TEXT [options] -- PUBLISHER-COMMAND...
"""
import argparse
import json
import os
import re
import signal
import statistics
import subprocess
import sys
import threading
import time


def log(text):
    print(text, file=sys.stderr, flush=True)


def wait_for_text(path, text, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        with open(path, encoding="utf-8", errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.05)
    return False


def context_switches(pid):
    """Voluntary and involuntary context switches of all the process's threads."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def cpu_seconds(pid):
    """Time all the process's threads have run on a CPU, from the scheduler's
    exact account (/proc/PID/task/TID/schedstat), not from clock ticks."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def wine_server(prefix):
    """The wineserver of the Wine prefix: the process of that name with the prefix in its environment."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if not os.path.basename(os.readlink(f"/proc/{entry}/exe")).startswith("wineserver"):
                continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if f"WINEPREFIX={prefix}".encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def idle_costs(processes, seconds):
    """Each process's share of a core and its wake-ups a second over `seconds`."""
    before = {name: (cpu_seconds(pid), context_switches(pid)) for name, pid in processes.items()}
    time.sleep(seconds)
    costs = {}
    for name, pid in processes.items():
        ran, switches = before[name]
        costs[name] = (100 * (cpu_seconds(pid) - ran) / seconds, (context_switches(pid) - switches) / seconds)
    return costs


def idle_wakeups(pid, seconds):
    before = context_switches(pid)
    time.sleep(seconds)
    return (context_switches(pid) - before) / seconds


def received_times(contact_out, prefix):
    """Title -> the time the contact printed it (the first time)."""
    found = {}
    with open(contact_out, encoding="utf-8") as f:
        for line in f:
            stamp, _, tune = line.partition(" ")
            try:
                title = json.loads(tune).get("title", "")
            except ValueError:
                continue
            if title.startswith(prefix):
                found.setdefault(title, float(stamp))
    return found


def summary(name, sent, received):
    delays = sorted((received[title] - when) * 1000 for title, when in sent.items() if title in received)
    missing = len(sent) - len(delays)
    if not delays:
        return f"{name}: nothing arrived ({len(sent)} sent)"
    p90 = delays[min(len(delays) - 1, int(round(0.9 * (len(delays) - 1))))]
    return (f"{name}: median {statistics.median(delays):.1f} ms, p90 {p90:.1f} ms, "
            f"min {delays[0]:.1f} ms, max {delays[-1]:.1f} ms over {len(delays)} changes"
            + (f" ({missing} never arrived)" if missing else ""))


def start_publisher(command, stdin, err_path):
    err = open(err_path, "w")
    publisher = subprocess.Popen(command + ["--verbose"], stdin=stdin, stderr=err)
    if not wait_for_text(err_path, " connected to ", 15):
        publisher.kill()
        sys.exit(f"the publisher did not connect; see {err_path}")
    return publisher


def finish(publisher):
    try:
        return publisher.wait(timeout=15)
    except subprocess.TimeoutExpired:
        publisher.kill()
        sys.exit("the publisher did not end within 15 s of the end of its input")


def run_pipe(args, command):
    publisher = start_publisher(command, subprocess.PIPE, args.work + "/publisher-pipe.err")
    prefix = f"bench {args.label} "
    sent = {}
    time.sleep(1.5)
    for k in range(args.changes):
        title = f"{prefix}{k}"
        line = json.dumps({"state": "playing", "fields": [["title", title], ["artist", "Bench"]], "length": 200})
        sent[title] = time.time()
        publisher.stdin.write((line + "\n").encode())
        publisher.stdin.flush()
        time.sleep(args.spacing)
    time.sleep(2)  # the last publish answered, then nothing to do
    rate = idle_wakeups(publisher.pid, args.idle)
    publisher.stdin.close()
    status = finish(publisher)
    print(summary("reader line -> contact", sent, received_times(args.contact_out, prefix)))
    print(f"idle wake-ups of the publisher: {rate:.1f} a second (context switches over {args.idle:g} s)")
    if status != 0:
        sys.exit(f"the publisher ended with status {status}")


def run_wine(args, command):
    prefix = f"bench {args.label} "
    playlist = args.work + "/bench.playlist"
    with open(playlist, "w", encoding="utf-8") as f:
        f.write("wait 2s\n")
        for k in range(args.changes):
            f.write(f"track\ntitle = {prefix}{k}\nartist = Bench\nlength = 200\nplay {args.spacing}s\n")
        # One track held while the idle cost is measured.
        f.write(f"track\ntitle = {prefix}held\nartist = Bench\nlength = 200\nplay {args.idle + 4:g}s\n")
        f.write("stop\nwait 1s\n")
    reader = subprocess.Popen([args.wine_run, args.bin + "/vek-ipc-read.exe", "--watch"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    publisher = start_publisher(command, reader.stdout, args.work + "/publisher-wine.err")
    reader.stdout.close()
    time.sleep(1)
    # The player prints each event just before it hands it to the component,
    # which writes the window title while handling it.
    written = {}
    held = threading.Event()
    event = re.compile(r"^\[event\] line \d+: dynamic_info title=(" + re.escape(prefix) + r"(\d+|held));")
    player = subprocess.Popen([args.wine_run, args.bin + "/vek-player.exe", "--verbose", playlist],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def read_player():
        for raw in player.stdout:
            when = time.time()
            match = event.match(raw.decode("utf-8", "replace"))
            if match and match.group(2) == "held":
                held.set()
            elif match:
                written.setdefault(match.group(1), when)

    reading = threading.Thread(target=read_player)
    reading.start()
    if held.wait(timeout=args.changes * args.spacing + 60):
        time.sleep(2)  # the held track published
        processes = {"reader": reader.pid, "publisher": publisher.pid}
        server = wine_server(args.prefix)
        if server:
            processes["wineserver"] = server
        costs = idle_costs(processes, args.idle)
        total = sum(share for share, _ in costs.values())
        parts = ", ".join(f"{name} {share:.2f} % ({wakeups:.0f}/s)" for name, (share, wakeups) in costs.items())
        print(f"idle with the player playing, over {args.idle:g} s: {total:.2f} % of a core "
              f"({parts}; wake-ups a second in brackets)")
    player.wait()
    reading.join()
    time.sleep(2)
    os.killpg(reader.pid, signal.SIGINT)
    reader.wait(timeout=15)
    status = finish(publisher)
    print(summary("title write -> contact (Wine)", written, received_times(args.contact_out, prefix)))
    if player.returncode != 0:
        sys.exit(f"vek-player ended with status {player.returncode}")
    if status != 0:
        sys.exit(f"the publisher ended with status {status}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["pipe", "wine"])
    parser.add_argument("--contact-out", required=True)
    parser.add_argument("--label", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--changes", type=int, default=100)
    parser.add_argument("--spacing", type=float, default=1.2)
    parser.add_argument("--idle", type=float, default=10)
    parser.add_argument("--wine-run")
    parser.add_argument("--prefix", help="the Wine prefix cmake/wine-run uses")
    parser.add_argument("--bin")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    (run_pipe if args.mode == "pipe" else run_wine)(args, args.command)


if __name__ == "__main__":
    main()
