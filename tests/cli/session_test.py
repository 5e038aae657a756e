#!/usr/bin/env python3
"""The interactive session: session_test.py <zorvik> [--history]

A bare `zorvik` on a pseudo-terminal prompts, runs entries one after another
in one state, continues open entries on a second prompt, goes on after an
error, stops a running entry on Ctrl-C and ends with status 0 on Ctrl-D,
leaving its history in $HOME (checked with --history: a build with line
editing, where libedit is installed). `zorvik -i` without a terminal reads
plain lines. Every wait is bounded and fails the test when it runs out; none
is timed.
"""
import ctypes
import os
import pty
import select
import subprocess
import sys
import tempfile
import termios
import time

ZORVIK = os.path.abspath(sys.argv[1])


def libedit_installed():
    try:
        ctypes.CDLL("libedit.so.2")
        return True
    except OSError:
        return False


EDITING = "--history" in sys.argv[2:] and libedit_installed()
WAIT = 60  # seconds before a wait gives up
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(f"{what}\n{detail}")


class Session:
    """A zorvik on the slave end of a pseudo-terminal, driven through the master."""

    def __init__(self, args, home):
        env = dict(os.environ, HOME=home, TERM="dumb")
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(ZORVIK, [ZORVIK] + args, env)
        self.seen = b""

    def send(self, text):
        os.write(self.fd, text.encode())

    def expect(self, text):
        """Reads until `text` has appeared since the last expect; returns what came."""
        want = text.encode()
        deadline = time.monotonic() + WAIT
        while want not in self.seen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError(f"gave up waiting for {text!r}; got {self.seen!r}")
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # the slave end closed
                chunk = b""
            if not chunk:
                raise EOFError(f"session ended before {text!r}; got {self.seen!r}")
            self.seen += chunk
        cut = self.seen.index(want) + len(want)
        came, self.seen = self.seen[:cut], self.seen[cut:]
        return came.decode(errors="replace")

    def ready(self):
        """Waits until the line editor reads keys one by one: a Ctrl-D typed
        before that is taken by the terminal's own line discipline."""
        if not EDITING:
            return
        deadline = time.monotonic() + WAIT
        while termios.tcgetattr(self.fd)[3] & termios.ICANON:
            if time.monotonic() > deadline:
                raise TimeoutError("the line editor never took the terminal")
            time.sleep(0.01)

    def entry(self, line, until="\n> "):
        """Types a line and waits for the prompt that follows it."""
        self.send(line + "\n")
        return self.expect(until)

    def status(self):
        """The exit status, or None when the session does not end in time."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            pid, raw = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(raw)
            if select.select([self.fd], [], [], 0.1)[0]:
                try:
                    self.seen += os.read(self.fd, 4096)
                except OSError:
                    pass
        os.kill(self.pid, 9)
        os.waitpid(self.pid, 0)
        return None


def main():
    with tempfile.TemporaryDirectory() as home:
        s = Session([], home)
        s.expect("> ")
        s.entry('s := import("sys.z"); x = 2;')
        # Open brackets and an open comment continue on the second prompt.
        s.entry("f = function(a) {", until="\n. ")
        s.entry("  return a * 2;", until="\n. ")
        s.entry("}")
        s.entry("/* a comment", until="\n. ")
        s.entry("that ends here */ g = f(4);")
        out = s.entry("s.wln(f(21)); s.wln(g);")
        check("functions, variables and imports of earlier entries", "42\r\n8\r\n" in out, out)
        out = s.entry("s.wln(x);")
        check("variables of earlier entries", "2\r\n" in out, out)
        # An error reports and leaves what earlier entries made.
        out = s.entry("x = 5; y = nosuch(1);")
        check("an error is reported", "ERROR ((interactive):1:" in out, out)
        out = s.entry("s.wln(x * 10);")
        check("the session goes on after an error", "50\r\n" in out, out)
        # Ctrl-C stops an endless loop and returns to the prompt.
        s.send('x = 0; while (1) { x++; if (x = 1) { s.wln("looping"); } }\n')
        s.expect("looping\r\n")
        s.send("\x03")
        out = s.expect("\n> ")
        check("Ctrl-C stops the running entry", "Interrupted" in out, out)
        out = s.entry('if (x > 0) { s.wln("ran"); }')
        check("the loop ran in the session's state", "ran\r\n" in out, out)
        s.ready()
        s.send("\x04")
        status = s.status()
        check("Ctrl-D ends the session with status 0", status == 0, f"status {status}, after {s.seen!r}")
        history = os.path.join(home, ".zorvik_history")
        if EDITING:
            text = open(history, errors="replace").read() if os.path.exists(history) else ""
            check("the history is written", "nosuch" in text, repr(text))

        # `exit` in an entry ends the session with its status.
        s = Session(["-i"], home)
        s.expect("> ")
        s.send("exit(3);\n")
        status = s.status()
        check("exit ends the session", status == 3, f"status {status}, after {s.seen!r}")

    # -i without a terminal: plain lines, the same continuation.
    run = subprocess.run([ZORVIK, "-i"], input='s := import("sys.z");\nt = 7;\ns.wln(\nt + 1);\n',
                         capture_output=True, text=True, timeout=WAIT)
    check("-i reads plain lines", run.returncode == 0 and "8\n" in run.stdout, repr(run))

    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


sys.exit(main())
