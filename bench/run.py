#!/usr/bin/env python3
"""make bench: the three proxies against a loopback nginx origin, with nginx
direct as the ceiling and Squid and tinyproxy as peers, all in one run.
bench/README.md says what is measured and how to read the results."""
import argparse, csv, hashlib, json, os, random, re, resource, shutil, signal, socket, subprocess, sys, tempfile, time
from collections import deque
from string import Template

BENCH = os.path.dirname(os.path.abspath(__file__))
PROGRAMS, PEERS = ['stampproxy', 'stageproxy', 'slotproxy'], ['squid', 'tinyproxy']
SIZES = {'1k': 1024, '10k': 10240, '90k': 92160}
COLUMNS = ('run program path tool size_bytes concurrency seconds requests rps ratio mean_ms p99_ms failed non2xx '
           'origin_reqs peak_rss_kb other_cpu_pct bytes_ok note').split()
SHOWN = 'program path tool size concurrency rps ratio mean_ms p99_ms failed non2xx origin_reqs peak_rss_kb other_cpu_pct bytes_ok'
FMT = '%-10s %-6s %-4s %4s %4s %9s %6s %9s %9s %6s %6s %7s %8s %6s %-4s %s'


def options(argv):
    ap = argparse.ArgumentParser(prog='bench/run.py', description='Times the programs built in --build-dir against a '
                                 'loopback nginx origin, with nginx direct and the peers in the same run; writes '
                                 'RESULTS/<run>.csv, .json, .txt and .png and copies them to latest.*.')
    add = ap.add_argument
    add('--programs', nargs='*', choices=PROGRAMS, default=PROGRAMS, help='programs to time (default: all three)')
    add('--sizes', nargs='+', choices=SIZES, help='file sizes (default: 1k 10k 90k; quick: 1k)')
    add('--concurrency', nargs='+', type=int, help='concurrencies (default: 1 50 200; quick: 50)')
    add('--seconds', type=int, help='seconds per row (default: 2; quick: 1)')
    add('--peers', nargs='*', choices=PEERS, default=PEERS, help='peers timed beside the programs (default: both)')
    add('--no-peers', dest='peers', action='store_const', const=[], help='time no peers')
    add('--quick', action='store_true', help='a short check: one size (1k), one concurrency (50), 1 s per row')
    add('--build-dir', default='build/release', help='where the programs are built (default: build/release, as make bench does)')
    add('--stage-verbosity', help="stageproxy's verbosity argument (default: none, so its own default)")
    add('--results', default=f'{BENCH}/results', help='where the results go (default: bench/results)')
    add('--plan', action='store_true', help='print the rows a run would time, one a line, and exit (no load)')
    o = ap.parse_args(argv)
    o.sizes = o.sizes or (['1k'] if o.quick else list(SIZES))
    o.concurrency = o.concurrency or ([50] if o.quick else [1, 50, 200])
    o.seconds = o.seconds or (1 if o.quick else 2)
    return o


def plan(sizes, concs, started):
    """The rows in the order they run: for each size and concurrency nginx direct and every proxy
    back to back, so that the noise of one moment stays within one group."""
    kind = lambda p: 'relay' if p == 'tinyproxy' else 'hit'
    for s in sizes:
        for c in concs:
            yield ('nginx', 'direct', 'ab', s, c)
            yield from ((p, kind(p), 'ab', s, c) for p in started)
            yield ('nginx', 'direct', 'wrk', s, c)
            yield from ((p, kind(p), 'wrk', s, c) for p in started)
            yield from ((p, 'miss', 'wrk', s, c) for p in started)


def kill(pid, sig):   # the process group the child leads, or the child alone if it has not made one yet
    try: os.killpg(pid, sig)
    except ProcessLookupError: os.kill(pid, sig)


class Held:
    """Every process the run starts, each leading a process group of its own (nginx's worker is in
    its master's). However the run ends, Ctrl-C included, each group whose leader has not been
    reaped is sent SIGTERM by the leader's PID, and SIGKILL if it is still there 5 s later; a child
    started but not yet recorded when an interrupt came is found in /proc and killed by its PID."""
    def __init__(self): self.procs = []

    def start(self, args, out=subprocess.DEVNULL):
        self.procs.append(subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                           start_new_session=True))
        return self.procs[-1]

    def run(self, args, limit):   # runs a command to its end, killed after limit seconds: (status, output)
        p = self.start(args, subprocess.PIPE)
        try: out = p.communicate(timeout=limit)[0]
        except subprocess.TimeoutExpired: kill(p.pid, signal.SIGKILL); out = p.communicate()[0]
        self.procs.remove(p)
        return p.returncode, out.decode('utf-8', 'replace')

    def __enter__(self): return self

    def __exit__(self, *exc):
        for s in (signal.SIGINT, signal.SIGTERM): signal.signal(s, signal.SIG_IGN)   # let the cleanup finish
        with open(f'/proc/{os.getpid()}/task/{os.getpid()}/children') as f:
            for pid in set(map(int, f.read().split())) - {p.pid for p in self.procs}: kill(pid, signal.SIGKILL); os.waitpid(pid, 0)
        live = [p for p in self.procs if p.poll() is None]
        for p in live: kill(p.pid, signal.SIGTERM)
        deadline = time.monotonic() + 5
        while any(p.poll() is None for p in live) and time.monotonic() < deadline: time.sleep(0.05)
        for p in (p for p in live if p.poll() is None): kill(p.pid, signal.SIGKILL); p.wait()


def fetch(port, target, host):
    """One HTTP/1.0 request to 127.0.0.1:port: (header block, body), what came before an error."""
    data, length = b'', None
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
            s.sendall(f'GET {target} HTTP/1.0\r\nHost: {host}\r\n\r\n'.encode())
            while (length is None or len(data) < length) and (chunk := s.recv(65536)):
                data += chunk
                if length is None and b'\r\n\r\n' in data:   # stop at the body's length, if given, or at the close
                    m = re.search(rb'\r\ncontent-length: *(\d+)', data.split(b'\r\n\r\n')[0], re.I)
                    length = data.index(b'\r\n\r\n') + 4 + int(m[1]) if m else float('inf')
    except OSError: pass
    head, _, body = data.partition(b'\r\n\r\n')
    return head.decode('latin-1'), body


def status(pid, key):   # VmHWM or VmRSS in kB, '' once the process is gone (or a zombie)
    try: return next((l.split()[1] for l in open(f'/proc/{pid}/status') if l.startswith(key + ':')), '')
    except OSError: return ''


def ticks(pid):   # utime + stime
    try: x = open(f'/proc/{pid}/stat').read().rsplit(')', 1)[1].split(); return int(x[11]) + int(x[12])
    except OSError: return 0


class Run:
    def __init__(self, o, held, tmp):
        self.o, self.held, self.tmp, self.stamp = o, held, tmp, time.strftime('%Y%m%d-%H%M%S')
        self.pid, self.port, self.ok, self.closes, self.direct, self.rows, self.table = {}, {}, {}, {}, {}, [], []
        # Ports below the ephemeral range, so the load tools' own never collide; in the run's own
        # network namespace nothing else listens.
        self.ports, self.missing, self.started = random.sample(range(20000, 32000), 10), [], []

    def serve(self, name, args, log, **conf):
        """Starts a server on a port of its own (PORT and DIR in args stand for it and its directory);
        True once it accepts connections (10 s at most)."""
        port = self.port[name] = self.ports.pop()
        if conf:   # its configuration from bench/conf/NAME.conf.tmpl, in a directory of its own
            d = conf['dir'] = f'{self.tmp}/{name}'
            os.makedirs(d)
            shutil.chown(d, conf.get('user', 'root'))
            text = Template(open(f'{BENCH}/conf/{name}.conf.tmpl').read()).substitute(port=port, **conf)
            open(f'{d}/{name}.conf', 'w').write(text)
            log = f'{d}/console.log'
        args = [a.replace('DIR', conf.get('dir', '')).replace('PORT', str(port)) for a in args]
        p = self.held.start(args, out=open(log, 'wb'))
        self.pid[name], deadline = p.pid, time.monotonic() + 10
        while time.monotonic() < deadline and p.poll() is None:
            try: socket.create_connection(('127.0.0.1', port), timeout=1).close(); return True
            except OSError: time.sleep(0.05)
        print(f'bench: {name} did not start (left out); the end of its log:', *deque(open(log, errors='replace'), 5), file=sys.stderr)

    def start(self):
        www = self.www = f'{self.tmp}/www'
        os.makedirs(www)
        text = ''.join('%06d the quick brown fox jumps over the lazy dog %09d\n' % (i, i * 7919) for i in range(2000))
        for s in self.o.sizes:   # the same bytes every run, dated old so that Squid's heuristic keeps them fresh
            open(f'{www}/{s}.txt', 'w').write(text[:SIZES[s]])
            os.utime(f'{www}/{s}.txt', (1577836800, 1577836800))
        if not self.serve('nginx', ['nginx', '-p', 'DIR', '-c', 'DIR/nginx.conf', '-e', 'DIR/error.log'], None, www=www):
            sys.exit('bench: nginx did not start')
        self.origin, deadline = f"127.0.0.1:{self.port['nginx']}", time.monotonic() + 10
        while not self.origin_requests() and time.monotonic() < deadline: time.sleep(0.05)   # until the worker answers
        self.master = self.pid['nginx']
        self.pid['nginx'] = int(open(f'/proc/{self.master}/task/{self.master}/children').read().split()[0])
        os.makedirs(f'{self.tmp}/console')
        for p in self.o.programs:
            exe = os.path.join(os.path.dirname(BENCH), self.o.build_dir, p, p)   # a relative build dir is the tree's
            if not os.access(exe, os.X_OK): self.missing.append(f'{p} (no binary at {exe})'); continue
            verbosity = [self.o.stage_verbosity] if p == 'stageproxy' and self.o.stage_verbosity else []
            if self.serve(p, [exe, 'PORT'] + verbosity, f'{self.tmp}/console/{p}.log'): self.started.append(p)
            else: self.missing.append(f'{p} (did not start)')
        for p in self.o.peers:
            has = lambda *a: self.held.run(list(a), 5)[0] == 0
            if (self.serve(p, ['squid', '-N', '-f', 'DIR/squid.conf'], None, user='proxy' if has('id', 'proxy') else 'nobody')
                    if p == 'squid' else self.serve(p, ['tinyproxy', '-d', '-c', 'DIR/tinyproxy.conf'], None, user='nobody',
                                                    group='nogroup' if has('getent', 'group', 'nogroup') else 'nobody')):
                self.started.append(p)
        self.idle = {p: status(self.pid[p], 'VmRSS') for p in ['nginx'] + self.started}

    def origin_requests(self):   # requests nginx has served so far (stub_status), '' if it does not answer
        try: return fetch(self.port['nginx'], '/nginx_status', 'localhost')[1].split(b'\n')[2].split()[2].decode()
        except IndexError: return ''

    def check_bytes(self):
        """Each proxy must return the origin's exact body: the same URL twice (a miss, then a hit
        where it caches) and a URL with a query string."""
        for s in self.o.sizes:
            want, url = hashlib.sha256(open(f'{self.www}/{s}.txt', 'rb').read()).digest(), f'http://{self.origin}/{s}.txt'
            if hashlib.sha256(fetch(self.port['nginx'], f'/{s}.txt', self.origin)[1]).digest() != want:
                sys.exit(f'bench: nginx serves wrong bytes for {s}')
            for p in self.started:
                good = all(hashlib.sha256(fetch(self.port[p], u, self.origin)[1]).digest() == want
                           for u in [url, url, f'{url}?check-{self.stamp}'])
                self.ok[p, s] = 'yes' if good else 'no'
                if not good: print(f"bench: CHECK FAILED: {p} does not return the origin's bytes for {s}", file=sys.stderr)
        # Does the response to an HTTP/1.0 request say "Connection: close"? wrk (unlike ab) tries to
        # reuse a connection whose response does not, and counts the read error it then meets.
        for p in ['nginx'] + self.started:
            head = fetch(self.port[p], f'/{s}.txt' if p == 'nginx' else f'{url}?headers-{self.stamp}', self.origin)[0]
            self.closes[p] = bool(re.search(r'(?im)^connection: *close', head))

    def cpu(self, pid):
        """Busy and total ticks of the machine (/proc/stat), and those of the origin, the proxy and
        this run with its waited-for children (the load tools): what is left is other people's."""
        v, t = [int(x) for x in open('/proc/stat').readline().split()[1:9]], os.times()
        busy = v[0] + v[1] + v[2] + v[5] + v[6] + v[7]
        return busy, busy + v[3] + v[4], sum(ticks(x) for x in {self.master, self.pid['nginx'], pid}) + round(
            sum(t[:4]) * os.sysconf('SC_CLK_TCK'))

    def row(self, p, path, tool, s, c, n):
        pid, port, secs, f, note = self.pid[p], self.port[p], self.o.seconds, {}, []
        r = dict(run=self.stamp, program=p, path=path, tool=tool, size_bytes=SIZES[s], concurrency=c, seconds=secs)
        if not status(pid, 'VmRSS'): return self.emit(r, s, '', note='process gone')
        url = f'http://{self.origin}/{s}.txt'
        if path == 'hit':   # warm the cache with the row's own request line (a program may key on it)
            self.held.run(['ab', '-n', '2', '-c', '1', '-s', '5', '-X', f'127.0.0.1:{port}', url], 10)
        o0, m0 = self.origin_requests(), self.cpu(pid)
        try: open(f'/proc/{pid}/clear_refs', 'w').write('5')   # resets the peak resident set
        except OSError: pass
        if tool == 'ab':
            rc, text = self.held.run(['ab', '-r', '-s', '10', '-t', str(secs), '-n', str(secs * 100000), '-c', str(c), '-e',
                                      f'{self.tmp}/ab.csv'] + ([] if p == 'nginx' else ['-X', f'127.0.0.1:{port}']) + [url], secs + 25)
            grab = lambda rx: (re.search(rx, text, re.M) or [None, ''])[1]
            f = dict(requests=grab(r'^Complete requests:\s+(\d+)'), failed=grab(r'^Failed requests:\s+(\d+)'),
                     non2xx=grab(r'^Non-2xx responses:\s+(\d+)') or ('0' if grab(r'^(Complete) requests') else ''),
                     rps=grab(r'^Requests per second:\s+([\d.]+)'), mean_ms=grab(r'^Time per request:\s+([\d.]+) \[ms\] \(mean\)'))
            if os.path.exists(f'{self.tmp}/ab.csv'):
                f['p99_ms'] = next(('%.3f' % float(l.split(',')[1]) for l in open(f'{self.tmp}/ab.csv') if l.startswith('99,')), '')
                os.remove(f'{self.tmp}/ab.csv')
            if not f['rps']: note.append(f"ab rc={rc}: {grab(r'(?i)^(.*(?:error|timeout|refused|reset).*)$')[:60]}")
        else:   # hit and relay rows repeat one URL; miss and direct rows make each request's new
            rc, text = self.held.run(['wrk', '-t', '1' if c < 2 else '2', '-c', str(c), '-d', f'{secs}s', '--timeout', '10s',
                                      '-s', f'{BENCH}/miss.lua', f'http://127.0.0.1:{port}/', '--', f'/{s}.txt' if p == 'nginx' else url,
                                      f'r{self.stamp}-{n}', self.origin, 'same' if path in ('hit', 'relay') else 'new'], secs + 25)
            if m := re.search(r'^WRKRESULT (.*)$', text, re.M):
                w = {k: float(v) for k, v in (x.split('=') for x in m[1].split())}
                failed = w['connect'] + w['write'] + w['timeout'] + (w['read'] if self.closes[p] else 0)
                f = dict(requests='%d' % w['requests'], rps='%.2f' % (w['requests'] * 1e6 / w['duration_us']) if w['duration_us'] else '',
                         mean_ms='%.3f' % (w['mean_us'] / 1000), p99_ms='%.3f' % (w['p99_us'] / 1000), failed='%d' % failed,
                         non2xx='%d' % w['status'])
                if w['read'] and not self.closes[p]:
                    note.append('%d wrk read errors not counted (response lacks Connection: close; wrk reuses the connection and meets the close)' % w['read'])
            else: note.append(f'wrk rc={rc}: {text[:60]}'.replace('\n', ' '))
        busy, total, ours = (b - a for a, b in zip(m0, self.cpu(pid)))
        o1, f['peak_rss_kb'] = self.origin_requests(), status(pid, 'VmHWM')
        f['other_cpu_pct'] = '%.0f' % max(0, 100 * (busy - ours) / total) if total > 0 else '0'
        f['origin_reqs'] = str(int(o1) - int(o0) - 1) if o0 and o1 else ''   # less the status request itself
        if not f['peak_rss_kb']: note.append('died during the row')
        if p == 'nginx' and f.get('rps'): self.direct[tool, s, c] = float(f['rps'])
        if f.get('rps') and self.direct.get((tool, s, c)): f['ratio'] = '%.3f' % (float(f['rps']) / self.direct[tool, s, c])
        self.emit(r, s, 'yes' if p == 'nginx' else self.ok.get((p, s), '?'), note='; '.join(note).replace(',', ';'), **f)
        time.sleep(0.3)   # lets the row's last connections close before the next row starts

    def emit(self, r, s, ok, **f):
        self.rows.append(dict(r, bytes_ok=ok, **f))
        self.table.append(FMT % tuple([s if k == 'size' else self.rows[-1].get(k) or '-' for k in SHOWN.split()] + [f['note']]))
        print(self.table[-1], flush=True)

    def header(self):
        o, v = self.o, {t: (re.search(rx, self.held.run([t, a], 10)[1]) or [None, '?'])[1] for t, a, rx in [
            ('ab', '-V', r'Version ([\d.]+)'), ('wrk', '-v', r'wrk (\S+)'), ('nginx', '-v', r'nginx/(\S+)'),
            ('squid', '-v', r'Version (\S+)'), ('tinyproxy', '-v', r'tinyproxy (\S+)')]}
        self.table = ['', f"bench run {self.stamp} on {os.cpu_count()} cores; {o.seconds}s per row; concurrency "
                      f"{' '.join(map(str, o.concurrency))}; sizes {' '.join(o.sizes)}",
                      f"origin nginx {v['nginx']} (1 worker, access log off) on {self.origin}; ab {v['ab']} without keep-alive; "
                      f"wrk {v['wrk']} with Connection: close",
                      f"peers: {' '.join(o.peers) or 'none'} (Squid {v['squid']} memory cache only; tinyproxy {v['tinyproxy']} relay)",
                      'console output of the programs goes to a file during the run, kept as bench/results/console/<program>.log '
                      '(over 20 MB: its first and last 200 lines)'] + [f'MISSING: {m}' for m in self.missing] + [
            'idle resident set (kB): ' + ' '.join(f'{p} {k or "?"}' for p, k in self.idle.items()),
            'hit/relay rows: ab -X proxy or wrk, same URL, compared with direct by the same tool; miss rows: wrk, a new URL per '
            'request, compared with wrk direct',
            'ratio = req/s / nginx direct req/s for the same size, concurrency and tool; origin = requests nginx served during '
            'the row; peakKB = VmHWM during the row;',
            'other% = CPU used during the row by processes this run did not start, in % of all cores (high: distrust the row)', '',
            FMT % tuple('program path tool size conc req/s ratio mean_ms p99_ms failed non2xx origin peakKB other% ok note'.split())]
        self.versions = v
        print('\n'.join(self.table), flush=True)

    def save(self):
        o, res, st = self.o, self.o.results, self.stamp
        rows = [dict(run=st, program=m.split()[0], note='missing: ' + m.split(' ', 1)[1]) for m in self.missing] + [
            dict(run=st, program=p, path='idle', peak_rss_kb=k, note='resident set after start-up') for p, k in self.idle.items()]
        with open(f'{res}/{st}.csv', 'w') as f:
            w = csv.DictWriter(f, COLUMNS, lineterminator='\n')
            w.writeheader(), w.writerows(rows + self.rows)
        open(f'{res}/{st}.txt', 'w').write('\n'.join(self.table) + '\n')
        num = lambda v: float(v) if re.fullmatch(r'-?\d+\.\d+', str(v)) else int(v) if re.fullmatch(r'-?\d+', str(v)) else v
        json.dump(dict(run=st, seconds=o.seconds, sizes=o.sizes, concurrency=o.concurrency, started=self.started,
                       missing=self.missing, versions=self.versions, rows=[{k: num(v) for k, v in r.items() if v != ''}
                                                                           for r in rows + self.rows]),
                  open(f'{res}/{st}.json', 'w'), indent=1)
        for ext in ('csv', 'txt', 'json'): shutil.copy(f'{res}/{st}.{ext}', f'{res}/latest.{ext}')
        self.chart(f'{res}/{st}.png')
        shutil.rmtree(f'{res}/console', ignore_errors=True)
        os.makedirs(f'{res}/console')
        for p in (p for p in self.started if p in PROGRAMS):   # whole up to 20 MB, else its first and last 200 lines
            src, dst = f'{self.tmp}/console/{p}.log', f'{res}/console/{p}.log'
            size, lines = os.path.getsize(src), sum(1 for _ in open(src, 'rb'))
            with open(src, 'rb') as i, open(dst, 'wb') as out:
                if size <= 20 << 20: shutil.copyfileobj(i, out)
                else: out.writelines([*(next(i) for _ in range(200)), b'[... bench/run.py kept the first and last 200 of %d lines '
                                      b'(%d bytes) ...]\n' % (lines, size), *deque(i, 200)])
            print(f'bench: console of {p}: {lines} lines, {size} bytes ({dst})')
        print(f'bench: results: {res}/{st}.csv (and latest.csv, latest.json), {res}/latest.png')

    def chart(self, png):
        """Requests/s by concurrency, one panel per size in three rows: the ab rows, the wrk hit and
        relay rows, the wrk miss rows (wrk direct belongs to both wrk rows). A program keeps its colour."""
        colour, concs, panels = dict(nginx=1, stampproxy=2, stageproxy=3, slotproxy=4, squid=6, tinyproxy=7), self.o.concurrency, {}
        for r in (r for r in self.rows if r.get('rps')):
            size = next(s for s in SIZES if SIZES[s] == r['size_bytes'])
            for k in [0] if r['tool'] == 'ab' else [1] * (r['path'] != 'miss') + [2] * (r['path'] in ('miss', 'direct')):
                panels.setdefault((k, size), {}).setdefault(f"{r['program']} {r['path']}", []).append(
                    f"{concs.index(r['concurrency'])} {r['rps']}")
        gp = [f'set terminal pngcairo size {len(self.o.sizes) * 520},1200 font "Sans,9"', f'set output "{png}"',
              f'set multiplot layout 3,{len(self.o.sizes)} title "requests/s by concurrency (run {self.stamp})"',
              'set xtics (%s)' % ', '.join(f'"{c}" {i}' for i, c in enumerate(concs)), f'set xrange [-0.3:{len(concs) - 0.7}]',
              'set yrange [0:*]', 'set xlabel "concurrency"', 'set ylabel "requests/s"', 'set grid ytics',
              'set key top left font ",8" spacing 0.9']
        for k, title in enumerate(['hit path (ab, same URL; tinyproxy relays)', 'hit path (wrk, same URL; tinyproxy relays)',
                                   'miss path (wrk, new URL each request)']):
            for s in self.o.sizes:
                series = panels.get((k, s), {})
                for i, points in enumerate(series.values()): gp += [f'$d{k}_{s}_{i} << EOD', *points, 'EOD']
                gp += [f'set title "{title}, {s}"', 'plot ' + (', '.join(
                    f'$d{k}_{s}_{i} using 1:2 with linespoints lw 2 pt 7 lt {colour[name.split()[0]]} title "{name}"'
                    for i, name in enumerate(series)) or 'NaN notitle')]
        open(f'{self.tmp}/chart.gp', 'w').write('\n'.join(gp + ['unset multiplot', '']))
        rc, err = self.held.run(['gnuplot', f'{self.tmp}/chart.gp'], 60)
        if rc == 0: shutil.copy(png, f'{self.o.results}/latest.png')
        else: print('bench: gnuplot failed: ' + err, file=sys.stderr)


def main(argv):
    o = options(argv)
    if o.plan:
        for row in plan(o.sizes, o.concurrency, o.programs + o.peers): print(*row)
        return 0
    if [n for _, n in socket.if_nameindex()] != ['lo']:   # nothing the run starts may reach beyond loopback
        if os.environ.get('BENCH_NETNS'): sys.exit('bench: no loopback-only network namespace could be made')
        os.environ['BENCH_NETNS'] = '1'   # the same process goes on there: unshare and sh exec
        os.execvp('unshare', ['unshare', '-n', 'sh', '-c', 'ip link set lo up && exec "$@"', 'bench', sys.executable,
                              os.path.abspath(__file__)] + argv)
    os.makedirs(o.results, exist_ok=True)
    o.results = os.path.abspath(o.results)
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]   # concurrency 200 needs many descriptors
    resource.setrlimit(resource.RLIMIT_NOFILE, (65536 if hard == resource.RLIM_INFINITY else min(hard, 65536), hard))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        with tempfile.TemporaryDirectory(prefix='bench.') as tmp, Held() as held:
            os.chmod(tmp, 0o755)   # nginx's worker and Squid run as other users
            run = Run(o, held, tmp)
            run.start()
            run.check_bytes()
            run.header()
            rows, t0 = list(plan(o.sizes, o.concurrency, run.started)), time.monotonic()
            for n, row in enumerate(rows, 1):
                e = int(time.monotonic() - t0)
                print(f'bench: row {n}/{len(rows)} ({len(rows) - n} left), {e // 60}m{e % 60:02d}s elapsed: {" ".join(map(str, row))}',
                      file=sys.stderr, flush=True)
                run.row(*row, n)
            run.save()
    except KeyboardInterrupt:
        print('bench: interrupted', file=sys.stderr)
        return 130
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
