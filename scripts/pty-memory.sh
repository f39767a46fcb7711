#!/bin/sh
# Memory of a long session: RSS of `korvaxsim pty --echo` at the start and at the
# end of BYTES (default 1G) written to its terminal and read back; or, with
# --no-reader, of SECONDS (default 60) of writing with nobody reading, after which
# everything written is read back and checked.
#   scripts/pty-memory.sh [BYTES] [KORVAXSIM]
#   scripts/pty-memory.sh --no-reader [SECONDS] [KORVAXSIM]
set -eu
mode=read
if [ "${1:-}" = --no-reader ]; then
    mode=no-reader
    shift
    amount=${1:-60}
else
    amount=${1:-1G}
fi
program=${2:-build/release/tools/korvaxsim}
out=$(mktemp)
"$program" pty --echo --quiet >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -f "$out"' EXIT
while ! grep -q '^pty: /dev/' "$out"; do sleep 0.1; done
path=$(sed -n 's/^pty: \(\/dev\/[^ ]*\)$/\1/p' "$out" | head -n 1)
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; }
start=$(rss)
if [ "$mode" = no-reader ]; then
    python3 - "$path" "$amount" "$pid" <<'PY'
import os, select, sys, time, tty
path, seconds, pid = sys.argv[1], float(sys.argv[2]), sys.argv[3]
def rss():
    with open("/proc/%s/status" % pid) as status:
        return next(l.split()[1] for l in status if l.startswith("VmRSS"))
fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
byte = lambda at: (at * 7) % 251
sent = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    if select.select([], [fd], [], 0.5)[1]:
        try:
            sent += os.write(fd, bytes(byte(sent + i) for i in range(4096)))
        except BlockingIOError:
            pass
print("%d bytes written in %.0f s with nobody reading; RSS %s kB" % (sent, seconds, rss()))
got = 0
while got < sent:
    if not select.select([fd], [], [], 10)[0]:
        sys.exit("lost: %d of %d bytes came back" % (got, sent))
    data = os.read(fd, 65536)
    if any(b != byte(got + i) for i, b in enumerate(data)):
        sys.exit("the echo differs from what was written after byte %d" % got)
    got += len(data)
print("all %d bytes came back in order" % got)
PY
else
    python3 - "$path" "$amount" <<'PY'
import os, select, sys, termios, time, tty
path, count = sys.argv[1], sys.argv[2]
scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
total = int(count[:-1]) * scale[count[-1]] if count[-1] in scale else int(count)
fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd)
chunk = bytes(range(256)) * 16
sent = got = 0
began = time.monotonic()
while got < total:
    want = [fd] if sent < total and sent - got < 65536 else []
    readable, writable, _ = select.select([fd], want, [], 5)
    if not readable and not writable:
        sys.exit("stalled at %d of %d bytes" % (got, total))
    if writable:
        try:
            sent += os.write(fd, chunk[: min(len(chunk), total - sent)])
        except BlockingIOError:
            pass
    if readable:
        got += len(os.read(fd, 65536))
print("%d bytes echoed in %.1f s" % (got, time.monotonic() - began))
PY
fi
end=$(rss)
echo "RSS at the start ${start} kB, at the end ${end} kB"
