# Private MariaDB on 127.0.0.1 for the tests and the local run. Source this file, then:
#   private_db_start DIR   starts a server whose data, socket and log live under DIR, creates the
#                          database and its user, loads sql/schema.sql and exports RT_DB_*;
#   private_db_stop        stops it (safe to call twice, and from a trap).
# Starting again over the same DIR after a crash reuses the data and clears stale files.

RT_DB_NAME=${RT_DB_NAME:-norvale}
RT_DB_USER=${RT_DB_USER:-norvale}
RT_DB_PASSWORD=${RT_DB_PASSWORD:-norvale-secret}

# A port below the kernel's ephemeral range, so no outgoing connection can hold it between the
# probe and the bind, with nothing listening on it now.
pick_free_port() {
    local low=32768 port
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || true
    for _ in $(seq 1 200); do
        port=$((10000 + RANDOM % (low - 10000)))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

# Starts mariadbd over DIR on PORT and waits until it answers; false when it ended first.
_private_db_launch() {
    local dir=$1 port=$2
    : >"$dir/error.log"
    mariadbd --no-defaults --user=root --datadir="$dir/data" --socket="$dir/mysqld.sock" \
        --pid-file="$dir/mysqld.pid" --tmpdir="$dir/tmp" --bind-address=127.0.0.1 --port="$port" \
        --skip-name-resolve --log-error="$dir/error.log" --innodb-buffer-pool-size=64M \
        --innodb-log-file-size=16M --skip-log-bin >/dev/null 2>&1 &
    local pid=$!
    for _ in $(seq 1 600); do
        if mariadb --no-defaults -uroot --socket="$dir/mysqld.sock" -e 'SELECT 1' >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

private_db_start() {
    local dir
    dir=$(realpath -m "$1")
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    mkdir -p "$dir"
    local datadir="$dir/data" sock="$dir/mysqld.sock" pidfile="$dir/mysqld.pid"

    # A server left over from an earlier run over the same directory is stopped first.
    if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        for _ in $(seq 1 100); do kill -0 "$(cat "$pidfile")" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$sock" "$sock.lock" "$pidfile"
    mkdir -p "$dir/tmp"

    if [ ! -d "$datadir/mysql" ]; then
        rm -rf "$datadir"
        mariadb-install-db --user=root --datadir="$datadir" --auth-root-authentication-method=socket \
            --skip-test-db --tmpdir="$dir/tmp" >"$dir/install.log" 2>&1 ||
            { cat "$dir/install.log"; return 1; }
    fi

    # Another server may take the chosen port between the probe and the bind: try a few.
    local port attempt
    for attempt in 1 2 3 4 5; do
        port=$(pick_free_port) || { echo "private-db: no free port" >&2; return 1; }
        if _private_db_launch "$dir" "$port"; then
            break
        fi
        if [ "$attempt" -eq 5 ] || ! grep -q 'Address already in use' "$dir/error.log"; then
            echo "private-db: server did not start" >&2
            tail -n 30 "$dir/error.log" >&2
            return 1
        fi
    done
    mariadb --no-defaults -uroot --socket="$sock" <<SQL || return 1
CREATE DATABASE IF NOT EXISTS \`$RT_DB_NAME\` CHARACTER SET utf8;
CREATE USER IF NOT EXISTS '$RT_DB_USER'@'127.0.0.1' IDENTIFIED BY '$RT_DB_PASSWORD';
CREATE USER IF NOT EXISTS '$RT_DB_USER'@'localhost' IDENTIFIED BY '$RT_DB_PASSWORD';
GRANT ALL ON \`$RT_DB_NAME\`.* TO '$RT_DB_USER'@'127.0.0.1';
GRANT ALL ON \`$RT_DB_NAME\`.* TO '$RT_DB_USER'@'localhost';
FLUSH PRIVILEGES;
SQL
    if [ -f "$root/sql/schema.sql" ]; then
        mariadb --no-defaults -uroot --socket="$sock" "$RT_DB_NAME" <"$root/sql/schema.sql" || return 1
    fi
    export RT_DB_HOST=127.0.0.1 RT_DB_PORT=$port RT_DB_NAME RT_DB_USER RT_DB_PASSWORD
    export RT_DB_SOCKET=$sock RT_DB_PID_FILE=$pidfile RT_DB_DIR=$dir
}

private_db_stop() {
    local pidfile=${RT_DB_PID_FILE:-}
    [ -n "$pidfile" ] && [ -f "$pidfile" ] || return 0
    local pid
    pid=$(cat "$pidfile" 2>/dev/null) || return 0
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
}
