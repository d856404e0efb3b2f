#!/usr/bin/env python3
"""Runs a program on a new pseudo-terminal and acts on what it shows there.

    demo_pty.py [--when REGEX ACTION]... -- PROGRAM ARG...

Each --when waits (in order) until REGEX matches the terminal's output
after the previous match, then takes ACTION: "type:TEXT" types TEXT on the
terminal (backslash escapes such as \\x03, Ctrl-C, are decoded) and
"run:COMMAND" runs a shell command to its end. Everything the program
wrote is printed at the end, with the terminal's CR LF line ends made LF
(a lone CR stays). The exit code is the program's, or 128 plus the signal
that ended it; 124 when a REGEX was not seen within 60 seconds.
"""
import os
import re
import select
import subprocess
import sys
import time


def main():
    args = sys.argv[1:]
    steps = []
    while args and args[0] == "--when":
        steps.append((re.compile(args[1].encode()), args[2]))
        args = args[3:]
    if args and args[0] == "--":
        args = args[1:]
    pid, master = os.forkpty()
    if pid == 0:
        try:
            os.execv(args[0], args)
        finally:
            os._exit(127)
    output = b""
    seen = 0
    status = None
    deadline = time.time() + 60
    while True:
        ready, _, _ = select.select([master], [], [], 0.02)
        chunk = b""
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                chunk = b""
            output += chunk
        while steps:
            found = steps[0][0].search(output, seen)
            if not found:
                break
            seen = found.end()
            action = steps.pop(0)[1]
            kind, _, text = action.partition(":")
            if kind == "type":
                os.write(master, text.encode().decode("unicode_escape").encode("latin-1"))
            else:
                subprocess.run(text, shell=True)
        if status is None:
            done, code = os.waitpid(pid, os.WNOHANG)
            if done:
                status = code
                continue  # one more pass drains what is left
            if time.time() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                sys.stdout.buffer.write(output.replace(b"\r\n", b"\n"))
                sys.exit(124)
        elif not chunk:
            break
    sys.stdout.buffer.write(output.replace(b"\r\n", b"\n"))
    if os.WIFSIGNALED(status):
        sys.exit(128 + os.WTERMSIG(status))
    sys.exit(os.WEXITSTATUS(status))


main()
