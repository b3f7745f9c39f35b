# A router's configuration for a local run. Source this file, then:
#   write_router_config ROOT PORT LOG_DIR   writes the two configuration files under ROOT (a
#                                           NORVALE_ROOT, whose UUID and pid directories it makes
#                                           too) for a router on 127.0.0.1:PORT that logs under
#                                           LOG_DIR and writes to the database RT_DB_HOST,
#                                           RT_DB_PORT, RT_DB_NAME, RT_DB_USER, RT_DB_PASSWORD
#                                           name (as private_db_start exports them).
write_router_config() {
    local root=$1 port=$2 log_dir=$3
    mkdir -p "$root/etc/norvale/backup-system/uuid" "$root/var/run/norvale" "$log_dir"
    cat >"$root/etc/norvale/common_server.conf.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
    <install_path>$root/opt/norvale/</install_path>
    <server_ip>127.0.0.1</server_ip>
    <server_port>$port</server_port>
    <database_ip>$RT_DB_HOST</database_ip>
    <database_port>$RT_DB_PORT</database_port>
    <database_name>$RT_DB_NAME</database_name>
    <database_user>$RT_DB_USER</database_user>
    <database_passwd>$RT_DB_PASSWORD</database_passwd>
    <storage_prefix>$root/storage</storage_prefix>
    <server_key_name>private_key.pem</server_key_name>
    <client_key_name>certificate.pem</client_key_name>
    <log_dir>$log_dir</log_dir>
    <control_message_timeout>30</control_message_timeout>
</config>
XML
    cat >"$root/etc/norvale/rt_server.conf.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<config>
    <listen_ip>127.0.0.1</listen_ip>
    <listen_port>$port</listen_port>
</config>
XML
}
