#!/usr/bin/env python3
"""Runs a command on a new pseudo-terminal and prints what it wrote there.

    run_in_pty.py [--close-std] [--stdin FILE] [--when REGEX ACTION]... PROGRAM ARG...

The child is a session leader whose controlling terminal is the pty. With
--close-std its descriptors 0, 1 and 2 are closed before the program runs;
with --stdin its standard input is FILE. Each --when waits (in order) until
REGEX matches what the program wrote after the previous match, then takes
ACTION: "type:TEXT" types TEXT on the terminal (backslash escapes such as
\\x03, Ctrl-C, are decoded), "run:COMMAND" runs a shell command to its end.
The exit code is the child's; 124 when a REGEX is not seen in 60 seconds.
"""
import os
import re
import select
import subprocess
import sys
import time


def take_steps(steps, output, seen, master):
    """Takes the steps whose patterns the output shows; returns the new
    position after the last match."""
    while steps:
        found = steps[0][0].search(output, seen)
        if not found:
            break
        seen = found.end()
        kind, _, text = steps.pop(0)[1].partition(":")
        if kind == "type":
            os.write(master, text.encode().decode("unicode_escape").encode("latin-1"))
        else:
            subprocess.run(text, shell=True)
    return seen


def main():
    args = sys.argv[1:]
    close_std = False
    stdin_file = None
    steps = []
    while args and args[0].startswith("--"):
        option = args.pop(0)
        if option == "--close-std":
            close_std = True
        elif option == "--stdin":
            stdin_file = args.pop(0)
        elif option == "--when":
            steps.append((re.compile(args.pop(0).encode()), args.pop(0)))
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
    seen = 0
    deadline = time.time() + 60
    while True:
        ready, _, _ = select.select([master], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            output += chunk
            seen = take_steps(steps, output, seen, master)
            if chunk:
                continue
        if status is not None:
            break
        if steps and time.time() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            sys.stdout.buffer.write(output.replace(b"\r\n", b"\n"))
            sys.exit(124)
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
