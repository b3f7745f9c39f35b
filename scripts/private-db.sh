# Private MariaDB on 127.0.0.1 for the tests and the local run. Source this file, then:
#   private_db_start DIR   starts a server whose data, socket and log live under DIR, creates the
#                          database and its user, loads sql/schema.sql and exports RT_DB_*;
#   private_db_stop        stops it (safe to call twice, and from a trap).
# Starting again over the same DIR after a crash reuses the data and clears stale files.

RT_DB_NAME=${RT_DB_NAME:-norvale}
RT_DB_USER=${RT_DB_USER:-norvale}
RT_DB_PASSWORD=${RT_DB_PASSWORD:-norvale-secret}

pick_free_port() {
    local port
    for _ in $(seq 1 200); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
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

    if [ ! -d "$datadir/mysql" ]; then
        rm -rf "$datadir"
        mariadb-install-db --user=root --datadir="$datadir" --auth-root-authentication-method=socket \
            --skip-test-db >"$dir/install.log" 2>&1 || { cat "$dir/install.log"; return 1; }
    fi

    local port
    port=$(pick_free_port) || { echo "private-db: no free port" >&2; return 1; }
    mariadbd --no-defaults --user=root --datadir="$datadir" --socket="$sock" --pid-file="$pidfile" \
        --bind-address=127.0.0.1 --port="$port" --skip-name-resolve --log-error="$dir/error.log" \
        --innodb-buffer-pool-size=64M --innodb-log-file-size=16M --skip-log-bin \
        >/dev/null 2>&1 &
    PRIVATE_DB_PID=$!
    PRIVATE_DB_DIR=$dir
    for _ in $(seq 1 300); do
        if mariadb --no-defaults -uroot --socket="$sock" -e 'SELECT 1' >/dev/null 2>&1; then
            break
        fi
        if ! kill -0 "$PRIVATE_DB_PID" 2>/dev/null; then
            echo "private-db: server did not start" >&2
            tail -n 30 "$dir/error.log" >&2
            return 1
        fi
        sleep 0.1
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
