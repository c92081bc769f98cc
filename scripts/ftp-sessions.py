#!/usr/bin/env python3
"""Opens N FTP sessions at once; each logs on, lists its folder and fetches small.bin, then all wait
together until every one has done so, and end. Prints how long it took, how many succeeded, and,
when given the server's process id, its threads and peak resident memory meanwhile.
Usage: ftp-sessions.py HOST PORT USER PASSWORD FOLDER N [PID]"""

import ftplib
import io
import sys
import threading
import time

host, port, user, password, folder, count = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], int(sys.argv[6])
pid = sys.argv[7] if len(sys.argv) > 7 and sys.argv[7] else None
barrier = threading.Barrier(count + 1)
ok = []
errors = []


def session():
    try:
        f = ftplib.FTP()
        f.connect(host, port, timeout=60)
        f.login(user, password)
        f.cwd(folder)
        lines = []
        f.retrlines("LIST", lines.append)
        got = io.BytesIO()
        f.retrbinary("RETR small.bin", got.write)
        if len(got.getvalue()) != 10240 or not lines:
            raise RuntimeError("short answer")
        ok.append(1)
    except Exception as e:  # noqa: BLE001 - counted and shown
        errors.append(repr(e))
        f = None
    try:
        barrier.wait(120)
    finally:
        if f:
            try:
                f.quit()
            except Exception:  # noqa: BLE001
                pass


def status(key):
    with open(f"/proc/{pid}/status") as s:
        for line in s:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


started = time.time()
threads = [threading.Thread(target=session) for _ in range(count)]
for t in threads:
    t.start()
peak_rss = peak_threads = 0
while barrier.n_waiting < count and any(t.is_alive() for t in threads) and time.time() - started < 120:
    if pid:
        peak_rss = max(peak_rss, status("VmRSS"))
        peak_threads = max(peak_threads, status("Threads"))
    time.sleep(0.01)
if pid:
    peak_rss = max(peak_rss, status("VmRSS"))
    peak_threads = max(peak_threads, status("Threads"))
elapsed = time.time() - started
barrier.wait(120)
for t in threads:
    t.join()
line = f"{len(ok)} of {count} sessions listed and fetched in {elapsed:.2f} s"
if pid:
    line += f"; server meanwhile: at most {peak_threads} threads, {peak_rss // 1024} MB resident"
print(line)
for e in errors[:5]:
    print("  error:", e)
