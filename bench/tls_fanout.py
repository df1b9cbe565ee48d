#!/usr/bin/env python3
# Fan-out over TLS beside plain, side by side in one run: server CPU per copy
# from /proc/PID/stat (utime+stime of every PID given), loopback only.
# usage: tls_fanout.py PORT CLIENTS LINES plain|tls PID[,PID...]
import socket, ssl, sys, time, selectors, os
N=int(sys.argv[2]); L=int(sys.argv[3]); port=int(sys.argv[1]); tls=sys.argv[4]=='tls'; pids=[int(p) for p in sys.argv[5].split(',')]
ctx=ssl.create_default_context(); ctx.check_hostname=False; ctx.verify_mode=ssl.CERT_NONE
def cpu():
    t=0
    for p in pids:
        f=open(f'/proc/{p}/stat').read().rsplit(')',1)[1].split(); t+=int(f[11])+int(f[12])
    return t
def rd(s,want,deadline):
    buf=b''
    while want not in buf and time.time()<deadline:
        try: d=s.recv(4096)
        except (ssl.SSLWantReadError, socket.timeout, BlockingIOError): continue
        if not d: break
        buf+=d
    return buf
cl=[]
t0=time.time()
for i in range(N):
    s=socket.create_connection(('127.0.0.1',port)); s.settimeout(2)
    if tls: s=ctx.wrap_socket(s)
    rd(s,b'chars): ',time.time()+5); s.sendall(b'u%d\r\n'%i); rd(s,b'> ',time.time()+5); cl.append(s)
login=time.time()-t0
time.sleep(0.5)
for s in cl[1:]:
    s.setblocking(False)
    try:
        while s.recv(65536): pass
    except Exception: pass
sel=selectors.DefaultSelector()
for s in cl[1:]: sel.register(s,selectors.EVENT_READ)
c0=cpu(); copies=0
for j in range(L):
    tag=b'line%05d'%j; cl[0].sendall(tag+b' '+b'x'*50+b'\r\n'); got=set(); dl=time.time()+3; bufs={}
    while len(got)<N-1 and time.time()<dl:
        for k,_ in sel.select(0.5):
            s=k.fileobj
            while True:
                try: d=s.recv(65536)
                except (ssl.SSLWantReadError, BlockingIOError): break
                if not d: break
                bufs[s]=bufs.get(s,b'')+d
                if tag in bufs[s]: got.add(s)
    copies+=len(got)
c1=cpu()
print(f"{sys.argv[4]:8s} N={N} copies={copies} cpu_ticks={c1-c0} us_per_copy={(c1-c0)*1e6/os.sysconf('SC_CLK_TCK')/max(copies,1):.2f} login_s={login:.2f}")
