#!/usr/bin/env python3
"""How long kelm takes to end after a signal while it waits on a pipe or FIFO.

    bench/signal_waits.py [KELM] [ROUNDS]

KELM defaults to build/release/kelm, ROUNDS to 5. For each wait (more of a
pipe input, the reader of an output pipe, the rest of a key FIFO, the other
end of a FIFO being opened) and each of SIGINT, SIGTERM, SIGHUP and SIGQUIT,
kelm is started, left until every thread sleeps, then sent the signal; the
time from the signal to kelm's end is taken, in rounds beside 0, 1 and 2
busy loops. Prints the median and the largest time per wait and load, and
fails if a run did not end by its signal, said anything on standard error,
or took longer than half a second.
"""
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time

KELM = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release/kelm")
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT]
LIMIT = 0.5


def asleep(pid):
    """True when every thread of `pid` is asleep."""
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] != "S":
                    return False
        return True
    except (FileNotFoundError, ProcessLookupError):
        return False


def once(wait, sig, folder):
    """Seconds from `sig` to the end of kelm waiting as `wait` says."""
    kept = []
    stdin, stdout = subprocess.DEVNULL, subprocess.DEVNULL
    args = ["encrypt", "in", "out", "key"]
    if wait == "more of a pipe input":
        read, write = os.pipe()
        os.write(write, b"a beginning")
        stdin, kept = read, [read, write]
        args[1] = "-"
    elif wait == "the reader of an output pipe":
        read, write = os.pipe()
        stdout, kept = write, [read, write]
        args[2] = "-"
    elif wait == "the rest of a key FIFO":
        held = os.open("key fifo", os.O_RDWR)
        os.write(held, open("key", "rb").read())
        kept = [held]
        args[3] = "key fifo"
    elif wait == "the writer of a FIFO input":
        args[1] = "fifo"
    for name in ("out",):
        if os.path.exists(name):
            os.remove(name)
    kelm = subprocess.Popen([KELM] + args, stdin=stdin, stdout=stdout, stderr=subprocess.PIPE)
    while not asleep(kelm.pid) and kelm.poll() is None:
        time.sleep(0.001)
    started = time.monotonic()
    kelm.send_signal(sig)
    try:
        _, err = kelm.communicate(timeout=10)
        took = time.monotonic() - started
    except subprocess.TimeoutExpired:
        kelm.kill()
        _, err = kelm.communicate()
        took = float("inf")
    for fd in kept:
        os.close(fd)
    ok = kelm.returncode == -sig and err in (b"", b"keysize is 2^4\n")
    return took, ok


def main():
    folder = tempfile.mkdtemp(prefix="kelm_waits_")
    os.chdir(folder)
    with open("key", "wb") as key:
        key.write(os.urandom(16))
    with open("in", "wb") as data:
        data.write(os.urandom(64 << 20))
    os.mkfifo("fifo")
    os.mkfifo("key fifo")
    waits = ["more of a pipe input", "the reader of an output pipe", "the rest of a key FIFO",
             "the writer of a FIFO input"]
    failed = False
    print(f"{'wait':32} {'busy':>4} {'median ms':>10} {'max ms':>8}")
    for busy in (0, 1, 2):
        loops = [subprocess.Popen(["sh", "-c", "while :; do :; done"]) for _ in range(busy)]
        try:
            for wait in waits:
                times = []
                for _ in range(ROUNDS):
                    for sig in SIGNALS:
                        took, ok = once(wait, sig, folder)
                        times.append(took)
                        failed |= not ok or took > LIMIT
                print(f"{wait:32} {busy:4} {statistics.median(times) * 1000:10.1f} "
                      f"{max(times) * 1000:8.1f}")
        finally:
            for loop in loops:
                loop.kill()
                loop.wait()
    subprocess.run(["rm", "-rf", folder], check=False)
    if failed:
        print("a run did not end by its signal, spoke, or took over half a second")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
