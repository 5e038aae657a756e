#!/usr/bin/env python3
"""SIGINT and SIGTERM stop a running script: interrupt_test.py <zorvik>

The script stops before its next statement with the report "Interrupted",
what it wrote to standard output and to files left open is delivered, and
the status is 128 + the signal; a second signal ends the process at once.
Every wait is bounded and fails the test when it runs out; none is timed.
"""
import array
import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import termios
import time

ZORVIK = os.path.abspath(sys.argv[1])
WAIT = 60  # seconds before a wait gives up
# Processor time after which a script is surely in its endless loop: its
# first lines take a small part of it, even in a sanitizer build.
IN_LOOP_TICKS = 30
failures = []


def check(what, expected, actual):
    if expected != actual:
        failures.append(f"{what}\n  expected: {expected!r}\n  actual:   {actual!r}")


def wait_for(what, ready):
    deadline = time.monotonic() + WAIT
    while not ready():
        if time.monotonic() > deadline:
            raise TimeoutError(f"gave up waiting for {what}")
        time.sleep(0.01)


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


# The script writes a file that it leaves open and a line to standard output,
# neither flushed, then runs `rest`, which begins on line 4.
PROLOGUE = """s := import("sys.z"); fl := import("file.z");
h = fl.create("kept.txt"); fl.wln(h, "kept");
s.wln("before"); n = 0;
"""


def stop(name, rest, where, signum, into_file, sleeps=False):
    """Runs the script into a pipe or a file, stops it at `where`, checks what is left.
    A script that `sleeps` flushes "before" as it starts to sleep; one that
    does not is stopped once it has spent processor time in its loop."""
    with tempfile.TemporaryDirectory() as work:
        script = PROLOGUE + rest + "\n"
        with open(os.path.join(work, "spin.z"), "w") as f:
            f.write(script)
        out_path = os.path.join(work, "out.txt")
        out = open(out_path, "wb") if into_file else subprocess.PIPE
        proc = subprocess.Popen([ZORVIK, "spin.z"], cwd=work, stdout=out, stderr=subprocess.PIPE)
        stdout = ""
        try:
            if not sleeps:
                wait_for(name + ": the loop", lambda: cpu_ticks(proc.pid) >= IN_LOOP_TICKS)
            elif into_file:
                wait_for(name + ": the pause", lambda: read(out_path) == "before\n")
            else:
                stdout = proc.stdout.readline().decode()
            proc.send_signal(signum)
            rest_out, stderr = proc.communicate(timeout=WAIT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if into_file:
            out.close()
            stdout = read(out_path)
        else:
            stdout += rest_out.decode()
        check(name + ": output", f"before\nERROR (spin.z:{where}) Interrupted\n", stdout)
        check(name + ": status", 128 + signum, proc.returncode)
        quoted = script.splitlines()[int(where.split(":")[0]) - 1].strip()
        check(name + ": quoted line", quoted, stderr.decode().split("\n")[0].strip())
        check(name + ": open file", "kept\n", read(os.path.join(work, "kept.txt")))


def second_signal_ends_at_once():
    """A stop held up by a full pipe that nobody reads ends at the second signal."""
    with tempfile.TemporaryDirectory() as work:
        code = 'fl := import("file.z"); h = fl.create("started"); fl.close(h);\n'
        code += 's := import("sys.z"); while (1) { s.write("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"); }\n'
        read_end, write_end = os.pipe()
        proc = subprocess.Popen([ZORVIK, "-e", code], cwd=work, stdout=write_end, stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            wait_for("the script to start", lambda: os.path.exists(os.path.join(work, "started")))
            # Once the pipe is full, the script and any flush at its end wait.
            capacity = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)
            count = array.array("i", [0])
            wait_for("a full pipe", lambda: fcntl.ioctl(read_end, termios.FIONREAD, count) == 0 and count[0] >= capacity)
            proc.send_signal(signal.SIGINT)
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=WAIT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            os.close(read_end)
        check("second signal: ended by it", -signal.SIGTERM, proc.returncode)


try:
    # An empty body stops at its '}', a body at its statement, in every build.
    stop("empty while, SIGINT, pipe", "while (1) { }", "4:13", signal.SIGINT, False)
    stop("empty while, SIGTERM, file", "while (1) { }", "4:13", signal.SIGTERM, True)
    stop("while with a body, SIGTERM, pipe", "while (1) {\n    n = n + 1;\n}", "5:5", signal.SIGTERM, False)
    stop("counting for, SIGINT, file", "for (i = 0, 1000000000000000) { n += i; }", "4:33", signal.SIGINT, True)
    stop("do while, SIGINT, pipe", "do { } while (1);", "4:6", signal.SIGINT, False)
    # A pause is cut short; the stop comes at the statement after it.
    stop("sleep, SIGINT, pipe", "s.sleep(1000000000);\nn = 1;", "5:1", signal.SIGINT, False, sleeps=True)
    stop("sleep, SIGTERM, file", "s.sleep(1000000000);\nn = 1;", "5:1", signal.SIGTERM, True, sleeps=True)
    second_signal_ends_at_once()
except (TimeoutError, subprocess.TimeoutExpired) as e:
    failures.append(str(e))

for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
