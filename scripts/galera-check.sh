#!/usr/bin/env bash
# Runs the router against a three-node MariaDB Galera cluster on this machine and prints what it
# did. On demand only, not in CI: it needs mariadb-server, galera-4 and rsync, takes a few minutes
# and uses the loopback ports it finds free.
#
#   scripts/galera-check.sh            build-release/ must hold rt_server and rt_bench
#
# Steps: bootstrap node 1, join nodes 2 and 3 (state transfer by rsync), load the schema, start the
# router on node 1 under rt_bench's dbstorm workload (a crowd hand-shaking while a ping-pong pair
# talks), then, with a router of its own: stop node 3 and see rows still replicate; freeze node 1
# (SIGSTOP), the router's node, and see handshakes refused at once and served again after the thaw;
# take node 1 out of the primary component and see error 1047 retried and then refused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${RT_RELEASE_BUILD_DIR:-$root/build-release}
provider=${GALERA_PROVIDER:-/usr/lib/galera/libgalera_smm.so}
for tool in mariadbd mariadb-install-db rsync; do
    command -v "$tool" >/dev/null || { echo "galera-check: $tool is missing" >&2; exit 3; }
done
[ -f "$provider" ] || { echo "galera-check: no Galera provider at $provider" >&2; exit 3; }
[ -x "$build/src/rt_server/rt_server" ] && [ -x "$build/src/rt_tools/rt_bench" ] ||
    { echo "galera-check: build rt_server and rt_bench in $build first" >&2; exit 3; }

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
work=$(mktemp -d /tmp/rt-galera.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

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
    if [ ! -d "$dir/data/mysql" ]; then
        mariadb-install-db --user=root --datadir="$dir/data" --auth-root-authentication-method=socket \
            --skip-test-db --tmpdir="$dir/tmp" >"$dir/install.log" 2>&1
    fi
    # Row-based replication, primary keys required, no limit on the rows of one write set (the
    # start-up statement marks every peer offline at once), autocommit statements retried once
    # on a certification conflict.
    mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$dir/mysqld.sock" \
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
        RT_DB_PASSWORD=$RT_DB_PASSWORD "$build/src/rt_tools/rt_bench" -R 1 -d "$work" "$@" || true
}
rows_on() { sql "$1" -N "$RT_DB_NAME" -e "SELECT COUNT(*) FROM bd_agent"; }

echo "== a storm through node 1, rows read on nodes 2 and 3"
bench -n 500 dbstorm
echo "rows on node 2: $(rows_on 2), node 3: $(rows_on 3) (the benchmark removes its rows afterwards)"

echo "== node 3 stopped: the storm still passes, rows replicate to node 2"
kill "${pids[3]}"
wait "${pids[3]}" 2>/dev/null || true
bench -n 500 dbstorm
echo "cluster size now: $(sql 1 -N -e "SHOW STATUS LIKE 'wsrep_cluster_size'" | cut -f2)"

echo "== node 1, the router's node, frozen for 15 s during a storm: refusals, then recovery"
bench -n 200 --db-freeze 15 dbstorm &
bench_pid=$!
# The benchmark's own proxy freezes its view of node 1; freezing the node itself as well shows
# what the cluster does meanwhile.
sleep 3
kill -STOP "${pids[1]}"
sleep 12
kill -CONT "${pids[1]}"
wait "$bench_pid" || true

echo "== node 1 out of the primary component (node 2 alone would be too): 1047 answers"
sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=1'" || true
sleep 3
echo "node 1 status: $(sql 1 -N -e "SHOW STATUS LIKE 'wsrep_cluster_status'" | cut -f2)"
bench -n 50 -t 20 dbstorm
sql 1 -e "SET GLOBAL wsrep_provider_options='gmcast.isolate=0'" || true
echo "== done; node logs were under $work"
