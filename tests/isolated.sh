#!/bin/sh
# isolated.sh command...: runs the command in a network namespace of its own
# with only loopback up, so nothing it starts can send a packet off this
# machine, and name lookups fail at once. As root it uses unshare -n; as
# another user, unshare -rn where the kernel allows it. Where no namespace can
# be made, it says so and runs the command as it is: the tests that would
# resolve names or connect beyond 127.0.0.0/8 then skip themselves.
if [ "$(id -u)" = 0 ]; then ns="-n"; else ns="-rn"; fi
if command -v unshare >/dev/null 2>&1 && command -v ip >/dev/null 2>&1 &&
   unshare $ns sh -c 'ip link set lo up' 2>/dev/null; then
  exec unshare $ns sh -c 'ip link set lo up && exec "$@"' isolated "$@"
fi
echo "isolated.sh: no loopback-only network namespace could be made;" \
     "tests that would leave loopback skip themselves" >&2
exec "$@"
