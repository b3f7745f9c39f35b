#include "support/private_database_server.h"

#include <signal.h>
#include <stdio.h>

#include <chrono>
#include <sstream>
#include <thread>

#ifndef RT_PROJECT_DIR
#error RT_PROJECT_DIR must name the source tree, where scripts/private-db.sh lives
#endif

namespace {

// The process state letter from /proc (R, S, T, Z, ...); 'X' when the process is gone.
char StateOf(pid_t pid) {
    std::ostringstream path;
    path << "/proc/" << pid << "/stat";
    FILE *stat = fopen(path.str().c_str(), "r");
    if (stat == nullptr) {
        return 'X';
    }
    int ignoredPid = 0;
    char name[256] = {0};
    char state = 'X';
    int fields = fscanf(stat, "%d (%255[^)]) %c", &ignoredPid, name, &state);
    fclose(stat);
    return fields == 3 ? state : 'X';
}

// A server that has exited may linger as a zombie until whoever adopted it reaps it.
bool IsRunning(pid_t pid) {
    char state = StateOf(pid);
    return state != 'Z' && state != 'X';
}

}  // namespace

PrivateDatabaseServer::~PrivateDatabaseServer() {
    Stop();
}

bool PrivateDatabaseServer::Start() {
    if (_dir.Path().empty()) {
        return false;
    }
    // The script picks a random free port; a restart pins it to the first one.
    std::ostringstream command;
    command << "bash -c '. \"" RT_PROJECT_DIR "/scripts/private-db.sh\" && ";
    if (_address.port != 0) {
        command << "pick_free_port() { echo " << _address.port << "; } && ";
    }
    command << "private_db_start \"" << _dir.Path() << "\" >&2 && "
            << "echo \"$RT_DB_PORT $(cat \"$RT_DB_PID_FILE\") $RT_DB_USER $RT_DB_PASSWORD "
               "$RT_DB_NAME\"'";
    FILE *output = popen(command.str().c_str(), "r");
    if (output == nullptr) {
        return false;
    }
    char line[512] = {0};
    bool read = fgets(line, sizeof(line), output) != nullptr;
    int status = pclose(output);
    if (!read || status != 0) {
        return false;
    }
    std::istringstream fields(line);
    fields >> _address.port >> _pid >> _address.user >> _address.password >> _address.name;
    _address.host = "127.0.0.1";
    return !fields.fail();
}

void PrivateDatabaseServer::Stop() {
    if (_pid <= 0) {
        return;
    }
    kill(_pid, SIGCONT);
    kill(_pid, SIGTERM);
    for (int i = 0; i < 300 && IsRunning(_pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (IsRunning(_pid)) {
        kill(_pid, SIGKILL);
    }
    _pid = -1;
}

void PrivateDatabaseServer::Kill() {
    if (_pid <= 0) {
        return;
    }
    kill(_pid, SIGKILL);
    for (int i = 0; i < 300 && IsRunning(_pid); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    _pid = -1;
}

void PrivateDatabaseServer::Freeze() {
    if (_pid <= 0) {
        return;
    }
    kill(_pid, SIGSTOP);
    // The stop reaches the server's threads asynchronously; a statement sent before it has would
    // still be answered.
    for (int i = 0; i < 100 && StateOf(_pid) != 'T'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void PrivateDatabaseServer::Thaw() {
    if (_pid > 0) {
        kill(_pid, SIGCONT);
    }
}
