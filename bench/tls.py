#!/usr/bin/env python3
# The TLS port measured beside the plain one, side by side in one run, on
# loopback: one nchatd with both ports, and stunnel in front of a second,
# plain nchatd, which is what a user would pick instead.
#   fan-out: one writer, N-1 readers; chatter here: the writer changes every line
#     among the first 32 clients.  Server CPU per copy (utime+stime,
#     stunnel's counted too), the runs taking turns in blocks of lines.
#   idle: RSS of nchatd holding IDLE logged-in TLS clients, beside the
#     same number of plain ones.
#   storm: IDLE TLS logins, at most 64 under way at once: handshakes per
#     second, and the server's CPU per login.
# usage: tls.py NCHATD [--clients 512] [--lines 60] [--idle 2048]
# `make bench` runs it after nchatd-bench (TLS_BENCH_ARGS="--clients 128").  About
# a minute on a loaded 2-core machine.
import argparse, os, resource, selectors, shutil, socket, ssl, subprocess, sys, tempfile, time
from loopback import cpu_s, free_port, wait_port

ap = argparse.ArgumentParser()
ap.add_argument('nchatd')
ap.add_argument('--clients', type=int, default=512)
ap.add_argument('--lines', type=int, default=60)
ap.add_argument('--idle', type=int, default=2048)
ap.add_argument('--stunnel', default=shutil.which('stunnel4') or shutil.which('stunnel'))
args = ap.parse_args()
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
work = tempfile.mkdtemp(prefix='nchatd-tls-bench-')
procs = []


# CPU time in microseconds of every PID, all its threads (stunnel runs one
# per connection).
def cpu(pids):
    return cpu_s(pids) * 1e6


def rss_kib(pid):
    for line in open(f'/proc/{pid}/status'):
        if line.startswith('VmRSS:'):
            return int(line.split()[1])
    return 0


def start(cmd):
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(p)
    return p


# Non-blocking logins, at most `window` under way; returns the sockets.
def logins(port, n, tls, prefix, window=64):
    sel = selectors.DefaultSelector()
    done, started, live = [], 0, 0
    deadline = time.time() + 120

    def begin(i):
        raw = socket.create_connection(('127.0.0.1', port))
        raw.setblocking(False)
        s = ctx.wrap_socket(raw, do_handshake_on_connect=False) if tls else raw
        st = {'i': i, 'phase': 'shake' if tls else 'name', 'buf': b''}
        sel.register(s, selectors.EVENT_READ | selectors.EVENT_WRITE, st)

    def step(s, st):
        if st['phase'] == 'shake':
            try:
                s.do_handshake()
            except ssl.SSLWantReadError:
                sel.modify(s, selectors.EVENT_READ, st)
                return False
            except ssl.SSLWantWriteError:
                sel.modify(s, selectors.EVENT_WRITE, st)
                return False
            st['phase'] = 'name'
            sel.modify(s, selectors.EVENT_READ, st)
        try:
            while True:
                d = s.recv(4096)
                if not d:
                    raise OSError(f'closed by port {port} at login {st["i"]} in {st["phase"]}: {st["buf"][-80:]!r}')
                st['buf'] += d
        except (ssl.SSLWantReadError, BlockingIOError):
            pass
        if st['phase'] == 'name' and b'chars): ' in st['buf']:
            s.send(b'%s%d\r\n' % (prefix, st['i']))
            st['phase'], st['buf'] = 'prompt', b''
        if st['phase'] == 'prompt' and b'> ' in st['buf']:
            sel.unregister(s)
            done.append(s)
            return True
        return False

    while len(done) < n and time.time() < deadline:
        while live < window and started < n:
            begin(started)
            started += 1
            live += 1
        for key, _ in sel.select(0.5):
            if step(key.fileobj, key.data):
                live -= 1
    if len(done) < n:
        sys.exit(f'only {len(done)} of {n} logins on port {port}')
    return done


def drain(s):
    try:
        while s.recv(65536):
            pass
    except (ssl.SSLWantReadError, BlockingIOError, OSError):
        pass


# One line from `writer` to every other client of `cl`; copies received.
def one_line(cl, sel, writer, tag):
    cl[writer].setblocking(True)
    cl[writer].sendall(tag + b' ' + b'x' * 50 + b'\r\n')
    cl[writer].setblocking(False)
    got, bufs, deadline = set(), {}, time.time() + 5
    want = len(cl) - 1
    while len(got) < want and time.time() < deadline:
        for key, _ in sel.select(0.5):
            s = key.fileobj
            while True:
                try:
                    d = s.recv(65536)
                except (ssl.SSLWantReadError, BlockingIOError):
                    break
                if not d:
                    break
                b = bufs.get(s, b'') + d
                if tag in b:
                    got.add(s)
                    b = b''
                bufs[s] = b[-64:]
    got.discard(cl[writer])
    return len(got)


def relay_runs(setups, n, lines):
    """setups: [(label, port, tls, pids)]; the runs take turns by line."""
    sessions = []
    for label, port, tls, pids in setups:
        cl = logins(port, n, tls, label[0].encode())
        for s in cl:
            s.setblocking(False)
        time.sleep(0.3)
        for s in cl:
            drain(s)
        sel = selectors.DefaultSelector()
        for s in cl:
            sel.register(s, selectors.EVENT_READ)
        sessions.append([label, cl, sel, pids])
    rows = {}
    # Ticks are 10 ms: each run measures blocks of lines, in turns.
    rounds = 4
    for kind in ('fan-out', 'chatter'):
        tot = {label: [0, 0] for label, *_ in sessions}
        for block in range(rounds):
            for label, cl, sel, pids in sessions:
                c0 = cpu(pids)
                for j in range(block * lines // rounds, (block + 1) * lines // rounds):
                    writer = 0 if kind == 'fan-out' else j % 32
                    tot[label][1] += one_line(cl, sel, writer, b'%s%05d' % (kind[0].encode(), j))
                tot[label][0] += cpu(pids) - c0
        rows[kind] = {label: (t / max(c, 1), c, t) for label, (t, c) in tot.items()}
    for _, cl, sel, _ in sessions:
        for s in cl:
            s.close()
    return rows


try:
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
                    '-keyout', f'{work}/k.pem', '-out', f'{work}/c.pem', '-days', '2', '-subj', '/CN=localhost'],
                   check=True, capture_output=True)
    n = args.clients
    top = 2048  # the most -n allows
    plain, tls = free_port(), free_port()
    a = start([args.nchatd, '-i', '-b', '127.0.0.1', '-n', str(top), '-p', str(plain), '-s', str(tls),
               '-C', f'{work}/c.pem', '-K', f'{work}/k.pem', '-u', '0', '-r', '0', '-g', '0', '-k', '0', '-m', '0', '-R', '0', '-o', '0'])
    behind, front = free_port(), free_port()
    b = start([args.nchatd, '-i', '-b', '127.0.0.1', '-n', str(top), '-p', str(behind), '-u', '0', '-r', '0', '-g', '0', '-k', '0', '-m', '0', '-R', '0', '-o', '0'])
    setups = [('plain', plain, False, [a.pid]), ('TLS', tls, True, [a.pid])]
    if args.stunnel:
        with open(f'{work}/st.conf', 'w') as f:
            f.write(f'foreground = yes\npid =\ndebug = 3\n[chat]\naccept = 127.0.0.1:{front}\n'
                    f'connect = 127.0.0.1:{behind}\ncert = {work}/c.pem\nkey = {work}/k.pem\n')
        st = start([args.stunnel, f'{work}/st.conf'])
        wait_port(front)
        setups.append(('stunnel', front, True, [b.pid, st.pid]))
    for p in (plain, tls, behind):
        wait_port(p)
    rows = relay_runs(setups, n, args.lines)
    print(f'TLS beside plain, N={n}, {args.lines} lines each, server CPU per copy (us):')
    for kind, r in rows.items():
        base = r['plain'][0] or float('nan')  # too few ticks in a tiny run
        cells = '  '.join(f'{label} {us:.2f} ({us / base:.2f}x)' for label, (us, c, t) in r.items())
        print(f'  {kind:8s} {cells}')

    # Each storm on a fresh server, so that its RSS is the idle clients'.
    m = args.idle
    for mode, is_tls in (('plain', False), ('TLS', True)):
        ports = free_port(), free_port()
        c = start([args.nchatd, '-i', '-b', '127.0.0.1', '-n', str(top), '-p', str(ports[0]), '-s', str(ports[1]),
                   '-C', f'{work}/c.pem', '-K', f'{work}/k.pem', '-u', '0', '-r', '0', '-g', '0', '-k', '0', '-m', '0', '-R', '0', '-o', '0'])
        wait_port(ports[is_tls])
        r0, c0, t0 = rss_kib(c.pid), cpu([c.pid]), time.time()
        cl = logins(ports[is_tls], m, is_tls, b'i')
        wall, spent = time.time() - t0, cpu([c.pid]) - c0
        time.sleep(1.5)  # the once-a-second sweep gives drained queues back
        r1 = rss_kib(c.pid)
        print(f'{m} {mode} logins, 64 at a time: {m / wall:.0f} per second, server CPU {spent / max(m, 1):.0f} us per login; '
              f'RSS with them idle {r1 / 1024:.1f} MiB, {(r1 - r0) / max(m, 1):.1f} KiB per client')
        for s in cl:
            s.close()
        c.terminate()
        c.wait(10)
finally:
    for p in procs:
        p.terminate()
    for p in procs:
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
    shutil.rmtree(work, ignore_errors=True)
