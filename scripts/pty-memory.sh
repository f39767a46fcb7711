#!/bin/sh
# Memory of a long session: RSS of `korvaxsim pty --echo` at the start and at the
# end of BYTES (default 1G) written to its terminal and read back.
#   scripts/pty-memory.sh [BYTES] [KORVAXSIM]
set -eu
bytes=${1:-1G}
program=${2:-build/release/tools/korvaxsim}
out=$(mktemp)
"$program" pty --echo --quiet >"$out" &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -f "$out"' EXIT
while ! grep -q '^pty: /dev/' "$out"; do sleep 0.1; done
path=$(sed -n 's/^pty: \(\/dev\/[^ ]*\)$/\1/p' "$out" | head -n 1)
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status"; }
start=$(rss)
python3 - "$path" "$bytes" <<'PY'
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
end=$(rss)
echo "RSS at the start ${start} kB, at the end ${end} kB"
