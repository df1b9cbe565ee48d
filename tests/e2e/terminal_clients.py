#!/usr/bin/env python3
"""What a person sees in a real terminal client of nchatd.

    terminal_clients.py CLIENT NCHATD

CLIENT is "telnet", "busybox" (busybox telnet), "nc", or one of the TLS
clients "telnet-ssl" (telnet -z ssl) and "socat" (socat in raw mode), which
connect to the TLS port while the second user stays on the plain one.  The client runs in
a private tmux server, in a 100x30 pane; a second user is a plain socket in
this script.  Every assertion is on the screen text (tmux capture-pane) and
the cursor, or on what the second user receives.

The telnet clients start in line mode with local echo and switch to
character mode when the user types /telnet; from then on the server echoes
and redraws the half-typed line.  nc stays in line mode: the terminal keeps
the half-typed text and edits it locally, so the server cannot redraw it.
For nc we assert that incoming lines stand on rows of their own above a
fresh "> " prompt, that the line typed meanwhile still goes out intact,
and that the server's echo of a finished line shows as well.  socat puts
the terminal in raw mode itself: every key goes out at once and the server
echoes and redraws from the start, without /telnet.

Exit status: 0 passed, 1 failed, 77 skipped because a tool is missing.
"""
import os
import random
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unicodedata

COLS, ROWS = 100, 30
STAMP = r"\d\d:\d\d"
WAIT = 5.0  # seconds for any single thing to show up
COMMANDS = ["help", "list", "quit", "exit", "name", "nick", "msg", "priv",
            "time", "info", "telnet", "wait", "version", "status",
            "statusof", "bell", "me", "away", "ignore", "unignore"]
CLIENTS = {"telnet": ["telnet"], "busybox": ["busybox", "telnet"],
           "nc": ["nc"], "telnet-ssl": ["telnet-ssl", "-z", "ssl"],
           "socat": ["socat", "-,raw,echo=0"]}
TLS_CLIENTS = ("telnet-ssl", "socat")

failures = 0


class Stop(Exception):
    """A step whose result the following steps need has failed."""


def check(what, ok, detail=""):
    """Counts and reports one check; detail may be a function, called only
    on failure."""
    global failures
    if not ok:
        what += "\n" + (detail() if callable(detail) else detail)
    print(("ok: " if ok else "FAIL: ") + what)
    failures += not ok
    return ok


def poll(test, timeout=WAIT):
    """Calls test() until it returns something true, or until timeout."""
    end = time.monotonic() + timeout
    while True:
        got = test()
        if got or time.monotonic() > end:
            return got
        time.sleep(0.05)


class Pane:
    """One client program in a 100x30 pane of a private tmux server, whose
    socket lives in a directory of ours."""

    def __init__(self, argv, socket_dir):
        self.server = os.path.join(socket_dir, "tmux")
        self.tmux("-f", "/dev/null", "new-session", "-d", "-x", str(COLS),
                  "-y", str(ROWS), "exec " + shlex.join(argv), ";",
                  "set-option", "-g", "remain-on-exit", "on")

    def tmux(self, *args):
        env = {k: v for k, v in os.environ.items() if k != "TMUX"}
        env.update(LANG="C.UTF-8", LC_ALL="C.UTF-8")
        return subprocess.run(["tmux", "-S", self.server, *args], env=env,
                              capture_output=True, text=True,
                              timeout=10).stdout

    def type(self, text, enter=False):
        self.tmux("send-keys", "-l", text)
        if enter:
            self.tmux("send-keys", "Enter")

    def rows(self, history=False, joined=False):
        args = ["-S", "-"] if history else []
        out = self.tmux("capture-pane", "-p", *args, *(["-J"] if joined else []))
        return out.split("\n")[:-1] if history else out.split("\n")[:ROWS]

    def cursor(self):
        x, y = self.tmux("display", "-p", "#{cursor_x} #{cursor_y}").split()
        return int(x), int(y)

    def find(self, pattern, history=False):
        """Indexes of the rows that match pattern wholly."""
        return [i for i, r in enumerate(self.rows(history))
                if re.fullmatch(pattern, r)]

    def dump(self):
        return "--- screen ---\n" + "\n".join(self.rows(history=True)[-45:])

    def close(self):
        self.tmux("kill-server")


class Peer:
    """A second user on a plain TCP socket."""

    def __init__(self, port, name):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        self.sock.setblocking(False)
        self.data, self.seen = b"", 0
        self.expect(b"Enter your name (max 20 chars): ")
        self.say(name)
        self.expect(b"* logged in as " + name.encode())

    def say(self, *lines):
        self.sock.setblocking(True)
        self.sock.sendall(b"".join(l.encode() + b"\r\n" for l in lines))
        self.sock.setblocking(False)

    def expect(self, text):
        """True once text arrives after whatever an earlier expect found."""
        def found():
            try:
                self.data += self.sock.recv(65536)
            except BlockingIOError:
                pass
            at = self.data.find(text, self.seen)
            if at >= 0:
                self.seen = at + len(text)
            return at >= 0
        return check(f"other user receives {text!r}", poll(found),
                     f"received: {self.data[self.seen:][-300:]!r}")


def free_port():
    """A free port below the kernel's ephemeral range: one from inside it can
    be taken by some client's connect between this probe and the server's
    bind, as happens beside a busy suite or bench."""
    with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
        low = int(f.read().split()[0])
    for port in random.sample(range(max(1024, low - 16384), low), 64):
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    sys.exit("no free port below the ephemeral range")


def make_certificate(tmp):
    """A throw-away key and self-signed certificate; returns the -C and -K
    operands."""
    cert, key = os.path.join(tmp, "cert.pem"), os.path.join(tmp, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=localhost"],
                   check=True, capture_output=True, timeout=30)
    return ["-C", cert, "-K", key]


def start_server(binary, log, tls=None):
    """Starts nchatd -i on a free port, and on a free TLS port when `tls`
    holds -C and -K; returns (process, port, TLS port)."""
    for _ in range(3):
        port, tls_port = free_port(), free_port()
        log.seek(0)
        log.truncate()
        # -r 0: the burst of 100 lines below is a test of the redraw, not of
        # the flood budget.
        extra = ["-s", str(tls_port), *tls] if tls else []
        proc = subprocess.Popen([binary, "-i", "-r", "0", "-p", str(port), *extra], stdout=log,
                                stderr=subprocess.STDOUT)
        up = poll(lambda: proc.poll() is not None or
                  b"Init ok" in os.pread(log.fileno(), 4096, 0))
        if up and proc.poll() is None:
            return proc, port, tls_port
        proc.kill()
        proc.wait()
    sys.exit("nchatd did not start: " + os.pread(log.fileno(), 4096, 0).decode())


def wait_row(pane, what, pattern, history=False):
    """Waits for a row that matches pattern; returns the last one's index."""
    hits = poll(lambda: pane.find(pattern, history), WAIT)
    if not check(what, hits, pane.dump):
        raise Stop()
    return hits[-1]


def columns(text):
    """Columns a text takes on the terminal: wide characters two, combining
    marks none."""
    return sum(0 if unicodedata.combining(c) else
               2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def check_input_row(pane, what, after, typed):
    """Row `after` is followed by the prompt row holding `typed`, with the
    cursor behind it at the bottom of the text."""
    want = "> " + typed
    def ok():
        rows = pane.rows()
        return after + 1 < ROWS and rows[after + 1].rstrip() == want.rstrip() and \
            pane.cursor() == (columns(want), after + 1)
    check(what, poll(ok), lambda: f"want {want!r} below row {after}, "
          f"cursor {pane.cursor()}\n{pane.dump()}")


def scenario(pane, port, telnet_mode, server_log, negotiate=True):
    # For nc the half-typed text stays in the terminal: the prompt comes
    # back empty after an incoming line.
    redrawn = (lambda s: s) if telnet_mode else (lambda s: "")

    wait_row(pane, "greeting", r"Welcome to Nimbra chat v0\.3\.5!")
    at = wait_row(pane, "name prompt", r"Enter your name \(max 20 chars\):")
    check("cursor after the name prompt", pane.cursor() == (32, at))
    pane.type("alice", enter=True)
    at = wait_row(pane, "logged in", STAMP + r" \* logged in as alice")
    rows = pane.rows()
    if negotiate:
        check("server echoes the name in line mode too",
              rows[at - 1] == "alice", pane.dump)
    else:  # raw: nothing but the server's echo
        check("server echoes the name as it is typed",
              rows[at - 1] == "Enter your name (max 20 chars): alice", pane.dump)
    now = [time.strftime("%H:%M", time.localtime(time.time() - d))
           for d in (0, 60)]
    check("time stamp is the local hour and minute", rows[at][:5] in now,
          f"stamp {rows[at][:5]}, local time {now[0]}")
    if telnet_mode and negotiate:
        pane.type("/telnet", enter=True)
        wait_row(pane, "telnet option sequence sent",
                 STAMP + r" \* sending telnet stuff")
        wait_row(pane, "reply to /telnet ends", STAMP + r" \* end\.")
    bob = Peer(port, "bob")
    wait_row(pane, "login of the other user shown", STAMP + r" .*bob.*")

    # A short line arrives while a longer one is half typed: the old input
    # is erased, the new line stands alone, the input comes back below.
    half = "typing a long half line"
    pane.type(half)
    wait_row(pane, "half-typed text shown once", "> " + half)
    bob.say("hi")
    row = STAMP + r" <bob> hi" + ("" if telnet_mode else ".*")
    at = wait_row(pane, "short line on a row of its own", row)
    check_input_row(pane, "prompt and half-typed text redrawn below", at,
                    redrawn(half))
    pane.type(" done", enter=True)
    bob.expect(b"<alice> " + half.encode() + b" done\r\n")
    at = wait_row(pane, "writer sees its own line",
                  STAMP + r" <alice> " + half + " done")
    check_input_row(pane, "empty prompt after sending", at, "")

    # Backspace on an empty line must not eat the prompt; after an erase
    # the display, the redraw and the sent line agree.
    pane.type("xy")
    for _ in range(3):
        pane.tmux("send-keys", "BSpace")
    pane.type("abcx")
    pane.tmux("send-keys", "BSpace")
    pane.type("d")
    wait_row(pane, "backspace editing shown", "> abcd")
    bob.say("ping")
    at = wait_row(pane, "line arrives during editing", STAMP + r" <bob> ping")
    check_input_row(pane, "edited input redrawn", at, redrawn("abcd"))
    pane.type("", enter=True)
    bob.expect(b"<alice> abcd\r\n")
    check("erased characters never shown again",
          not any("abcx" in r or "> xy" in r for r in pane.rows()), pane.dump)

    # Wait mode: the next line brings one highlighted banner.
    pane.type("/wait", enter=True)
    wait_row(pane, "wait mode entered", STAMP + r" \* enterring wait mode")
    bob.say("wake up")
    at = wait_row(pane, "line after /wait", STAMP + r" <bob> wake up")
    rows = pane.tmux("capture-pane", "-p", "-e").split("\n")
    check("Message arrived banner above it, in reverse video",
          re.search(r"\x1b\[7m\s*Message arrived", rows[at - 1]) is not None,
          repr(rows[at - 1]))
    bob.say("again")
    wait_row(pane, "second line after /wait", STAMP + r" <bob> again")
    check("banner shown only once", sum("Message arrived" in r for r in
                                        pane.rows(history=True)) == 1)

    # Help: every command on a line of its own, descriptions in one column.
    pane.type("/help", enter=True)
    # Its last command, not "* end.": /telnet's reply ended the same way.
    wait_row(pane, "help listing ends", STAMP + r" \*  /" + COMMANDS[-1] + " .*")
    listing = [r for r in pane.rows(history=True)
               if re.match(STAMP + r" \*  /", r)][-len(COMMANDS):]
    check("help lists the command words in order",
          [r[10:].split(" ")[0] for r in listing] == COMMANDS, pane.dump)
    # The description follows the first run of two or more spaces.
    columns = [10 + m.end() if (m := re.search(" {2,}", r[10:])) else None
               for r in listing]
    check("help descriptions all start 20 columns after the stamp",
          columns == [26] * len(COMMANDS), f"columns {columns}")

    # A line of the full 511 characters, then a burst of 100 lines.
    long = "".join(chr(ord("a") + i % 26) for i in range(511))
    pane.type("half")
    wait_row(pane, "half-typed text before the long line", "> half")
    bob.say(long)
    check("511-character line shown whole, wrapped",
          poll(lambda: any(re.fullmatch(STAMP + " <bob> " + long, r)
                           for r in pane.rows(history=True, joined=True))),
          pane.dump)
    at = wait_row(pane, "end of the wrapped line", long[-(523 % COLS):])
    check_input_row(pane, "input redrawn below the long line", at,
                    redrawn("half"))
    bob.say(*(f"burst {n:03}" for n in range(1, 101)))
    at = wait_row(pane, "last line of the burst", STAMP + r" <bob> burst 100")
    check_input_row(pane, "input redrawn below the burst", at,
                    redrawn("half"))
    rows = pane.rows()[:at + 1]
    check("burst rows readable and in order", rows == [
        r[:6] + f"<bob> burst {n:03}" for r, n in
        zip(rows, range(101 - len(rows), 101))], pane.dump)
    pane.type("way", enter=True)
    bob.expect(b"<alice> halfway\r\n")

    # UTF-8 both ways, and the redraw over half-typed wide text.
    text = "Grüße, café ☕ 你好"
    pane.type(text, enter=True)
    bob.expect(f"<alice> {text}\r\n".encode())
    bob.say(text)
    wait_row(pane, "UTF-8 line of the other user", STAMP + " <bob> " + re.escape(text))
    pane.type("你好 café")
    bob.say("over wide text")
    at = wait_row(pane, "line over half-typed wide text", STAMP + r" <bob> over wide text")
    check_input_row(pane, "wide input redrawn by columns", at, redrawn("你好 café"))
    if telnet_mode:
        # Erase moves by columns: one for "é", two for "好".
        pane.tmux("send-keys", *["BSpace"] * 6)
        check_input_row(pane, "erase by characters and columns", at, "你")
        pane.type("x", enter=True)
        bob.expect("<alice> 你x\r\n".encode())
    else:
        pane.type("", enter=True)
        bob.expect("<alice> 你好 café\r\n".encode())

    pane.type("/quit", enter=True)
    wait_row(pane, "goodbye", STAMP + r" \* goodbye", history=True)
    bob.expect(b"alice logged off")
    check("server closes the connection",
          poll(lambda: '(user "alice")' in server_log()), server_log())
    if telnet_mode:  # nc waits for the end of its input even then
        check("client ends when the server closes", poll(lambda: pane.tmux(
            "display", "-p", "#{pane_dead}").strip() == "1"),
              pane.dump)


def missing(client, extra=()):
    """Says why the tools for `client` are not here, if they are not."""
    for tool in ("tmux", client[0]) + tuple(extra):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            return True
    if client[0] == "busybox" and subprocess.run(
            ["busybox", "telnet"], capture_output=True).returncode == 127:
        print("SKIP: busybox has no telnet applet")
        return True
    return False


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in CLIENTS:
        sys.exit(__doc__)
    client, binary = CLIENTS[sys.argv[1]], sys.argv[2]
    tls = sys.argv[1] in TLS_CLIENTS
    if missing(client, ("openssl",) if tls else ()):
        return 77

    # A zone with a half-hour offset, so that a stamp in UTC shows.
    os.environ["TZ"] = "<+0530>-05:30"
    time.tzset()
    signal.signal(signal.SIGALRM, lambda *_: sys.exit("FAIL: timed out"))
    signal.alarm(40)
    started = time.monotonic()
    with tempfile.TemporaryFile() as log, \
            tempfile.TemporaryDirectory(prefix="nchatd-e2e-") as tmp:
        server, port, tls_port = start_server(
            binary, log, make_certificate(tmp) if tls else None)
        pane = None
        try:
            if client[0] == "socat":
                argv = [*client, f"OPENSSL:127.0.0.1:{tls_port},verify=0"]
            else:
                argv = [*client, "127.0.0.1", str(tls_port if tls else port)]
            pane = Pane(argv, tmp)
            scenario(pane, port, client[0] != "nc",
                     lambda: os.pread(log.fileno(), 1 << 16, 0).decode(),
                     negotiate=client[0] != "socat")
        except Stop:
            print("stopped after the failed step")
        finally:
            signal.alarm(0)
            if pane:
                pane.close()
            server.terminate()
            server.wait(5)
            if failures:
                log.seek(0)
                print("--- server log ---\n" + log.read().decode(errors="replace"))
    print(f"{failures} failed, {time.monotonic() - started:.1f} s")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
