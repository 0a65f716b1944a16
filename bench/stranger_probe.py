#!/usr/bin/env python3
# What strangers and large bodies cost the server, on 127.0.0.1 only:
# four 60 MiB login bodies at once without a session, four 60 MiB uploads
# at once signed in (the server's VmRSS and its peak, VmHWM), then 1,100
# connections that each send a head line and stop, and how fast a fresh
# client's /api/health and a signed-in /api/files/list are answered
# meanwhile. A measurement, not a test; CI never runs it.
#
#   python3 bench/stranger_probe.py build/quillo
import json, os, shutil, socket, subprocess, sys, tempfile, threading, time
home = tempfile.mkdtemp()
probe = socket.socket(); probe.bind(('127.0.0.1', 0)); port = probe.getsockname()[1]; probe.close()
env = dict(os.environ, HOME=home, QUILLO_CONFIG_DIR=home+'/.quillo', QUILLO_PORT=str(port), QUILLO_HOST='127.0.0.1', QUILLO_NO_AUTO_OPEN='1', QUILLO_NO_TRAY='1')
p = subprocess.Popen([sys.argv[1]], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
def rss(field='VmRSS'):
    for line in open(f'/proc/{p.pid}/status'):
        if line.startswith(field): return int(line.split()[1])
def req(raw, timeout=10):
    s = socket.create_connection(('127.0.0.1', port)); s.settimeout(timeout); s.sendall(raw)
    data=b''
    try:
        while True:
            d=s.recv(65536)
            if not d: break
            data+=d
    except Exception: pass
    s.close(); return data
time.sleep(1.0)
body=json.dumps({'password':'pw'}).encode()
r=req(b'POST /api/auth/setup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: %d\r\n\r\n' % len(body) + body)
cookie=[l for l in r.split(b'\r\n') if l.lower().startswith(b'set-cookie')][0].split(b':',1)[1].split(b';')[0].strip()
print('start RSS kB', rss())
# 1. four 60 MiB stranger login bodies at once
big = b'x'*(60<<20)
def login():
    try:
        s=socket.create_connection(('127.0.0.1',port)); s.settimeout(20)
        s.sendall(b'POST /api/auth/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n' % len(big))
        try: s.sendall(big)
        except Exception as e: pass
        s.close()
    except Exception as e: print('login', e)
ts=[threading.Thread(target=login) for _ in range(4)]; [t.start() for t in ts]; [t.join() for t in ts]
print('after 4x60MiB stranger logins: RSS kB', rss(), 'peak kB', rss('VmHWM'))
# 2. four 60 MiB uploads signed in
def upload(i):
    s=socket.create_connection(('127.0.0.1',port)); s.settimeout(60)
    s.sendall(b'POST /api/files/upload?path=&name=u%d.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: %s\r\nConnection: close\r\nContent-Length: %d\r\n\r\n' % (i, cookie, len(big)))
    s.sendall(big); d=s.recv(1000); s.close()
    assert b'200 OK' in d, d
before=rss(); peak_before=rss('VmHWM')
ts=[threading.Thread(target=upload,args=(i,)) for i in range(4)]; t0=time.time(); [t.start() for t in ts]; [t.join() for t in ts]
print('4x60MiB uploads in %.2f s: RSS before %d kB, peak before %d, peak after %d kB' % (time.time()-t0, before, peak_before, rss('VmHWM')))
# 3. 1100 slow connections
slow=[]
for i in range(1100):
    s=socket.create_connection(('127.0.0.1',port)); s.sendall(b'GET / HTTP/1.1\r\nX-Slow: 1\r\n'); slow.append(s)
time.sleep(1)
lat=[]
for i in range(5):
    t0=time.time(); r=req(b'GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n', 40); lat.append(time.time()-t0)
    assert b'200 OK' in r, r[:100]
t0=time.time(); r=req(b'GET /api/files/list?path= HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: '+cookie+b'\r\nConnection: close\r\n\r\n', 40)
print('with 1100 slow heads held: health in %s ms, signed-in list in %.1f ms (%s)' % ([round(x*1000,1) for x in lat], (time.time()-t0)*1000, r[:15]))
for s in slow: s.close()
p.terminate(); p.wait()
shutil.rmtree(home, ignore_errors=True)
