#!/usr/bin/env python3
"""Runs a command on a new pseudo-terminal and prints what it wrote there.

    run_in_pty.py [--close-std] [--stdin FILE] PROGRAM ARG...

The child is a session leader whose controlling terminal is the pty. With
--close-std its descriptors 0, 1 and 2 are closed before the program runs;
with --stdin its standard input is FILE. The exit code is the child's.
"""
import os
import select
import sys
import time


def main():
    args = sys.argv[1:]
    close_std = False
    stdin_file = None
    while args and args[0].startswith("--"):
        option = args.pop(0)
        if option == "--close-std":
            close_std = True
        elif option == "--stdin":
            stdin_file = args.pop(0)
    pid, master = os.forkpty()
    if pid == 0:
        if stdin_file is not None:
            fd = os.open(stdin_file, os.O_RDONLY)
            os.dup2(fd, 0)
            os.close(fd)
        if close_std:
            for fd in (0, 1, 2):
                os.close(fd)
        try:
            os.execv(args[0], args)
        finally:
            os._exit(127)
    # Read until the child is gone: with its standard descriptors closed the
    # pty has no open slave for a while, which reads as an error here.
    output = b""
    status = None
    while True:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            output += chunk
            if chunk:
                continue
        if status is not None:
            break
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code  # one more pass drains what is left
        elif not ready:
            continue
        else:
            time.sleep(0.05)
    sys.stdout.buffer.write(output.replace(b"\r\n", b"\n"))
    sys.exit(os.waitstatus_to_exitcode(status) & 0xFF)


main()
