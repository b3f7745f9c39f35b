#!/usr/bin/env bash
# Builds the Debian package and tries it for real on this machine: install it, check its files,
# the norvale user, the directories and the unit, run the installed router as the norvale user
# against the private database (RT_DB_*, from private_db_start) under a NORVALE_ROOT of its own,
# then remove and purge it and check the machine is as it was before. Needs root; skips, saying
# so, where it cannot run without disturbing the machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

skip() {
    echo "package-test: skipped: $*"
    exit 0
}
fail() {
    echo "package-test: FAILED: $*" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || skip "needs root"
# Runs of other work trees on this machine take turns.
exec 9>/run/lock/rt-package-test.lock
flock 9
dpkg-query -W rt-server >/dev/null 2>&1 && skip "rt-server is installed on this machine"
getent passwd norvale >/dev/null && skip "a norvale user exists on this machine"
: "${RT_DB_HOST:?start the private database first}"

build=${RT_PACKAGE_BUILD_DIR:-$root/build-package}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRT_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)" --target rt_server rt_peer rt_bench rt_status >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/rt-server_*.deb | head -n 1)

# What the package may touch, so that removal can be checked against it.
snapshot() {
    getent passwd
    getent group
    find /etc/norvale /var/log/norvale /run/norvale /usr/sbin/rt_server /usr/bin/rt_peer \
        /usr/bin/rt_bench /usr/share/rt_server /usr/share/doc/rt_server \
        /usr/lib/systemd/system/rt_server.service /usr/lib/tmpfiles.d/rt_server.conf \
        -printf '%p %u %m\n' 2>/dev/null || true
}
before=$(snapshot)

workdir=$(mktemp -d /tmp/rt-package-test.XXXXXX)
router_pid=
cleanup() {
    [ -n "$router_pid" ] && kill -9 "$router_pid" 2>/dev/null
    dpkg-query -W rt-server >/dev/null 2>&1 && dpkg -P rt-server >/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT

dpkg -i "$deb" >/dev/null

for file in /usr/sbin/rt_server /usr/bin/rt_peer /usr/bin/rt_bench /usr/bin/rt_status \
    /usr/share/man/man8/rt_server.8 /usr/share/man/man1/rt_peer.1 /usr/share/man/man1/rt_bench.1 \
    /usr/share/man/man1/rt_status.1 \
    /usr/share/rt_server/schema.sql /usr/lib/systemd/system/rt_server.service \
    /usr/lib/tmpfiles.d/rt_server.conf \
    /usr/share/doc/rt_server/examples/common_server.conf.xml \
    /usr/share/doc/rt_server/examples/rt_server.conf.xml; do
    [ -f "$file" ] || fail "$file is not installed"
done
grep -q '^/etc/norvale/rt_server.conf.xml ' <<<"$before" || [ ! -e /etc/norvale/rt_server.conf.xml ] ||
    fail "the package wrote a configuration file"
[ "$(getent passwd norvale | cut -d: -f7)" = /usr/sbin/nologin ] || fail "no norvale system user"
for dir in /var/log/norvale /run/norvale /etc/norvale/backup-system/uuid; do
    [ "$(stat -c %U "$dir")" = norvale ] || fail "$dir does not belong to norvale"
done
systemd-analyze verify /usr/lib/systemd/system/rt_server.service ||
    fail "systemd-analyze verify"
systemd-analyze security --offline=true --threshold=30 \
    /usr/lib/systemd/system/rt_server.service >/dev/null || fail "security exposure above 3.0"

# The installed router, as the norvale user, under a root of its own, with its monitoring on.
free_port() {
    local candidate
    for candidate in $(shuf -i 20000-29999 -n 50); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
    fail "no free port"
}
port=$(free_port)
monitor_port=$(free_port)
[ "$port" != "$monitor_port" ] || monitor_port=$(free_port)
mkdir -p "$workdir/etc/norvale" "$workdir/log"
sed -e "s|<database_ip>.*<|<database_ip>$RT_DB_HOST<|" \
    -e "s|<database_port>.*<|<database_port>$RT_DB_PORT<|" \
    -e "s|<database_name>.*<|<database_name>$RT_DB_NAME<|" \
    -e "s|<database_user>.*<|<database_user>$RT_DB_USER<|" \
    -e "s|<database_passwd>.*<|<database_passwd>$RT_DB_PASSWORD<|" \
    -e "s|<log_dir>.*<|<log_dir>$workdir/log<|" \
    /usr/share/doc/rt_server/examples/common_server.conf.xml >"$workdir/etc/norvale/common_server.conf.xml"
sed -e "s|<listen_port>.*<|<listen_port>$port<|" \
    -e "s|<!-- <monitor_port>.*|<monitor_port>$monitor_port</monitor_port>|" \
    /usr/share/doc/rt_server/examples/rt_server.conf.xml >"$workdir/etc/norvale/rt_server.conf.xml"
chown -R norvale:norvale "$workdir"
chmod 0755 "$workdir"
setpriv --reuid=norvale --regid=norvale --clear-groups \
    env NORVALE_ROOT="$workdir" /usr/sbin/rt_server >"$workdir/stdout" 2>"$workdir/stderr" &
router_pid=$!

# Answers to a handshake once listening; then a client registers while a platform is connected.
retry() {
    for _ in $(seq 1 60); do
        "$@" >/dev/null 2>&1 && return 0
        kill -0 "$router_pid" 2>/dev/null || fail "the installed router ended: $(cat "$workdir/stderr")"
        sleep 0.5
    done
    return 1
}
platform=package-test-platform-$$
uuid=package-test-agent-$$
retry /usr/bin/rt_peer -k platform -u "$platform" -w 0 "127.0.0.1:$port" ||
    fail "the installed router never answered a handshake"
/usr/bin/rt_peer -k platform -u "$platform" -w 30 "127.0.0.1:$port" >/dev/null 2>&1 &
platform_pid=$!
retry /usr/bin/rt_peer -k client -u "$uuid" -w 0 "127.0.0.1:$port" ||
    fail "a client handshake was refused"
# A healthy router whose monitoring lists the platform; it publishes its connections once a
# second, so the platform shows up within a few.
lists_platform() {
    /usr/bin/rt_status "127.0.0.1:$monitor_port" | grep -q -- "$platform"
}
retry lists_platform ||
    fail "rt_status: $(/usr/bin/rt_status "127.0.0.1:$monitor_port" 2>&1)"
[ -s "$workdir/etc/norvale/backup-system/uuid/router-server" ] || fail "no router UUID file"
sql() {
    mysql -h "$RT_DB_HOST" -P "$RT_DB_PORT" -u "$RT_DB_USER" -p"$RT_DB_PASSWORD" -N -B \
        "$RT_DB_NAME" -e "$1"
}
[ "$(sql "SELECT COUNT(*) FROM bd_agent WHERE agent_uuid = '$uuid'")" = 1 ] ||
    fail "the client's row was not written"
kill -TERM "$router_pid"
stopped=0
wait "$router_pid" || stopped=$?
router_pid=
[ "$stopped" = 0 ] || fail "the router did not stop cleanly on SIGTERM (status $stopped)"
# The platform was still connected: the stop itself wrote it offline.
[ "$(sql "SELECT online_flag FROM bd_module_server WHERE module_uuid = '$platform'")" = 2 ] ||
    fail "the platform's row is not offline after the stop"
kill "$platform_pid" 2>/dev/null || true
wait "$platform_pid" 2>/dev/null || true

dpkg -r rt-server >/dev/null
[ ! -e /usr/sbin/rt_server ] || fail "dpkg -r left the router"
dpkg -P rt-server >/dev/null
after=$(snapshot)
if [ "$before" != "$after" ]; then
    diff <(echo "$before") <(echo "$after") >&2 || true
    fail "removal left the machine changed"
fi
echo "package-test: $(basename "$deb") installed, ran, removed and purged cleanly"
