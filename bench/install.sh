#!/bin/sh
# Installs with apt-get (Debian packages) the tools bench/run.py uses that
# are missing, and says which; does nothing when all are there.
need=
for t in nginx:nginx-light ab:apache2-utils wrk:wrk gnuplot:gnuplot-nox \
         squid:squid tinyproxy:tinyproxy cmake:cmake g++:g++ \
         ip:iproute2 unshare:util-linux python3:python3; do
  command -v "${t%%:*}" >/dev/null 2>&1 || need="$need ${t#*:}"
done
[ -z "$need" ] && exit 0
echo "bench: installing missing packages with apt-get:$need"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && exec apt-get install -y -qq $need </dev/null
