#!/usr/bin/env bash
# Builds the router and its tools, starts a private MariaDB with the schema, writes the
# configuration and UUID directory under .local/ and runs the router in the foreground on
# 127.0.0.1. Ctrl-C stops both.
#   RT_LISTEN_PORT=NNNN scripts/run-local.sh    listen on a fixed port instead of a free one
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/bootstrap.sh

build=$root/build-release
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DRT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target rt_server rt_peer rt_bench
binary=$build/src/rt_server/rt_server

local_dir=$root/.local
norvale_root=$local_dir/root

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
# shellcheck source=scripts/router-config.sh
. scripts/router-config.sh
trap 'private_db_stop' EXIT
private_db_start "$local_dir/db"

port=${RT_LISTEN_PORT:-$(pick_free_port)}
write_router_config "$norvale_root" "$port" "$local_dir/log"

echo "run-local: rt_server listens on 127.0.0.1:$port"
echo "run-local: NORVALE_ROOT=$norvale_root, log under $local_dir/log/rt_server"
echo "run-local: router UUID in $norvale_root/etc/norvale/backup-system/uuid/router-server"
echo "run-local: database $RT_DB_NAME on 127.0.0.1:$RT_DB_PORT (user $RT_DB_USER)"
echo "run-local: hand-shake as the server platform first; until then every other peer but the"
echo "run-local: web side is answered with server not ready. One trace line per forwarded packet"
echo "run-local: follows here."
# In the foreground, so Ctrl-C ends the router and the trap then stops the database.
NORVALE_ROOT=$norvale_root "$binary"
