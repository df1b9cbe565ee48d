# What the Python benches share about the servers they start on loopback:
# a free port, waiting until something listens on it, and a process's CPU.
import os, socket, sys, time

TICK = os.sysconf('SC_CLK_TCK')


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


# Returns once a connect to the port succeeds; exits if none does in 10 s.
def wait_port(port):
    deadline = time.time() + 10
    while time.time() < deadline:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit(f'nothing listens on {port}')


# CPU seconds (utime+stime) of every PID, all its threads, from
# /proc/PID/stat in clock ticks.
def cpu_s(pids):
    t = 0
    for p in pids:
        f = open(f'/proc/{p}/stat').read().rsplit(')', 1)[1].split()
        t += int(f[11]) + int(f[12])
    return t / TICK
