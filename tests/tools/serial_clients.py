#!/usr/bin/env python3
"""Ordinary Linux serial clients on `korvaxsim pty`: pyserial, chat (Debian ppp)
and wvdial, each as a user runs it against the pseudo-terminal.

    serial_clients.py KORVAXSIM pyserial|pyserial_echo|chat|wvdial [ARG...]

The ARGs go to every `korvaxsim pty` (for example --driver FILE).

Exits 77 (skipped, with a message) when the client is not installed, 1 when a
check fails, 0 when every check passed.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

SKIPPED = 77
# Options given to every korvaxsim run (from the command line).
EXTRA_ARGS = []
LIMIT = 20.0  # seconds any one step may take


class Failed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failed(what)


class Korvaxsim:
    """`korvaxsim pty [ARGS]` running, its stdout collected line by line."""

    def __init__(self, program, *args):
        self.process = subprocess.Popen(
            [program, "pty", *args, *EXTRA_ARGS], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._collect, daemon=True).start()
        self.path = self.wait_line("pty: /dev/")[len("pty: "):]

    def _collect(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)
            self.changed.notify_all()

    def wait_line(self, prefix, after=0):
        """The first line from index `after` on that starts with `prefix`."""
        deadline = time.monotonic() + LIMIT
        with self.changed:
            while True:
                for line in self.lines[after:]:
                    if line is not None and line.startswith(prefix):
                        return line
                left = deadline - time.monotonic()
                check(None not in self.lines and left > 0,
                      "korvaxsim never printed '%s'; it printed:\n%s" %
                      (prefix, "\n".join(l for l in self.lines if l is not None)))
                self.changed.wait(left)

    def mark(self):
        with self.changed:
            return len(self.lines)

    def stop(self):
        """SIGTERM: the session ends cleanly, exit status 0."""
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(LIMIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failed("korvaxsim did not end after SIGTERM")
        errors = self.process.stderr.read()
        check(status == 0, "korvaxsim ended with %d: %s" % (status, errors))

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def read_until(port, text):
    deadline = time.monotonic() + LIMIT
    got = b""
    while text not in got and time.monotonic() < deadline:
        got += port.read(max(1, port.in_waiting))
    check(text in got, "waited for %r, got %r" % (text, got))
    return got


def pyserial(program):
    try:
        import serial
    except ImportError:
        print("skipped: pyserial is not installed (Debian: apt-get install python3-serial)")
        return SKIPPED

    sim = Korvaxsim(program)
    try:
        port = serial.Serial(sim.path, 9600, timeout=1)
        sim.wait_line("pty: line set to 9600 8N1 (SetCommState)")

        # Settings become SetCommState; flow control reaches the port as
        # SET_HANDFLOW (the line shows what GetCommState reads back).
        for change, shown in [
                (lambda: setattr(port, "baudrate", 57600), "57600 8N1"),
                (lambda: setattr(port, "stopbits", serial.STOPBITS_TWO), "57600 8N2"),
                (lambda: setattr(port, "rtscts", True), "57600 8N2 RTS/CTS"),
                (lambda: setattr(port, "xonxoff", True), "57600 8N2 RTS/CTS XON/XOFF (out, in)"),
                (lambda: (setattr(port, "rtscts", False), setattr(port, "xonxoff", False)),
                 "57600 8N2"),
                (lambda: setattr(port, "baudrate", 115200), "115200 8N2")]:
            mark = sim.mark()
            change()
            sim.wait_line("pty: line set to %s (SetCommState)" % shown, mark)

        port.write(b"AT\r")
        check(read_until(port, b"OK\r\n") == b"AT\r\r\nOK\r\n", "AT answered otherwise")

        # A read time-out with nothing arriving ends near its deadline.
        port.timeout = 0.5
        began = time.monotonic()
        nothing = port.read(16)
        took = time.monotonic() - began
        check(nothing == b"" and 0.45 <= took < 1.0,
              "read(16) with a 0.5 s time-out returned %r after %.3f s" % (nothing, took))
        port.timeout = 1

        # reset_input_buffer drops what has arrived and not been read.
        port.write(b"ATI\r")
        answer = b"ATI\r\r\nKORVAX EV-DO Rev.A USB Modem\r\n\r\nOK\r\n"
        deadline = time.monotonic() + LIMIT
        while port.in_waiting < len(answer) and time.monotonic() < deadline:
            time.sleep(0.01)
        check(port.in_waiting == len(answer), "%d bytes waiting" % port.in_waiting)
        port.reset_input_buffer()
        check(port.in_waiting == 0, "%d bytes left after the reset" % port.in_waiting)
        port.write(b"AT\r")
        check(read_until(port, b"OK\r\n") == b"AT\r\r\nOK\r\n", "bytes survived the reset")
        port.close()
        sim.stop()
    finally:
        sim.kill()
    return 0


def pyserial_echo(program):
    try:
        import serial
    except ImportError:
        print("skipped: pyserial is not installed (Debian: apt-get install python3-serial)")
        return SKIPPED
    # 4 MiB through the modem's echo while the reader pauses now and then: every
    # byte comes back, in order.
    sim = Korvaxsim(program, "--echo", "--quiet")
    try:
        port = serial.Serial(sim.path, 115200, timeout=LIMIT)
        total, piece = 4 << 20, 4096
        data = bytes((i * 7 + (i >> 12)) & 0xFF for i in range(total))
        writer = threading.Thread(
            target=lambda: [port.write(data[at:at + piece]) for at in range(0, total, piece)])
        writer.start()
        back = bytearray()
        pause_every = 1 << 20
        while len(back) < total:
            chunk = port.read(min(65536, total - len(back)))
            check(chunk, "the echo stopped after %d of %d bytes" % (len(back), total))
            before = len(back)
            back += chunk
            if before // pause_every != len(back) // pause_every:
                time.sleep(0.5)  # the reader pauses; the writer goes on
        writer.join()
        check(bytes(back) == data, "the echo differs from what was written")
        port.close()
        sim.stop()
    finally:
        sim.kill()
    return 0


CHAT_SCRIPT = """\
ABORT BUSY
ABORT 'NO CARRIER'
ABORT 'NO ANSWER'
ABORT ERROR
TIMEOUT 10
'' ATZ
OK 'AT&F E0 V1 &D2 &C1 S0=0'
OK AT+GCAP
OK AT+CAD?
OK AT+CSS?
OK AT+CSQ
OK AT+CRM=2
OK ATD#777
CONNECT ''
"""


def chat(program):
    chat_path = shutil.which("chat") or "/usr/sbin/chat"
    if not os.access(chat_path, os.X_OK):
        print("skipped: chat is not installed (Debian: apt-get install ppp)")
        return SKIPPED
    sim = Korvaxsim(program, "--quiet")
    try:
        with tempfile.NamedTemporaryFile("w", suffix=".chat") as script:
            script.write(CHAT_SCRIPT)
            script.flush()
            with open(sim.path, "r+b", buffering=0) as tty:
                result = subprocess.run([chat_path, "-v", "-s", "-f", script.name], stdin=tty,
                                        stdout=tty, stderr=subprocess.PIPE, text=True,
                                        timeout=LIMIT * 2)
        check(result.returncode == 0,
              "chat ended with %d:\n%s" % (result.returncode, result.stderr))
        check("CONNECT\n -- got it" in result.stderr, "no CONNECT in:\n" + result.stderr)
        sim.stop()
    finally:
        sim.kill()
    return 0


# wvdial's own known abort: one of its coroutines finds the guard word at the end
# of its stack overwritten. It depends only on where the process's stack happens to
# start (with address randomisation off it comes, or does not, every time for a
# given environment size), and a fake modem on a plain pty meets it as often: it is
# no answer of korvaxsim's. A try that ends in exactly this abort is made again,
# with a new korvaxsim, up to WVDIAL_TRIES times; anything else fails at once.
WVDIAL_ABORT = ("WvTaskMan::yield(int): Assertion "
                "`*current_task->stack_magic == WVTASK_MAGIC' failed.")
WVDIAL_TRIES = 8


def wvdial_once(wvdial_path, program):
    """One dial; None when wvdial hit its own abort, else the checks' outcome."""
    sim = Korvaxsim(program, "--quiet")
    try:
        with tempfile.NamedTemporaryFile("w", suffix=".conf") as config:
            # The configuration wvdialconf writes (its init strings; ATDT) with the
            # modem's number. A pseudo-terminal has no carrier line to check, and the
            # test ends at CONNECT: /bin/true starts instead of pppd, once.
            config.write("[Dialer Defaults]\nInit1 = ATZ\n"
                         "Init2 = ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0\nModem Type = Analog Modem\n"
                         "Baud = 115200\nModem = %s\nISDN = 0\nPhone = #777\nUsername = user\n"
                         "Password = secret\nCarrier Check = no\nStupid Mode = 1\n"
                         "PPPD Path = /bin/true\nAuto Reconnect = off\n" % sim.path)
            config.flush()
            result = subprocess.run([wvdial_path, "--config", config.name],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, timeout=LIMIT * 2)
        log = result.stdout
        # korvaxsim must have ended the session cleanly whatever wvdial did.
        sim.stop()
        if result.returncode == -signal.SIGABRT and WVDIAL_ABORT in log:
            return None
        check("ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0" in log and "ERROR" not in log,
              "the init string failed:\n" + log)
        check("CONNECT 3100000" in log and "Carrier detected" in log, "no CONNECT in:\n" + log)
        check(result.returncode == 0, "wvdial ended with %d:\n%s" % (result.returncode, log))
        return True
    finally:
        sim.kill()


def wvdial(program):
    wvdial_path = shutil.which("wvdial")
    if wvdial_path is None:
        print("skipped: wvdial is not installed (Debian: apt-get install wvdial)")
        return SKIPPED
    for attempt in range(1, WVDIAL_TRIES + 1):
        if wvdial_once(wvdial_path, program):
            print("wvdial connected on try %d of %d (%d ended in wvdial's own abort)" %
                  (attempt, WVDIAL_TRIES, attempt - 1))
            return 0
    raise Failed("wvdial hit its own stack-guard abort on all %d tries" % WVDIAL_TRIES)


def main():
    if len(sys.argv) < 3 or sys.argv[2] not in ("pyserial", "pyserial_echo", "chat", "wvdial"):
        sys.exit(__doc__)
    EXTRA_ARGS.extend(sys.argv[3:])
    try:
        status = globals()[sys.argv[2]](sys.argv[1])
    except (Failed, subprocess.TimeoutExpired) as failure:
        print("FAILED: %s" % failure)
        return 1
    if status == 0:
        print("passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
