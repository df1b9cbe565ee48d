#!/usr/bin/env python3
"""A half-typed line wider than the terminal, in a real telnet client.

    wrapped_input.py CLIENT NCHATD

CLIENT is "telnet" (Debian's) or "busybox" (busybox telnet).  For each
terminal width (80 and 40 columns, and for Debian's telnet a window resized
from 80 to 60 while the line is being typed) alice types a line of about
200 columns, half ASCII and half wide characters, without Enter.  bob logs
in, sends five lines and logs off; the screen from bob's login down must
then be exactly the notices and lines, each whole, then one prompt with the
whole input, wrapped as the terminal wraps it, and nothing else.  Then 120
characters are erased, half with BS and half with DEL, back across the
wraps, and more is typed: the prompt and what is left, nothing below.

Exit status: 0 passed, 1 failed, 77 skipped because a tool is missing.
"""
import os
import re
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from terminal_clients import (CLIENTS, STAMP, Pane, Peer, Stop, check,  # noqa: E402
                              columns, poll, start_server, wait_row)
import terminal_clients  # noqa: E402

ROWS = 40
# 101 ASCII characters put the wide ones off the even columns, so that at
# both widths one of them meets the last column and moves whole to the next
# row.
TYPED = "".join(chr(ord("a") + i % 26) for i in range(101)) + "你好" * 25
ERASED = 120


def wrap(text, width):
    """The rows a terminal of this width shows for text written from the
    start of a row: a wide character that does not fit moves whole to the
    next row, and a row filled to the last column does not open the next."""
    rows, row, col = [], "", 0
    for ch in text:
        w = columns(ch)
        if col + w > width:
            rows.append(row)
            row, col = "", 0
        row += ch
        col += w
    return rows + [row] if row or not rows else rows


def screen(pane):
    """The visible rows, right-trimmed, stamps made alike."""
    return [re.sub("^" + STAMP + " ", "HH:MM ", r.rstrip())
            for r in pane.rows()]


def check_screen(pane, what, first, want):
    """From row `first` down the screen is `want` and then empty rows."""
    def ok():
        rows = screen(pane)
        return rows[first:first + len(want)] == want and \
            not any(rows[first + len(want):])
    return check(what, poll(ok), lambda: "want from row %d:\n%s\n%s" % (
        first, "\n".join(want), pane.dump()))


def scenario(pane, port, width, resize_to=None):
    wait_row(pane, "name prompt", r"Enter your name \(max 20 chars\):")
    pane.type("alice", enter=True)
    wait_row(pane, "logged in", STAMP + r" \* logged in as alice")
    pane.type("/telnet", enter=True)
    wait_row(pane, "reply to /telnet ends", STAMP + r" \* end\.")
    typed = TYPED
    if resize_to:
        # The line wraps at the old width, the terminal rewraps it; the
        # client reports the new width ahead of the last key, so the echo
        # of that key shows the server has it.
        pane.type(typed[:-1])
        poll(lambda: "".join(r.rstrip() for r in screen(pane)).endswith(
            "> " + typed[:-1]))
        pane.tmux("resize-window", "-x", str(resize_to), "-y", str(ROWS))
        width = resize_to
        pane.type(typed[-1])
    else:
        pane.type(typed)
    prompt = wrap("> " + typed, width)
    at = wait_row(pane, f"whole input wrapped at {width} columns",
                  re.escape(prompt[-1]))
    check_screen(pane, "input typed, nothing else below",
                 at - len(prompt) + 1, prompt)

    bob = Peer(port, "bob")
    first = wait_row(pane, "bob's login shown",
                     STAMP + r" \* user bob logged in from .*")
    lines = [f"hello alice, message {n}" for n in range(5)]
    bob.say(*lines)
    wait_row(pane, "bob's last line shown", STAMP + " <bob> " + lines[-1])
    bob.sock.close()
    wait_row(pane, "bob's logoff shown", STAMP + r" \* user bob logged off.*")
    said = ["HH:MM * user bob logged in from 127.0.0.1"] + \
        [f"HH:MM <bob> {l}" for l in lines] + \
        ["HH:MM * user bob logged off from 127.0.0.1"]
    want = [r for s in said for r in wrap(s, width)] + prompt
    if not check_screen(pane, f"deliveries at {width} columns leave no fragments",
                        first, want):
        raise Stop()

    # Back across the wraps, with BS and with DEL, then type again.
    pane.tmux("send-keys", *["C-h"] * (ERASED // 2))
    pane.tmux("send-keys", *["BSpace"] * (ERASED - ERASED // 2))
    pane.type(" and on")
    left = wrap("> " + typed[:-ERASED] + " and on", width)
    check_screen(pane, f"erase of {ERASED} characters at {width} columns",
                 first + len(want) - len(prompt), left)
    cursor = (columns(left[-1]), first + len(want) - len(prompt) + len(left) - 1)
    check("cursor behind the input", poll(lambda: pane.cursor() == cursor),
          lambda: f"cursor {pane.cursor()}, want {cursor}")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("telnet", "busybox"):
        sys.exit(__doc__)
    client, binary = CLIENTS[sys.argv[1]], sys.argv[2]
    if terminal_clients.missing(client):
        return 77
    terminal_clients.ROWS = ROWS
    runs = [(80, None), (40, None)]
    if client[0] == "telnet":  # busybox telnet reports its width only once
        runs.append((80, 60))
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("FAIL: timed out"))
    signal.alarm(30 * len(runs))
    started = time.monotonic()
    for width, resize_to in runs:
        print(f"--- {sys.argv[1]} at {width} columns" +
              (f", resized to {resize_to}" if resize_to else ""))
        with tempfile.TemporaryFile() as log, \
                tempfile.TemporaryDirectory(prefix="nchatd-wrap-") as tmp:
            server, port, _ = start_server(binary, log)
            terminal_clients.COLS = width
            pane = None
            try:
                pane = Pane([*client, "127.0.0.1", str(port)], tmp)
                scenario(pane, port, width, resize_to)
            except Stop:
                print("stopped after the failed step")
            finally:
                if pane:
                    pane.close()
                server.terminate()
                server.wait(5)
    signal.alarm(0)
    failures = terminal_clients.failures
    print(f"{failures} failed, {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
