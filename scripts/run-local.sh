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
mkdir -p "$norvale_root/etc/norvale/backup-system/uuid" "$norvale_root/var/run/norvale" \
    "$local_dir/log"

# shellcheck source=scripts/private-db.sh
. scripts/private-db.sh
trap 'private_db_stop' EXIT
private_db_start "$local_dir/db"

port=${RT_LISTEN_PORT:-$(pick_free_port)}

cat >"$norvale_root/etc/norvale/common_server.conf.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
    <install_path>$norvale_root/opt/norvale/</install_path>
    <server_ip>127.0.0.1</server_ip>
    <server_port>$port</server_port>
    <database_ip>$RT_DB_HOST</database_ip>
    <database_port>$RT_DB_PORT</database_port>
    <database_name>$RT_DB_NAME</database_name>
    <database_user>$RT_DB_USER</database_user>
    <database_passwd>$RT_DB_PASSWORD</database_passwd>
    <storage_prefix>$local_dir/storage</storage_prefix>
    <server_key_name>private_key.pem</server_key_name>
    <client_key_name>certificate.pem</client_key_name>
    <log_dir>$local_dir/log</log_dir>
    <control_message_timeout>30</control_message_timeout>
</config>
XML
cat >"$norvale_root/etc/norvale/rt_server.conf.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
    <listen_ip>127.0.0.1</listen_ip>
    <listen_port>$port</listen_port>
</config>
XML

echo "run-local: rt_server listens on 127.0.0.1:$port"
echo "run-local: NORVALE_ROOT=$norvale_root, log under $local_dir/log/rt_server"
echo "run-local: router UUID in $norvale_root/etc/norvale/backup-system/uuid/router-server"
echo "run-local: database $RT_DB_NAME on 127.0.0.1:$RT_DB_PORT (user $RT_DB_USER)"
echo "run-local: hand-shake as the server platform first; until then every other peer but the"
echo "run-local: web side is answered with server not ready. One trace line per forwarded packet"
echo "run-local: follows here."
# In the foreground, so Ctrl-C ends the router and the trap then stops the database.
NORVALE_ROOT=$norvale_root "$binary"
