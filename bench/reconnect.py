#!/usr/bin/env python3
# The reconnect flood beside ngircd, each server at its defaults, on
# loopback: from 127.0.0.2, PARALLEL connections at a time, each gives a
# fresh name, sends 23 lines and quits, then the next one connects.  One
# reader on 127.0.0.3 counts the flood lines it is sent.  Reported per
# server: connects tried and refused, flood lines relayed per second, and
# the server's CPU (utime+stime) as a share of one core and per connect.
# usage: reconnect.py NCHATD [--seconds 10] [--parallel 10] [--ngircd PATH]
# `make bench` runs it after tls.py.
import argparse, os, shutil, socket, subprocess, sys, tempfile, threading, time
from loopback import cpu_s, free_port, wait_port

ap = argparse.ArgumentParser()
ap.add_argument('nchatd')
ap.add_argument('--seconds', type=float, default=10)
ap.add_argument('--parallel', type=int, default=10)
ap.add_argument('--ngircd', default=shutil.which('ngircd') or '/usr/sbin/ngircd')
args = ap.parse_args()
LINES = 23
work = tempfile.mkdtemp(prefix='nchatd-reconnect-bench-')


def connect(port, source):
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(2)
    s.connect(('127.0.0.1', port))
    return s


def read_until(s, want, deadline):
    buf = b''
    while want not in buf and time.time() < deadline:
        try:
            d = s.recv(65536)
        except socket.timeout:
            continue
        if not d:
            break
        buf += d
    return buf


class Nchatd:
    name = 'nchatd'

    def start(self, port):
        return subprocess.Popen([args.nchatd, '-i', '-b', '127.0.0.1', '-p', str(port)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def login(self, s, nick):
        return b'chars): ' in read_until(s, b'chars): ', time.time() + 2) and not s.sendall(nick + b'\r\n')

    def flood(self, nick):
        return b''.join(b'flood %d\r\n' % i for i in range(LINES)) + b'/quit\r\n'


class Ngircd:
    name = 'ngircd'

    def start(self, port):
        conf = os.path.join(work, 'ngircd.conf')
        # Its defaults, but loopback only and no look-ups.
        open(conf, 'w').write(
            '[Global]\n  Name = bench.invalid\n  Info = reconnect bench\n  Listen = 127.0.0.1\n'
            f'  Ports = {port}\n  ServerUID = {os.getuid()}\n  ServerGID = {os.getgid()}\n'
            '[Options]\n  DNS = no\n  Ident = no\n  PAM = no\n  ConnectIPv6 = no\n')
        return subprocess.Popen([args.ngircd, '-n', '-f', conf], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def login(self, s, nick):
        s.sendall(b'NICK %s\r\nUSER %s 0 * :bench\r\n' % (nick, nick))
        if b' 001 ' not in read_until(s, b' 001 ', time.time() + 2):
            return False
        s.sendall(b'JOIN #bench\r\n')
        return True

    def flood(self, nick):
        return b'JOIN #bench\r\n' + b''.join(b'PRIVMSG #bench :flood %d\r\n' % i
                                               for i in range(LINES)) + b'QUIT\r\n'


def run(kind):
    port = free_port()
    p = kind.start(port)
    try:
        measure(kind, port, p)
    finally:
        # Also on an early exit (a reader that cannot log in, a port that
        # never opens): the server is ours to stop, by its PID.
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def measure(kind, port, p):
    wait_port(port)
    time.sleep(1.2)  # the probe above is a connect of its own
    reader = connect(port, '127.0.0.3')
    if not kind.login(reader, b'reader'):
        sys.exit(f'{kind.name}: the reader could not log in')
    time.sleep(0.5)
    reader.settimeout(0.2)
    stop = time.time() + args.seconds
    tried = [0] * args.parallel
    refused = [0] * args.parallel

    def flooder(k):
        n = 0
        while time.time() < stop:
            n += 1
            nick = b'f%d_%d' % (k, n)
            tried[k] += 1
            try:
                s = connect(port, '127.0.0.2')
            except OSError:
                refused[k] += 1
                continue
            try:
                # No greeting, a refusal or a close: refused.
                if kind.name == 'nchatd':
                    first = read_until(s, b'\r\n', time.time() + 2)
                    if b'Welcome' not in first:
                        refused[k] += 1
                        continue
                    s.sendall(nick + b'\r\n' + kind.flood(nick))
                else:
                    s.sendall(b'NICK %s\r\nUSER %s 0 * :bench\r\n' % (nick, nick) + kind.flood(nick))
                # Wait for the server to end it (the /quit), a bounded time.
                got = read_until(s, b'\0', min(stop, time.time() + 2))
                if kind.name == 'ngircd' and b' 001 ' not in got:
                    refused[k] += 1
            except OSError:
                refused[k] += 1
            finally:
                s.close()

    seen = 0
    buf = b''
    c0, t0 = cpu_s([p.pid]), time.time()
    threads = [threading.Thread(target=flooder, args=(k,)) for k in range(args.parallel)]
    for t in threads:
        t.start()
    while time.time() < stop:
        try:
            d = reader.recv(1 << 20)
        except socket.timeout:
            continue
        if not d:
            break
        buf += d
        seen += buf.count(b'flood ')
        buf = buf[buf.rfind(b'\n') + 1:] if b'\n' in buf else buf[-16:]
    c1, t1 = cpu_s([p.pid]), time.time()
    for t in threads:
        t.join()
    reader.close()
    secs = t1 - t0
    print(f'{kind.name:7} reconnect P={args.parallel:<3} {secs:6.1f} {sum(tried):8} {sum(refused):8} '
          f'{seen / secs:10.1f} {100 * (c1 - c0) / secs:6.1f} {1e6 * (c1 - c0) / max(sum(tried), 1):8.1f}')
    sys.stdout.flush()


print('server  scenario       secs  connects  refused  relay l/s   cpu%  us/conn')
run(Nchatd())
if os.path.exists(args.ngircd):
    run(Ngircd())
else:
    print('ngircd: not installed, its row is left out')
print(f'  From 127.0.0.2, {args.parallel} at a time: connect, a fresh name, {LINES} lines, quit; a reader on\n'
      '  127.0.0.3 counts the flood lines. Each server with its defaults. cpu%: the server, of one core;\n'
      '  us/conn: that CPU per connect tried, which depends less on how fast the flood runs.')
shutil.rmtree(work, ignore_errors=True)
