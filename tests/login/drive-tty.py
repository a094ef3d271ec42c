#!/usr/bin/env python3
# drive-tty.py PIN COMMAND...: runs COMMAND on a new pseudo-terminal (its controlling terminal),
# waits for a "PIN:" prompt, types PIN and Enter, and copies everything the terminal showed to
# standard output. Exits with COMMAND's status; 124 when nothing asked for the PIN in time.
import os
import pty
import select
import sys
import time

pin, command = sys.argv[1].encode(), sys.argv[2:]
pid, fd = pty.fork()
if pid == 0:
    os.execvp(command[0], command)
seen, typed, deadline = b"", False, time.monotonic() + 120
while time.monotonic() < deadline:
    ready, _, _ = select.select([fd], [], [], 1)
    if not ready:
        continue
    try:
        chunk = os.read(fd, 4096)
    except OSError:  # the command ended and closed the terminal
        break
    if not chunk:
        break
    seen += chunk
    if not typed and b"PIN:" in seen:
        os.write(fd, pin + b"\n")
        typed = True
sys.stdout.write(seen.decode("utf-8", "replace"))
if time.monotonic() >= deadline:
    os.kill(pid, 9)
_, status = os.waitpid(pid, 0)
sys.exit(124 if not typed else os.waitstatus_to_exitcode(status))
