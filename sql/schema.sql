-- The peer tables the router keeps its peers' online state in. The router never creates tables:
-- operators create them once, and the tests and the local run load this file into their private
-- database. Every value the router writes arrives as quoted text; numbers are written in decimal,
-- so the integer and datetime columns take them as they come.
--
-- The UUID keys compare byte for byte (a binary collation without padding): the router tells
-- peers apart by the exact bytes of their UUIDs, so "ABC", "abc" and "abc " are three peers with
-- three rows, never one row written by all three.
--
-- online_flag: 1 online, 2 offline. register_flag and auto_upgrade_flag: 2 when the router created
-- the row. register_time: local time "YYYY-MM-DD HH:MM:SS" of the row's creation.

CREATE TABLE IF NOT EXISTS bd_agent (
    agent_uuid    VARCHAR(64)  COLLATE utf8_nopad_bin NOT NULL,
    hostname      VARCHAR(255) NOT NULL DEFAULT '',
    ip            VARCHAR(64)  NOT NULL DEFAULT '',
    os_type       VARCHAR(64)  NOT NULL DEFAULT '',
    os_version    VARCHAR(255) NOT NULL DEFAULT '',
    process_type  VARCHAR(32)  NOT NULL DEFAULT '',
    register_flag INT          NOT NULL DEFAULT 0,
    online_flag   INT          NOT NULL DEFAULT 2,
    PRIMARY KEY (agent_uuid)
) ENGINE = InnoDB DEFAULT CHARSET = utf8;

CREATE TABLE IF NOT EXISTS bd_node (
    node_uuid         VARCHAR(64)  COLLATE utf8_nopad_bin NOT NULL,
    auto_upgrade_flag INT          NOT NULL DEFAULT 0,
    ip                VARCHAR(64)  NOT NULL DEFAULT '',
    host_name         VARCHAR(255) NOT NULL DEFAULT '',
    os_type           VARCHAR(64)  NOT NULL DEFAULT '',
    os_version        VARCHAR(255) NOT NULL DEFAULT '',
    process_type      VARCHAR(32)  NOT NULL DEFAULT '',
    register_time     DATETIME     NULL,
    global_share_flag INT          NOT NULL DEFAULT 0,
    PRIMARY KEY (node_uuid)
) ENGINE = InnoDB DEFAULT CHARSET = utf8;

CREATE TABLE IF NOT EXISTS bd_module_server (
    module_uuid   VARCHAR(64) COLLATE utf8_nopad_bin NOT NULL,
    module_type   INT         NOT NULL DEFAULT 0,
    node_uuid     VARCHAR(64) NOT NULL DEFAULT '',
    register_time DATETIME    NULL,
    online_flag   INT         NOT NULL DEFAULT 2,
    PRIMARY KEY (module_uuid)
) ENGINE = InnoDB DEFAULT CHARSET = utf8;
