#!/usr/bin/env bash
# A slow disk for the HTTP component's tests: a FIFO that a Linux process drains at 8 MB/s, so that
# a body written into it falls behind the network. The test names it by its Linux path (Wine's Z:).
#   slow-disk.sh start <folder>      makes <folder>/body.fifo and starts its reader
#   slow-disk.sh stop <folder>       stops the reader and removes the FIFO
# The reader ends by itself after 10 minutes, should stop never come.
set -u
action=$1 folder=$2
case "$action" in
start)
    mkdir -p "$folder"
    [ -f "$folder/reader.pid" ] && kill "$(cat "$folder/reader.pid")" 2>/dev/null
    rm -f "$folder/body.fifo" "$folder/reader.pid"
    mkfifo "$folder/body.fifo"
    setsid python3 - "$folder/body.fifo" >/dev/null 2>&1 </dev/null <<'PY' &
import os, signal, sys, time
signal.alarm(600)
rate = 8 * 1024 * 1024
while True:
    with open(sys.argv[1], "rb", buffering=0) as fifo:  # waits for a writer
        start, total = time.monotonic(), 0
        while True:
            piece = fifo.read(64 * 1024)
            if not piece:
                break
            total += len(piece)
            ahead = total / rate - (time.monotonic() - start)
            if ahead > 0:
                time.sleep(ahead)
PY
    echo $! > "$folder/reader.pid"
    echo "slow-disk: $folder/body.fifo, drained at 8 MB/s"
    ;;
stop)
    [ -f "$folder/reader.pid" ] && kill "$(cat "$folder/reader.pid")" 2>/dev/null
    rm -f "$folder/body.fifo" "$folder/reader.pid"
    ;;
esac
exit 0
