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
# The same tree packaged under a higher version, for the upgrade with peers connected.
version=$(dpkg-deb -f "$deb" Version)
higher=$version+1
(cd "$build" && cpack -G DEB -D CPACK_PACKAGE_VERSION="$higher" -B "$build/upgrade" >/dev/null)
higher_deb=$build/upgrade/$(basename "$deb" | sed "s/_${version}_/_${higher}_/")
[ -f "$higher_deb" ] || fail "no package of version $higher"

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
peer_pids=()
cleanup() {
    [ -n "$router_pid" ] && kill -9 "$router_pid" 2>/dev/null
    for pid in "${peer_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
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
/usr/bin/rt_peer -k platform -u "$platform" -w 120 "127.0.0.1:$port" >/dev/null 2>&1 &
platform_pid=$!
peer_pids+=("$platform_pid")
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

# The upgrade to the higher version while peers are connected: an idle client and module server,
# and a pair of clients of which one has sent to the other. Each of the pair waits for one more
# packet, sent through the router after the upgrade, and fails if its connection is closed.
idle_client=package-test-idle-client-$$
idle_module=package-test-idle-module-$$
sender=package-test-sender-$$
receiver=package-test-receiver-$$
/usr/bin/rt_peer -k client -u "$idle_client" -w 120 "127.0.0.1:$port" >/dev/null 2>&1 &
peer_pids+=($!)
/usr/bin/rt_peer -k module-server -u "$idle_module" -w 120 "127.0.0.1:$port" >/dev/null 2>&1 &
peer_pids+=($!)
/usr/bin/rt_peer -k client -u "$receiver" -j -e 2 -w 120 "127.0.0.1:$port" \
    >"$workdir/receiver.out" 2>&1 &
receiver_pid=$!
peer_pids+=("$receiver_pid")
online() {
    [ "$(sql "SELECT COUNT(*) FROM bd_agent WHERE agent_uuid IN ('$idle_client', '$receiver')
              AND online_flag = 1")$(sql "SELECT COUNT(*) FROM bd_module_server
              WHERE module_uuid IN ('$idle_module', '$platform') AND online_flag = 1")" = 22 ]
}
retry online || fail "the peers were not written online"
/usr/bin/rt_peer -k client -u "$sender" -t "$receiver" -p '{"before": "upgrade"}' -j -e 1 \
    -w 120 "127.0.0.1:$port" >"$workdir/sender.out" 2>&1 &
sender_pid=$!
peer_pids+=("$sender_pid")
arrived() {
    grep -q "$1" "$2"
}
retry arrived before "$workdir/receiver.out" || fail "the pair's first packet did not arrive"
rows_before=$(sql "SELECT agent_uuid, online_flag FROM bd_agent ORDER BY 1;
                   SELECT module_uuid, online_flag FROM bd_module_server ORDER BY 1")

# No service manager runs here: postinst finds the router by its pid file.
NORVALE_ROOT="$workdir" dpkg -i "$higher_deb" >/dev/null
[ "$(dpkg-query -W -f '${Version}' rt-server)" = "$higher" ] ||
    fail "the installed version is not $higher"
took_over() {
    grep -rq "upgrade: took over" "$workdir/log"
}
retry took_over || fail "the router did not upgrade: $(grep -rh upgrade "$workdir/log" || true)"
kill -0 "$router_pid" 2>/dev/null || fail "the router ended in the upgrade"
[ "$(tr -d '\000' <"$workdir/var/run/norvale/rt_server.pid")" = "$router_pid" ] ||
    fail "the pid file no longer names the router"
# The same process runs the file the new package put there, not the one it replaced.
[ "$(stat -L -c %i "/proc/$router_pid/exe")" = "$(stat -c %i /usr/sbin/rt_server)" ] ||
    fail "the router still runs the replaced binary: $(readlink "/proc/$router_pid/exe")"
for pid in "${peer_pids[@]}"; do
    kill -0 "$pid" 2>/dev/null || fail "a peer's connection ended in the upgrade"
done
[ "$(sql "SELECT agent_uuid, online_flag FROM bd_agent ORDER BY 1;
          SELECT module_uuid, online_flag FROM bd_module_server ORDER BY 1")" = "$rows_before" ] ||
    fail "a peer's row changed in the upgrade"
/usr/bin/rt_peer -k client -u "$sender-after" -t "$receiver" -p '{"after": "upgrade"}' \
    "127.0.0.1:$port" >/dev/null 2>&1 || fail "no packet went to the receiver after the upgrade"
/usr/bin/rt_peer -k client -u "$receiver-after" -t "$sender" -p '{"after": "upgrade"}' \
    "127.0.0.1:$port" >/dev/null 2>&1 || fail "no packet went to the sender after the upgrade"
wait "$receiver_pid" || fail "the receiver: $(cat "$workdir/receiver.out")"
wait "$sender_pid" || fail "the sender: $(cat "$workdir/sender.out")"
if ! arrived after "$workdir/receiver.out" || ! arrived after "$workdir/sender.out"; then
    fail "a packet sent after the upgrade did not arrive"
fi

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
echo "package-test: $(basename "$deb") installed, ran, upgraded to $higher, removed and purged cleanly"
