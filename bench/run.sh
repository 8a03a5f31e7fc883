#!/usr/bin/env bash
# make bench: the three proxies against a loopback nginx origin, with nginx
# direct as the ceiling and Squid and tinyproxy as peers, all in one run.
# See bench/README.md for what is measured and how to read the results.
#
# Environment (all optional):
#   BENCH_QUICK=1        short smoke run (concurrency 50 only, 1 s per row)
#   BENCH_SECS=N         seconds per row (default 2, quick 1)
#   BENCH_CONC="1 50"    concurrencies (default "1 50 200", quick "50")
#   BENCH_SIZES="1k 90k" file sizes among 1k 10k 90k (default all three)
#   BENCH_PROGS="..."    programs among stampproxy stageproxy slotproxy
#   BENCH_PEERS="..."    peers among squid tinyproxy (default both; "" none)
#   BENCH_NO_BUILD=1     use build/release as it is, do not build
#   BENCH_STAGE_VERBOSITY=N  stageproxy's verbosity (default: none given, so
#                        the program's own default)
set -uo pipefail

export PATH="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:$PATH"
export LC_ALL=C

cd "$(dirname "$0")/.." || exit 2
ROOT=$PWD
BENCH=$ROOT/bench
RESULTS=$BENCH/results
BUILD_DIR=build/release

say() { printf 'bench: %s\n' "$*"; }
warn() { printf 'bench: %s\n' "$*" >&2; }

QUICK=${BENCH_QUICK:-0}
if [ "$QUICK" = 1 ]; then
  SECS=${BENCH_SECS:-1}
  CONCS=${BENCH_CONC:-50}
else
  SECS=${BENCH_SECS:-2}
  CONCS=${BENCH_CONC:-1 50 200}
fi
SIZES=${BENCH_SIZES:-1k 10k 90k}
PROGS=${BENCH_PROGS-stampproxy stageproxy slotproxy}
PEERS=${BENCH_PEERS-squid tinyproxy}
STAGE_VERBOSITY=${BENCH_STAGE_VERBOSITY:-}

size_bytes() {
  case $1 in
    1k) echo 1024 ;; 10k) echo 10240 ;; 90k) echo 92160 ;;
    *) warn "unknown size '$1' (use 1k, 10k, 90k)"; exit 2 ;;
  esac
}
for s in $SIZES; do size_bytes "$s" >/dev/null; done
for p in $PROGS; do
  case $p in stampproxy|stageproxy|slotproxy) ;;
    *) warn "unknown program '$p'"; exit 2 ;; esac
done
for p in $PEERS; do
  case $p in squid|tinyproxy) ;; *) warn "unknown peer '$p'"; exit 2 ;; esac
done

# ---------------------------------------------------------------- tools
need=()
have() { command -v "$1" >/dev/null 2>&1; }
have nginx     || need+=(nginx-light)
have ab        || need+=(apache2-utils)
have wrk       || need+=(wrk)
have gnuplot   || need+=(gnuplot-nox)
have curl      || need+=(curl)
have cmake     || need+=(cmake)
have g++       || need+=(g++)
have ss        || need+=(iproute2)
for p in $PEERS; do have "$p" || need+=("$p"); done
if [ ${#need[@]} -gt 0 ]; then
  say "installing missing packages with apt-get: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! { apt-get update -qq && apt-get install -y -qq "${need[@]}" </dev/null; }; then
    warn "apt-get install failed; cannot run the benchmark"
    exit 1
  fi
fi

# ---------------------------------------------------------------- state
RUN_DIR=
PIDS=()          # every long-running process this script started
LOADPID=
declare -A PID_OF PORT_OF

cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  if [ -n "$LOADPID" ] && kill -0 "$LOADPID" 2>/dev/null; then
    kill "$LOADPID" 2>/dev/null
  fi
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for _ in $(seq 1 30); do
    local alive=0
    for pid in "${PIDS[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  for pid in "${PIDS[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null; fi
  done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "$RUN_DIR" ] && [ -d "$RUN_DIR" ]; then rm -rf "$RUN_DIR"; fi
  exit $rc
}
trap cleanup EXIT
trap 'warn "interrupted"; exit 130' INT
trap 'warn "terminated"; exit 143' TERM

# Raise the open-files limit: concurrency 200 through a proxy needs two
# descriptors per request on the proxy and more on the load generator.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ] || [ "$hard" -ge 65536 ]; then ulimit -n 65536
else ulimit -n "$hard"; fi

# ---------------------------------------------------------------- build
mkdir -p "$RESULTS"
BUILD_LOG=$RESULTS/build.log
declare -A BIN
MISSING=()
if [ "${BENCH_NO_BUILD:-0}" != 1 ]; then
  say "building in Release in $BUILD_DIR (log: bench/results/build.log)"
  : >"$BUILD_LOG"
  if ! cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
         "-DPARTS=stampproxy;stageproxy;slotproxy" >>"$BUILD_LOG" 2>&1; then
    warn "cmake configure failed (see bench/results/build.log)"
  fi
fi
for p in $PROGS; do
  if [ ! -f "$p/CMakeLists.txt" ]; then
    MISSING+=("$p (no $p/CMakeLists.txt yet)"); continue
  fi
  if [ "${BENCH_NO_BUILD:-0}" != 1 ] &&
     ! cmake --build "$BUILD_DIR" -j2 --target "$p" >>"$BUILD_LOG" 2>&1; then
    MISSING+=("$p (failed to build, see bench/results/build.log)"); continue
  fi
  if [ -x "$BUILD_DIR/$p/$p" ]; then BIN[$p]=$ROOT/$BUILD_DIR/$p/$p
  else MISSING+=("$p (no binary at $BUILD_DIR/$p/$p)"); fi
done
for m in "${MISSING[@]}"; do say "MISSING: $m"; done

# ---------------------------------------------------------------- run dir
RUN_DIR=$(mktemp -d /tmp/bench.XXXXXX)
chmod 755 "$RUN_DIR"       # nginx's worker and Squid run as other users
STAMP=$(date +%Y%m%d-%H%M%S)
CSV_TMP=$RUN_DIR/rows.csv
: >"$CSV_TMP"

declare -A USED_PORT
free_port() {
  local p
  while :; do
    p=$(( 20000 + RANDOM % 12000 ))        # below the ephemeral range
    [ "$p" = 56416 ] && continue
    [ -n "${USED_PORT[$p]:-}" ] && continue
    if [ -z "$(ss -Htln "sport = :$p" 2>/dev/null)" ]; then
      USED_PORT[$p]=1; echo "$p"; return
    fi
  done
}

# wait_listen NAME PID PORT: wait until PORT listens on 127.0.0.1 or 0.0.0.0.
wait_listen() {
  for _ in $(seq 1 100); do
    if ! kill -0 "$2" 2>/dev/null; then return 1; fi
    if [ -n "$(ss -Htln "sport = :$3" 2>/dev/null)" ]; then return 0; fi
    sleep 0.1
  done
  return 1
}

status_of() {   # VmHWM or VmRSS of a PID in kB, empty if gone
  awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status" 2>/dev/null
}

# ---------------------------------------------------------------- origin
WWW=$RUN_DIR/www
mkdir -p "$WWW"
for s in $SIZES; do
  n=$(size_bytes "$s")
  # Deterministic text of 64-byte lines, cut to the exact size.
  awk 'BEGIN { for (i = 0; i < 2000; i++)
                 printf "%06d the quick brown fox jumps over the lazy dog %09d\n", i, i * 7919 }' |
    head -c "$n" >"$WWW/$s.txt"
  # An old modification time, so that Squid's freshness heuristic keeps the
  # files fresh instead of revalidating each request.
  touch -d '2020-01-01 00:00:00 UTC' "$WWW/$s.txt"
done

NGINX_DIR=$RUN_DIR/nginx
mkdir -p "$NGINX_DIR"
NGP=$(free_port)
cat >"$NGINX_DIR/nginx.conf" <<EOF
daemon off;
master_process on;
worker_processes 1;
worker_rlimit_nofile 65536;
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log warn;
events { worker_connections 16384; }
http {
  access_log off;
  default_type text/plain;
  sendfile on;
  client_body_temp_path $NGINX_DIR/body;
  proxy_temp_path $NGINX_DIR/proxy;
  fastcgi_temp_path $NGINX_DIR/fastcgi;
  uwsgi_temp_path $NGINX_DIR/uwsgi;
  scgi_temp_path $NGINX_DIR/scgi;
  server {
    listen 127.0.0.1:$NGP backlog=4096;
    root $WWW;
    location / { }
    location = /nginx_status { stub_status; }
  }
}
EOF
nginx -p "$NGINX_DIR" -c "$NGINX_DIR/nginx.conf" -e "$NGINX_DIR/error.log" \
  >"$NGINX_DIR/console.log" 2>&1 &
NGINX_PID=$!
PIDS+=("$NGINX_PID")
if ! wait_listen nginx "$NGINX_PID" "$NGP"; then
  warn "nginx did not start:"; cat "$NGINX_DIR/error.log" "$NGINX_DIR/console.log" >&2
  exit 1
fi
NGINX_WORKER=$(ps -o pid= --ppid "$NGINX_PID" | head -1 | tr -d ' ')
[ -n "$NGINX_WORKER" ] && PIDS+=("$NGINX_WORKER")
PID_OF[nginx]=${NGINX_WORKER:-$NGINX_PID}
PORT_OF[nginx]=$NGP
ORIGIN=127.0.0.1:$NGP

origin_requests() {   # requests nginx has served so far (stub_status)
  curl -s --max-time 5 "http://$ORIGIN/nginx_status" |
    awk 'NR == 3 { print $3 }'
}

# ---------------------------------------------------------------- peers
start_squid() {
  local d=$RUN_DIR/squid port
  mkdir -p "$d"
  port=$(free_port)
  local user=proxy
  id -u proxy >/dev/null 2>&1 || user=nobody
  chown "$user" "$d"
  cat >"$d/squid.conf" <<EOF
http_port 127.0.0.1:$port
pid_filename $d/squid.pid
cache_log $d/cache.log
access_log none
cache_store_log none
logfile_rotate 0
coredump_dir $d
cache_effective_user $user
workers 1
cache_mem 128 MB
maximum_object_size_in_memory 1 MB
memory_cache_mode always
memory_cache_shared off
http_access allow localhost
http_access deny all
icp_port 0
htcp_port 0
snmp_port 0
netdb_filename none
dns_nameservers 127.0.0.1
max_filedescriptors 65536
shutdown_lifetime 0 seconds
EOF
  squid -N -f "$d/squid.conf" >"$d/console.log" 2>&1 &
  local pid=$!
  PIDS+=("$pid")
  if ! wait_listen squid "$pid" "$port"; then
    warn "Squid did not start (left out):"; tail -5 "$d/cache.log" "$d/console.log" >&2
    return 1
  fi
  PID_OF[squid]=$pid; PORT_OF[squid]=$port
}

start_tinyproxy() {
  local d=$RUN_DIR/tinyproxy port
  mkdir -p "$d"
  port=$(free_port)
  chown nobody "$d"
  cat >"$d/tinyproxy.conf" <<EOF
User nobody
Group nogroup
Port $port
Listen 127.0.0.1
Timeout 60
LogFile "$d/tinyproxy.log"
LogLevel Critical
PidFile "$d/tinyproxy.pid"
MaxClients 2000
Allow 127.0.0.1
DisableViaHeader Yes
EOF
  getent group nogroup >/dev/null 2>&1 || sed -i 's/^Group nogroup/Group nobody/' "$d/tinyproxy.conf"
  tinyproxy -d -c "$d/tinyproxy.conf" >"$d/console.log" 2>&1 &
  local pid=$!
  PIDS+=("$pid")
  if ! wait_listen tinyproxy "$pid" "$port"; then
    warn "tinyproxy did not start (left out):"; tail -5 "$d/console.log" >&2
    return 1
  fi
  PID_OF[tinyproxy]=$pid; PORT_OF[tinyproxy]=$port
}

start_program() {
  local p=$1 port pid
  port=$(free_port)
  local args=("$port")
  if [ "$p" = stageproxy ] && [ -n "$STAGE_VERBOSITY" ]; then
    args+=("$STAGE_VERBOSITY")
  fi
  "${BIN[$p]}" "${args[@]}" >"$RUN_DIR/console/$p.log" 2>&1 &
  pid=$!
  PIDS+=("$pid")
  if ! wait_listen "$p" "$pid" "$port"; then
    warn "$p did not start (left out); its console:"
    tail -5 "$RUN_DIR/console/$p.log" >&2
    return 1
  fi
  PID_OF[$p]=$pid; PORT_OF[$p]=$port
}

STARTED=()
mkdir -p "$RUN_DIR/console"
for p in $PROGS; do
  [ -n "${BIN[$p]:-}" ] || continue
  if start_program "$p"; then STARTED+=("$p")
  else MISSING+=("$p (did not start)"); fi
done
for p in $PEERS; do
  if "start_$p"; then STARTED+=("$p"); fi
done
sleep 0.5
declare -A IDLE_RSS
for p in nginx "${STARTED[@]}"; do IDLE_RSS[$p]=$(status_of "${PID_OF[$p]}" VmRSS); done

# ---------------------------------------------------------------- bytes check
# Each proxy must return the origin's exact body: the same URL twice (miss,
# then hit where it caches) and a URL with a query string.
declare -A OK CLOSES
check_bytes() {
  local p=$1 s want got url ok=yes
  for s in $SIZES; do
    want=$(sha256sum <"$WWW/$s.txt" | cut -d' ' -f1)
    got=$(curl -s --max-time 10 "http://$ORIGIN/$s.txt" | sha256sum | cut -d' ' -f1)
    if [ "$got" != "$want" ]; then warn "nginx serves wrong bytes for $s"; exit 1; fi
    [ "$p" = nginx ] && { OK[$p,$s]=yes; continue; }
    ok=yes
    for url in "http://$ORIGIN/$s.txt" "http://$ORIGIN/$s.txt" "http://$ORIGIN/$s.txt?check-$STAMP"; do
      got=$(curl -s --max-time 10 -x "http://127.0.0.1:${PORT_OF[$p]}" "$url" | sha256sum | cut -d' ' -f1)
      if [ "$got" != "$want" ]; then ok=no; fi
    done
    OK[$p,$s]=$ok
    [ $ok = yes ] || warn "CHECK FAILED: $p does not return the origin's bytes for $s"
  done
  # Does the response to an HTTP/1.0 request say "Connection: close"?  wrk
  # (unlike ab) tries to reuse a connection whose response does not, and
  # counts the read error it then meets; see the wrk rows below.
  local proxy=()
  [ "$p" = nginx ] || proxy=(-x "http://127.0.0.1:${PORT_OF[$p]}")
  if curl -s --http1.0 --max-time 10 -D - -o /dev/null "${proxy[@]}" \
       "http://$ORIGIN/$s.txt?headers-$STAMP" | grep -qi '^connection: *close'; then
    CLOSES[$p]=yes
  else
    CLOSES[$p]=no
  fi
}
for p in nginx "${STARTED[@]}"; do check_bytes "$p"; done

# ---------------------------------------------------------------- rows
AB_VER=$(ab -V 2>&1 | awk '/ApacheBench/ { print $5 }' | tr -d ,)
WRK_VER=$(wrk -v 2>&1 | awk 'NR == 1 { print $2 }')
NGINX_VER=$(nginx -v 2>&1 | sed 's/.*nginx\///')
SQUID_VER=$(squid -v 2>/dev/null | awk 'NR == 1 { print $4 }')
TINY_VER=$(tinyproxy -v 2>&1 | awk '{ print $2 }')

declare -A DIRECT_RPS
ROWNO=0
FMT='%-10s %-6s %-4s %4s %4s %9s %6s %9s %9s %6s %6s %7s %8s %6s %-4s %s\n'

header() {
  echo
  echo "bench run $STAMP on $(nproc) cores; ${SECS}s per row; concurrency $CONCS; sizes $SIZES"
  echo "origin nginx $NGINX_VER (1 worker, access log off) on 127.0.0.1:$NGP; ab $AB_VER without keep-alive;" \
       "wrk $WRK_VER with Connection: close"
  echo "peers: ${PEERS:-none} (Squid $SQUID_VER memory cache only; tinyproxy $TINY_VER relay)"
  echo "console output of the programs goes to a file during the run, kept as bench/results/console/<program>.log (over 20 MB: its first and last 200 lines)"
  if [ ${#MISSING[@]} -gt 0 ]; then
    for m in "${MISSING[@]}"; do echo "MISSING: $m"; done
  fi
  local p
  printf 'idle resident set (kB):'
  for p in nginx "${STARTED[@]}"; do printf ' %s %s' "$p" "${IDLE_RSS[$p]:-?}"; done
  echo
  echo "hit/relay rows: ab -X proxy or wrk, same URL, compared with direct by the same tool; miss rows: wrk, a new URL per request, compared with wrk direct"
  echo "ratio = req/s / nginx direct req/s for the same size, concurrency and tool; origin = requests nginx served during the row; peakKB = VmHWM during the row;"
  echo "other% = CPU used during the row by processes this run did not start, in % of all cores (high: distrust the row)"
  echo
  printf "$FMT" program path tool size conc req/s ratio mean_ms p99_ms failed non2xx origin peakKB other% ok note
}

# CPU time spent during a row by processes this script did not start, in
# percent of the whole machine: all busy time (/proc/stat) less the origin's,
# the proxy's and this shell's children's (load generator, curl).
proc_ticks() {   # utime + stime of a PID, 0 if gone
  local t
  t=$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | awk '{ print $12 + $13 }')
  echo "${t:-0}"
}
ours_ticks() {   # sets OURS; call it directly, not in $(): times must see our children
  local pid=$1 t=0 x
  for x in "$NGINX_PID" "$NGINX_WORKER"; do
    [ -n "$x" ] && t=$((t + $(proc_ticks "$x")))
  done
  case " $NGINX_PID $NGINX_WORKER " in *" $pid "*) ;; *) t=$((t + $(proc_ticks "$pid"))) ;; esac
  times >"$RUN_DIR/times.txt"     # a builtin: no subshell, so it sees our children
  x=$(awk -v hz="$CLK_TCK" 'NR == 2 {
        n = 0
        for (i = 1; i <= 2; i++) { split($i, a, "m"); sub("s", "", a[2]); n += (a[1] * 60 + a[2]) * hz }
        printf "%d", n }' "$RUN_DIR/times.txt")
  OURS=$((t + x))
}
machine_ticks() {  # busy and total ticks of all CPUs
  awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9; exit }' /proc/stat
}
CLK_TCK=$(getconf CLK_TCK 2>/dev/null || echo 100)
cpu_mark() {
  read -r M_BUSY0 M_TOTAL0 < <(machine_ticks)
  ours_ticks "$1"; M_OURS0=$OURS
}
cpu_other() {   # sets OTHER
  local busy total ours
  read -r busy total < <(machine_ticks)
  ours_ticks "$1"; ours=$OURS
  OTHER=$(awk -v b=$((busy - M_BUSY0)) -v t=$((total - M_TOTAL0)) -v o=$((ours - M_OURS0)) \
    'BEGIN { x = t > 0 ? 100 * (b - o) / t : 0; if (x < 0) x = 0; printf "%.0f", x }')
}

# emit FIELDS...: one table row, on the terminal and into the run's table.
emit() {
  # shellcheck disable=SC2059
  printf "$FMT" "$@" | tee -a "$RUN_DIR/table.txt"
}

csv_row() { # fields in CSV order
  local IFS=,
  echo "$*" >>"$CSV_TMP"
}

# run_row PROGRAM PATH TOOL SIZE CONC
run_row() {
  local p=$1 path=$2 tool=$3 s=$4 c=$5
  local pid=${PID_OF[$p]} port=${PORT_OF[$p]} file=$s.txt
  local out=$RUN_DIR/load.out note=
  local requests='' rps='' mean='' p99='' failed='' non2xx='' ratio='' o0 o1 origin peak ok other
  ROWNO=$((ROWNO + 1))
  if ! kill -0 "$pid" 2>/dev/null; then
    note="process gone"
    emit "$p" "$path" "$tool" "$s" "$c" - - - - - - - - - - "$note"
    csv_row "$STAMP" "$p" "$path" "$tool" "$(size_bytes "$s")" "$c" "$SECS" "" "" "" "" "" "" "" "" "" "" "" "$note"
    return
  fi
  local limit=$((SECS + 25))
  # Warm the cache with the row's own request line (some programs key on
  # it): ab's and wrk's hit rows send the same one.
  if [ "$path" = hit ]; then
    timeout 10 ab -n 2 -c 1 -s 5 -X "127.0.0.1:$port" "http://$ORIGIN/$file" >/dev/null 2>&1
  fi
  if [ "$tool" = ab ]; then
    local proxy=()
    [ "$p" = nginx ] || proxy=(-X "127.0.0.1:$port")
    o0=$(origin_requests)
    cpu_mark "$pid"
    echo 5 >"/proc/$pid/clear_refs" 2>/dev/null
    timeout -k 2 "$limit" ab -r -s 10 -t "$SECS" -n $((SECS * 100000)) -c "$c" \
      -e "$RUN_DIR/ab.csv" "${proxy[@]}" "http://$ORIGIN/$file" >"$out" 2>&1 &
    LOADPID=$!; wait "$LOADPID"; local rc=$?; LOADPID=
    cpu_other "$pid"; other=$OTHER
    o1=$(origin_requests)
    requests=$(awk '/^Complete requests:/ { print $3 }' "$out")
    failed=$(awk '/^Failed requests:/ { print $3 }' "$out")
    non2xx=$(awk '/^Non-2xx responses:/ { print $3 }' "$out")
    rps=$(awk '/^Requests per second:/ { print $4 }' "$out")
    mean=$(awk '/^Time per request:/ && /\(mean\)/ { print $4; exit }' "$out")
    p99=$(awk -F, '$1 == 99 { printf "%.3f", $2 }' "$RUN_DIR/ab.csv" 2>/dev/null)
    rm -f "$RUN_DIR/ab.csv"
    [ -n "$requests" ] && [ -z "$non2xx" ] && non2xx=0
    if [ -z "$rps" ]; then
      note="ab rc=$rc: $(grep -m1 -iE 'error|timeout|refused|reset' "$out" | tr ',' ';' | cut -c1-60)"
    fi
  else
    local target host=$ORIGIN url threads=2 urls=new
    [ "$c" -lt 2 ] && threads=1
    # Hit and relay rows repeat one URL; miss and direct rows make each new.
    case $path in hit|relay) urls=same ;; esac
    if [ "$p" = nginx ]; then target=/$file; url=http://$ORIGIN/
    else target=http://$ORIGIN/$file; url=http://127.0.0.1:$port/; fi
    o0=$(origin_requests)
    cpu_mark "$pid"
    echo 5 >"/proc/$pid/clear_refs" 2>/dev/null
    timeout -k 2 "$limit" wrk -t "$threads" -c "$c" -d "${SECS}s" --timeout 10s \
      -s "$BENCH/miss.lua" "$url" -- "$target" "r$STAMP-$ROWNO" "$host" "$urls" >"$out" 2>&1 &
    LOADPID=$!; wait "$LOADPID"; local rc=$?; LOADPID=
    cpu_other "$pid"; other=$OTHER
    o1=$(origin_requests)
    local line
    line=$(grep -m1 '^WRKRESULT' "$out")
    if [ -n "$line" ]; then
      local w_requests w_duration_us w_mean_us w_p99_us w_connect w_read w_write w_status w_timeout
      wf() { echo "$line" | tr ' ' '\n' | awk -F= -v k="$1" '$1 == k { print $2 }'; }
      w_requests=$(wf requests); w_duration_us=$(wf duration_us)
      w_mean_us=$(wf mean_us); w_p99_us=$(wf p99_us)
      w_connect=$(wf connect); w_read=$(wf read); w_write=$(wf write)
      w_status=$(wf status); w_timeout=$(wf timeout)
      requests=$w_requests
      rps=$(awk -v n="$w_requests" -v d="$w_duration_us" 'BEGIN { if (d > 0) printf "%.2f", n * 1e6 / d }')
      mean=$(awk -v m="$w_mean_us" 'BEGIN { printf "%.3f", m / 1000 }')
      p99=$(awk -v m="$w_p99_us" 'BEGIN { printf "%.3f", m / 1000 }')
      failed=$((w_connect + w_read + w_write + w_timeout))
      non2xx=$w_status
      if [ "${CLOSES[$p]:-yes}" = no ] && [ "$w_read" -gt 0 ]; then
        failed=$((w_connect + w_write + w_timeout))
        note="$w_read wrk read errors not counted (response lacks Connection: close; wrk reuses the connection and meets the close)"
      fi
    else
      note="wrk rc=$rc: $(head -c 60 "$out" | tr '\n,' ' ;')"
    fi
  fi
  origin=
  [ -n "$o0" ] && [ -n "$o1" ] && origin=$((o1 - o0 - 1))
  peak=$(status_of "$pid" VmHWM)
  if ! kill -0 "$pid" 2>/dev/null; then note="${note:+$note; }died during the row"; fi
  if [ "$p" = nginx ] && [ -n "$rps" ]; then DIRECT_RPS[$tool,$s,$c]=$rps; fi
  local d=${DIRECT_RPS[$tool,$s,$c]:-}
  if [ -n "$rps" ] && [ -n "$d" ]; then
    ratio=$(awk -v a="$rps" -v b="$d" 'BEGIN { if (b > 0) printf "%.3f", a / b }')
  fi
  ok=${OK[$p,$s]:-?}
  emit "$p" "$path" "$tool" "$s" "$c" "${rps:--}" "${ratio:--}" "${mean:--}" \
    "${p99:--}" "${failed:--}" "${non2xx:--}" "${origin:--}" "${peak:--}" "${other:--}" "$ok" "$note"
  csv_row "$STAMP" "$p" "$path" "$tool" "$(size_bytes "$s")" "$c" "$SECS" "$requests" \
    "$rps" "$ratio" "$mean" "$p99" "$failed" "$non2xx" "$origin" "$peak" "$other" "$ok" "$note"
  sleep 0.3
}

header | tee "$RUN_DIR/header.txt"
: >"$RUN_DIR/table.txt"
# The rows run in this shell (not in a pipeline) so that an interrupt finds
# the load generator's PID.
for s in $SIZES; do
  for c in $CONCS; do
    run_row nginx direct ab "$s" "$c"
    for p in "${STARTED[@]}"; do
      case $p in
        squid) run_row squid hit ab "$s" "$c" ;;
        tinyproxy) run_row tinyproxy relay ab "$s" "$c" ;;
        *) run_row "$p" hit ab "$s" "$c" ;;
      esac
    done
    run_row nginx direct wrk "$s" "$c"
    for p in "${STARTED[@]}"; do
      case $p in
        tinyproxy) run_row tinyproxy relay wrk "$s" "$c" ;;
        *) run_row "$p" hit wrk "$s" "$c" ;;
      esac
    done
    for p in "${STARTED[@]}"; do run_row "$p" miss wrk "$s" "$c"; done
  done
done

# ---------------------------------------------------------------- results
CSV=$RESULTS/$STAMP.csv
{
  echo "run,program,path,tool,size_bytes,concurrency,seconds,requests,rps,ratio,mean_ms,p99_ms,failed,non2xx,origin_reqs,peak_rss_kb,other_cpu_pct,bytes_ok,note"
  for m in "${MISSING[@]}"; do
    echo "$STAMP,${m%% *},,,,,,,,,,,,,,,,,missing: ${m#* }"
  done
  for p in nginx "${STARTED[@]}"; do
    echo "$STAMP,$p,idle,,,,,,,,,,,,,${IDLE_RSS[$p]:-},,,resident set after start-up"
  done
  cat "$CSV_TMP"
} >"$CSV"
cp "$CSV" "$RESULTS/latest.csv"
cat "$RUN_DIR/header.txt" "$RUN_DIR/table.txt" >"$RESULTS/$STAMP.txt"
cp "$RESULTS/$STAMP.txt" "$RESULTS/latest.txt"

# Chart: requests/s by concurrency, one panel per path kind and size.
PNG=$RESULTS/$STAMP.png
GP=$RUN_DIR/chart.gp
nsizes=$(echo $SIZES | wc -w)
concs_list=$(echo $CONCS)
awk -F, -v sizes="$SIZES" -v concs="$concs_list" -v png="$PNG" -v stamp="$STAMP" \
    -v nsizes="$nsizes" '
  function lt(p) { return p == "nginx" ? 1 : p == "stampproxy" ? 2 : p == "stageproxy" ? 3 : p == "slotproxy" ? 4 : p == "squid" ? 6 : 7 }
  function kb(b) { return b == 1024 ? "1k" : b == 10240 ? "10k" : b == 92160 ? "90k" : b }
  function add(r,    panel, series, key) {
    panel = r SUBSEP kb($5)
    series = $2 " " $3
    key = panel SUBSEP series
    if (!(key in seen)) { seen[key] = 1; order[panel, ++ns[panel]] = series; color[series] = lt($2) }
    data[key] = data[key] cidx[$6] " " $9 "\n"
  }
  # Rows of panels: ab (hit, relay), wrk hit and relay, wrk miss; the wrk
  # direct row belongs to both wrk rows.
  NR > 1 && $4 != "" && $9 != "" {
    if ($4 == "ab") add(0)
    else {
      if ($3 != "miss") add(1)
      if ($3 == "miss" || $3 == "direct") add(2)
    }
  }
  BEGIN {
    nc = split(concs, cl, " ")
    for (i = 1; i <= nc; i++) cidx[cl[i]] = i - 1
    nz = split(sizes, sl, " ")
  }
  END {
    print "set terminal pngcairo size " (nsizes * 520) ",1200 font \"Sans,9\""
    print "set output \"" png "\""
    print "set multiplot layout 3," nsizes " title \"requests/s by concurrency (run " stamp ")\""
    xt = ""
    for (i = 1; i <= nc; i++) xt = xt (i > 1 ? ", " : "") "\"" cl[i] "\" " (i - 1)
    print "set xtics (" xt ")"
    print "set xrange [-0.3:" (nc - 0.7) "]"
    print "set yrange [0:*]"
    print "set xlabel \"concurrency\""
    print "set ylabel \"requests/s\""
    print "set grid ytics"
    print "set key top left font \",8\" spacing 0.9"
    title[0] = "hit path (ab, same URL; tinyproxy relays)"
    title[1] = "hit path (wrk, same URL; tinyproxy relays)"
    title[2] = "miss path (wrk, new URL each request)"
    for (r = 0; r <= 2; r++)
      for (z = 1; z <= nz; z++) {
        panel = r SUBSEP sl[z]
        print "set title \"" title[r] ", " sl[z] "\""
        if (ns[panel] == 0) { print "plot NaN notitle"; continue }
        for (i = 1; i <= ns[panel]; i++) {
          name = "$d" r "_" z "_" i
          print name " << EOD"
          printf "%s", data[panel SUBSEP order[panel, i]]
          print "EOD"
        }
        line = "plot "
        for (i = 1; i <= ns[panel]; i++)
          line = line (i > 1 ? ", " : "") "$d" r "_" z "_" i " using 1:2 with linespoints lw 2 pt 7 lt " color[order[panel, i]] " title \"" order[panel, i] "\""
        print line
      }
    print "unset multiplot"
  }' "$CSV" >"$GP"
if gnuplot "$GP" 2>"$RUN_DIR/gnuplot.err"; then
  cp "$PNG" "$RESULTS/latest.png"
else
  warn "gnuplot failed:"; cat "$RUN_DIR/gnuplot.err" >&2
fi

echo
say "results: bench/results/$STAMP.csv (and latest.csv), bench/results/latest.png"
mkdir -p "$RESULTS/console"
rm -f "$RESULTS/console/"*.log
for p in "${STARTED[@]}"; do
  case $p in squid|tinyproxy) continue ;; esac
  f=$RUN_DIR/console/$p.log
  lines=$(wc -l <"$f"); bytes=$(stat -c %s "$f")
  if [ "$bytes" -le $((20 * 1024 * 1024)) ]; then
    cp "$f" "$RESULTS/console/$p.log"
  else
    { head -n 200 "$f"
      echo "[... bench/run.sh kept the first and last 200 of $lines lines ($bytes bytes) ...]"
      tail -n 200 "$f"; } >"$RESULTS/console/$p.log"
  fi
  say "console of $p: $lines lines, $bytes bytes (bench/results/console/$p.log)"
  rm -f "$f"
done
