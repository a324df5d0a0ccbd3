#!/usr/bin/env python3
"""Checks, by hand and as root on Linux, that key bytes stay in locked pages
left out of core dumps.

Runs kelm on a large file, stops it several times mid-run, and searches all
of its memory (through /proc/PID/mem, which sees the pages a core leaves out
too) and, when gdb's gcore is installed, a core taken at the same moment,
for any 8 bytes in a row of the key. Every address where they are found must
lie in a mapping whose /proc/PID/smaps shows it locked ("lo") and left out of
dumps ("dd"). Exit status 0 when so, 1 otherwise.

    sudo tests/key_pages_check.py build/dev/kelm
"""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

WINDOW = 8  # key bytes in a row that count as a find
STOPS = 5  # times each run is stopped and searched
INPUT_SIZE = 100 * 1000 * 1000


def mappings(pid):
    """(start, end, name, flags) for every mapping of `pid`."""
    found = []
    current = None
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            head = line.split()
            if "-" in head[0] and not head[0].endswith(":"):
                start, end = (int(x, 16) for x in head[0].split("-"))
                current = [start, end, head[5] if len(head) > 5 else "[anon]", set(), head[1]]
                found.append(current)
            elif head[0] == "VmFlags:":
                current[3] = set(head[1:])
    return found


def finds(data, key):
    """Offsets in `data` where any WINDOW bytes in a row of `key` begin."""
    offsets = set()
    for i in range(len(key) - WINDOW + 1):
        window = key[i:i + WINDOW]
        at = data.find(window)
        while at >= 0:
            offsets.add(at)
            at = data.find(window, at + 1)
    return offsets


def search_memory(pid, key):
    """Addresses in the live process where key bytes lie."""
    addresses = []
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for start, end, name, flags, perms in mappings(pid):
            if "r" not in perms or name == "[vvar]":
                continue
            try:
                mem.seek(start)
                data = mem.read(end - start)
            except OSError:
                continue
            addresses += [start + offset for offset in finds(data, key)]
    return addresses


def search_core(pid, key, folder):
    """Addresses where a core taken by gcore holds key bytes; none without gdb."""
    if shutil.which("gcore") is None:
        return []
    prefix = os.path.join(folder, "core")
    subprocess.run(["gcore", "-o", prefix, str(pid)], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    name = f"{prefix}.{pid}"
    if not os.path.exists(name):
        return []
    with open(name, "rb") as core:
        data = core.read()
    os.remove(name)
    # The program headers say which range of memory each part of the file holds.
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    segments = []
    for i in range(phnum):
        kind, _, offset, vaddr, _, filesz = struct.unpack_from("<IIQQQQ", data, phoff + i * phentsize)
        if kind == 1:  # PT_LOAD
            segments.append((offset, filesz, vaddr))
    addresses = []
    for at in finds(data, key):
        for offset, size, vaddr in segments:
            if offset <= at < offset + size:
                addresses.append(vaddr + at - offset)
    return addresses


def check_run(kelm, mode, source, key_path, key, folder):
    out = os.path.join(folder, "out")
    if os.path.exists(out):
        os.remove(out)
    process = subprocess.Popen([kelm, mode, source, out, key_path], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    faults = 0
    for stop in range(1, STOPS + 1):
        while process.poll() is None and (not os.path.exists(out) or
                                          os.path.getsize(out) < INPUT_SIZE * stop // (STOPS + 2)):
            time.sleep(0.001)
        if process.poll() is not None:
            break
        os.kill(process.pid, signal.SIGSTOP)
        try:
            maps = mappings(process.pid)
            found = search_memory(process.pid, key) + search_core(process.pid, key, folder)
            outside = {}
            for address in set(found):
                place = next((m for m in maps if m[0] <= address < m[1]), [0, 0, "?", set()])
                if not {"lo", "dd"} <= place[3]:
                    outside.setdefault((place[0], place[1], place[2], " ".join(sorted(place[3]))),
                                       []).append(address)
            for (start, end, name, flags), addresses in sorted(outside.items()):
                faults += len(addresses)
                print(f"{len(key)}-byte key, {mode}, stop {stop}: {len(addresses)} finds in "
                      f"{start:#x}-{end:#x} {name} ({(end - start) // 1024} KiB), "
                      f"VmFlags {flags}, lowest at {min(addresses):#x}")
        finally:
            os.kill(process.pid, signal.SIGCONT)
    process.wait()
    return faults


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    kelm = os.path.abspath(sys.argv[1])
    faults = 0
    with tempfile.TemporaryDirectory(prefix="kelm_key_pages_") as folder:
        source = os.path.join(folder, "in")
        with open(source, "wb") as f:
            f.write(os.urandom(INPUT_SIZE))
        for key_size in (16, 128):
            key = os.urandom(key_size)
            key_path = os.path.join(folder, "key")
            with open(key_path, "wb") as f:
                f.write(key)
            faults += check_run(kelm, "encrypt", source, key_path, key, folder)
            sealed = os.path.join(folder, "sealed")
            os.replace(os.path.join(folder, "out"), sealed)
            faults += check_run(kelm, "decrypt", sealed, key_path, key, folder)
    print("key bytes only in locked, undumped pages" if faults == 0 else f"{faults} finds outside")
    sys.exit(0 if faults == 0 else 1)


if __name__ == "__main__":
    main()
