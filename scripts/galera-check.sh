#!/usr/bin/env bash
# Runs the router against a three-node MariaDB Galera cluster on this machine and prints what it
# did. On demand only, not in CI: it takes a few minutes and uses the loopback ports it finds free.
#
#   scripts/galera-check.sh
#
# It installs what it needs (mariadb-server, galera-4, rsync, haproxy) and builds rt_server,
# rt_bench and rt_peer in Release into build-release/ (RT_RELEASE_BUILD_DIR names another
# directory) when they are not there. As root the nodes run as the mysql user, as the state transfer needs. It exits non-zero
# as soon as a step fails, keeping the nodes' logs and saying where; each step prints the figure
# that shows what it claims.
#
# Steps: bootstrap node 1, join nodes 2 and 3 (state transfer by rsync), load the schema, run
# rt_bench's dbstorm workload (a crowd hand-shaking while a ping-pong pair talks) through node 1
# and compare the tables on every node; stop node 3 and do the same with two nodes; freeze node 1
# (SIGSTOP), the router's node, during a storm and time the refusals and the recovery; take node 1
# out of the primary component, wait until it says so, and see its error 1047 refused; start node
# 3 again, put HAProxy with the section of docs/high-availability.md in front of the three nodes, run
# a router through it, isolate node 1 for 30 s while a client hand-shakes every 0.2 s, and see
# handshakes succeed again within 10 s of the isolation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${RT_RELEASE_BUILD_DIR:-$root/build-release}
provider=${GALERA_PROVIDER:-/usr/lib/galera/libgalera_smm.so}
if ! command -v mariadbd >/dev/null || ! command -v rsync >/dev/null ||
    ! command -v haproxy >/dev/null || [ ! -f "$provider" ]; then
    scripts/bootstrap.sh galera-4 rsync haproxy
fi
for tool in mariadbd mariadb-install-db rsync haproxy; do
    command -v "$tool" >/dev/null || { echo "galera-check: $tool is missing" >&2; exit 3; }
done
[ -f "$provider" ] || { echo "galera-check: no Galera provider at $provider" >&2; exit 3; }
if [ ! -x "$build/src/rt_server/rt_server" ] || [ ! -x "$build/src/rt_tools/rt_bench" ] ||
    [ ! -x "$build/src/rt_tools/rt_peer" ]; then
    echo "== building rt_server, rt_bench and rt_peer (Release) in $build"
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j "$(nproc)" --target rt_server rt_bench rt_peer >/dev/null
fi

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
# shellcheck source=scripts/router-config.sh
. scripts/router-config.sh
work=$(mktemp -d /tmp/rt-galera.XXXXXX)
# The nodes run as mysql when this runs as root: the rsync state transfer does not run as root.
node_user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
    node_user=mysql
    chmod 0755 "$work"
fi
pids=()
cleanup() {
    local status=$?
    for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "galera-check: FAILED; the nodes' logs are kept under $work" >&2
    fi
}
trap cleanup EXIT
fail() { echo "galera-check: $*" >&2; exit 1; }

declare -a sql_port gcomm_port
for n in 1 2 3; do
    sql_port[$n]=$(pick_free_port)
    gcomm_port[$n]=$(pick_free_port)
done
cluster="gcomm://127.0.0.1:${gcomm_port[1]},127.0.0.1:${gcomm_port[2]},127.0.0.1:${gcomm_port[3]}"

sql() { mariadb --no-defaults -uroot --socket="$work/n$1/mysqld.sock" "${@:2}"; }

# start_node N [--wsrep-new-cluster]
start_node() {
    local n=$1 dir=$work/n$1
    mkdir -p "$dir/tmp"
    if [ "$node_user" = mysql ]; then
        chown -R mysql:mysql "$dir"
    fi
    if [ ! -d "$dir/data/mysql" ]; then
        mariadb-install-db --user="$node_user" --datadir="$dir/data" \
            --auth-root-authentication-method=socket --skip-test-db --tmpdir="$dir/tmp" \
            >"$dir/install.log" 2>&1
    fi
    # Row-based replication, primary keys required, no limit on the rows of one write set (the
    # start-up statement marks every peer offline at once), autocommit statements retried once
    # on a certification conflict.
    mariadbd --no-defaults --user="$node_user" --datadir="$dir/data" --socket="$dir/mysqld.sock" \
        --pid-file="$dir/mysqld.pid" --tmpdir="$dir/tmp" --bind-address=127.0.0.1 \
        --port="${sql_port[$n]}" --skip-name-resolve --log-error="$dir/error.log" \
        --innodb-buffer-pool-size=64M --binlog-format=ROW --innodb-autoinc-lock-mode=2 \
        --wsrep-on=ON --wsrep-provider="$provider" --wsrep-cluster-address="$cluster" \
        --wsrep-node-address="127.0.0.1:${gcomm_port[$n]}" --wsrep-node-name="n$n" \
        --wsrep-provider-options="gmcast.listen_addr=tcp://127.0.0.1:${gcomm_port[$n]};ist.recv_addr=127.0.0.1:$(pick_free_port)" \
        --wsrep-sst-method=rsync --wsrep-sst-receive-address="127.0.0.1:$(pick_free_port)" \
        --wsrep-mode=REQUIRED_PRIMARY_KEY --wsrep-max-ws-rows=0 --wsrep-retry-autocommit=1 \
        "${@:2}" >/dev/null 2>&1 &
    pids[$n]=$!
    for _ in $(seq 1 1200); do
        if [ "$(sql "$n" -N -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null |
            cut -f2)" = "Synced" ]; then
            return 0
        fi
        kill -0 "${pids[$n]}" 2>/dev/null || break
        sleep 0.1
    done
    echo "galera-check: node $n did not sync" >&2
    tail -n 40 "$dir/error.log" >&2
    return 1
}

echo "== starting three nodes"
start_node 1 --wsrep-new-cluster
start_node 2
start_node 3
sql 1 <<SQL
CREATE DATABASE IF NOT EXISTS \`$RT_DB_NAME\` CHARACTER SET utf8;
CREATE USER IF NOT EXISTS '$RT_DB_USER'@'127.0.0.1' IDENTIFIED BY '$RT_DB_PASSWORD';
GRANT ALL ON \`$RT_DB_NAME\`.* TO '$RT_DB_USER'@'127.0.0.1';
SQL
sql 1 "$RT_DB_NAME" <sql/schema.sql
echo "cluster size: $(sql 1 -N -e "SHOW STATUS LIKE 'wsrep_cluster_size'" | cut -f2)"

bench() {
    RT_DB_HOST=127.0.0.1 RT_DB_PORT=${sql_port[1]} RT_DB_NAME=$RT_DB_NAME RT_DB_USER=$RT_DB_USER \
        RT_DB_PASSWORD=$RT_DB_PASSWORD "$build/src/rt_tools/rt_bench" -R 1 -d "$work" "$@" |
        tee "$work/bench.txt"
    grep -q 'result=ok' "$work/bench.txt" || fail "the benchmark failed: rt_bench $*"
}
status_of() { sql "$1" -N -e "SHOW STATUS LIKE '$2'" | cut -f2; }
# One of the last benchmark's figures.
figure() { tr ' ' '\n' <"$work/bench.txt" | sed -n "s/^$1=//p" | tail -n 1; }
# The peer tables of a node as one line of checksums.
tables_on() {
    sql "$1" -N "$RT_DB_NAME" -e "CHECKSUM TABLE bd_agent, bd_node, bd_module_server" | cut -f2 |
        tr '\n' ' '
}
# A storm through node 1 whose write sets every node given applies, ending with the same tables.
storm_replicated() {
    local peers=$1 n
    shift
    declare -A before
    for n in "$@"; do before[$n]=$(status_of "$n" wsrep_last_committed); done
    bench -n "$peers" dbstorm
    for n in "$@"; do
        local applied=$(($(status_of "$n" wsrep_last_committed) - before[$n]))
        [ "$applied" -gt 0 ] || fail "node $n applied no write set of the storm"
        [ "$(tables_on "$n")" = "$(tables_on 1)" ] || fail "node $n's peer tables differ from node 1's"
        echo "node $n: $applied write sets of the storm applied, peer tables equal to node 1's"
    done
}

echo "== a storm through node 1, replicated to nodes 2 and 3"
storm_replicated 500 2 3

echo "== node 3 stopped: the storm still passes and replicates to node 2"
kill "${pids[3]}"
wait "${pids[3]}" 2>/dev/null || true
unset 'pids[3]'
[ "$(status_of 1 wsrep_cluster_size)" = 2 ] || fail "the cluster did not shrink to two nodes"
echo "cluster size now: 2"
storm_replicated 500 2

echo "== node 1, the router's node, frozen for 15 s during a storm: refusals timed, then recovery"
bench -n 200 --db-freeze 15 dbstorm &
bench_pid=$!
# The benchmark's own proxy freezes its view of node 1; freezing the node itself as well shows
# what the cluster does meanwhile.
sleep 3
kill -STOP "${pids[1]}"
sleep 12
kill -CONT "${pids[1]}"
wait "$bench_pid" || fail "the benchmark failed during the freeze"
echo "first refusal $(figure first_refusal_s) s after the freeze (the writer's time-out), slowest" \
    "later refusal $(figure refusal_max_ms) ms, all answered $(figure answered_s) s after the thaw"

echo "== node 1 out of the primary component: its 1047 answers refused"
sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=1'"
# Galera takes several seconds to notice a partition; measure only once node 1 says it.
isolated=$SECONDS
for _ in $(seq 1 300); do
    [ "$(status_of 1 wsrep_cluster_status)" = "non-Primary" ] && break
    sleep 0.1
done
[ "$(status_of 1 wsrep_cluster_status)" = "non-Primary" ] || fail "node 1 never left the primary component"
echo "node 1 status: non-Primary, $((SECONDS - isolated)) s after the isolation"
RT_DB_HOST=127.0.0.1 RT_DB_PORT=${sql_port[1]} RT_DB_NAME=$RT_DB_NAME RT_DB_USER=$RT_DB_USER \
    RT_DB_PASSWORD=$RT_DB_PASSWORD "$build/src/rt_tools/rt_bench" -R 1 -d "$work" -n 50 -t 20 \
    dbstorm >"$work/bench.txt" 2>&1 && fail "handshakes were answered by a node without quorum"
echo "handshakes through a node without quorum are not answered; rt_bench: $(tail -n 1 "$work/bench.txt")"
sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=0'"

echo "== HAProxy in front of three nodes, node 1 isolated for 30 s: handshakes back within 10 s"
start_node 3
for _ in $(seq 1 300); do
    [ "$(status_of 1 wsrep_local_state_comment)" = Synced ] && break
    sleep 0.1
done
[ "$(status_of 1 wsrep_local_state_comment)" = Synced ] || fail "node 1 did not sync again"
echo "cluster size: $(status_of 1 wsrep_cluster_size), node 1 Synced"
# The documented section and check script, with this machine's addresses and files.
docs=docs/high-availability.md
block_after() { # the first fenced block after the line that starts with $1
    awk -v start="$1" 'index($0, start) == 1 { found = 1 } found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' "$docs"
}
proxy_port=$(pick_free_port)
sql 1 -e "CREATE USER IF NOT EXISTS 'haproxy'@'127.0.0.1' IDENTIFIED BY 'check-secret'"
printf '[client]\nuser=haproxy\npassword=check-secret\n' >"$work/galera-check.cnf"
block_after '`/usr/local/bin/galera-synced`, run by HAProxy' |
    sed "s|/etc/haproxy/galera-check.cnf|$work/galera-check.cnf|" >"$work/galera-synced"
chmod 0755 "$work/galera-synced"
block_after 'Example HAProxy section' |
    sed -e "s|bind 127.0.0.1:3307|bind 127.0.0.1:$proxy_port|" \
        -e "s|/usr/local/bin/galera-synced|$work/galera-synced|" \
        -e "s|10.0.0.11:3306|127.0.0.1:${sql_port[1]}|" -e "s|10.0.0.12:3306|127.0.0.1:${sql_port[2]}|" \
        -e "s|10.0.0.13:3306|127.0.0.1:${sql_port[3]}|" >"$work/haproxy.cfg"
grep -q "galera-synced" "$work/haproxy.cfg" || fail "no HAProxy section found in $docs"
haproxy -c -f "$work/haproxy.cfg" >/dev/null || fail "HAProxy refuses the documented section"
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)

# A router whose database is the proxy, and a server platform that stays connected.
router_root=$work/router
router_port=$(pick_free_port)
RT_DB_HOST=127.0.0.1 RT_DB_PORT=$proxy_port write_router_config "$router_root" "$router_port" \
    "$work/log"
NORVALE_ROOT=$router_root "$build/src/rt_server/rt_server" >/dev/null 2>"$work/router.err" &
pids+=($!)
for _ in $(seq 1 300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$router_port") 2>/dev/null && break
    sleep 0.1
done
peer() { "$build/src/rt_tools/rt_peer" -o 3 "$@" "127.0.0.1:$router_port"; }
peer -k platform -u ha-platform -a 5 >/dev/null 2>&1 &
pids+=($!)
handshake() { peer -k client -u "ha-agent-$1" -w 0 >/dev/null 2>&1; }
for _ in $(seq 1 100); do handshake 0 && break; sleep 0.1; done
handshake 0 || fail "no handshake through HAProxy before the isolation"

sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=1'"
isolated=$(date +%s%N)
ms_since() { echo $((($(date +%s%N) - isolated) / 1000000)); }
attempts=0 failures=0 first_failure="" last_failure="" non_primary=""
while [ "$(ms_since)" -lt 30000 ]; do
    attempts=$((attempts + 1))
    began=$(ms_since)
    if ! handshake "$attempts"; then
        failures=$((failures + 1))
        first_failure=${first_failure:-$began}
        last_failure=$began
    fi
    if [ -z "$non_primary" ] && [ "$(status_of 1 wsrep_cluster_status)" = "non-Primary" ]; then
        non_primary=$(ms_since)
    fi
    sleep 0.2
done
sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=0'"
[ -n "$non_primary" ] || fail "node 1 never left the primary component while isolated"
echo "node 1 non-Primary $non_primary ms after the isolation; $attempts handshakes in 30 s," \
    "$failures refused or unanswered (the first sent at ${first_failure:-none} ms, the last at" \
    "${last_failure:-none} ms)"
on_node() { sql "$1" -N -e "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = '$RT_DB_USER'"; }
echo "the router's sessions: node 1 $(on_node 1), node 2 $(on_node 2), node 3 $(on_node 3)"
[ -z "$last_failure" ] || [ "$last_failure" -le 10000 ] ||
    fail "a handshake sent $last_failure ms after the isolation failed (more than 10 s)"
handshake last || fail "no handshake through HAProxy after the isolation"
if [ -z "$last_failure" ]; then
    echo "no handshake failed while node 1 was isolated"
else
    echo "every handshake sent later than $last_failure ms after the isolation succeeded (at most 10 s)"
fi
echo "== every step passed"
