#ifndef BD_COMMON_BD_COMMON_SERVER_CONFIG_H_
#define BD_COMMON_BD_COMMON_SERVER_CONFIG_H_

#include <atomic>
#include <string>

#include "bd_common/bd_mutex.h"

// The settings every server process shares (database credentials, log directory, paths), read
// from the common configuration file. No key has a default: a value is whatever the file gave,
// and a load fails unless every required key is present.
//
// One process-wide instance: GetCommonConf() creates it on first use, FreeCommonConf() deletes
// it; both may be called from any thread. Loading and the getters are not locked: the process
// loads on one thread before others read. A derived class adds keys of its own through the three
// virtual hooks.
class BdCommonServerConfig {
  public:
    static BdCommonServerConfig *GetCommonConf();
    // Deletes the instance; pointers obtained earlier dangle, and the next GetCommonConf()
    // creates a fresh one.
    static void FreeCommonConf();

    // Loads the file at `path`; true when every required key is present and valid and the hook
    // CheckSpecialVarValidity() agrees. Both ports are set to -1 first, so a file lacking one
    // fails even after an earlier successful load; the string settings keep earlier values.
    bool LoadConfigFile(std::string path);
    bool ParseElem(std::string name, std::string value);
    bool CheckVarValidity();
    // The first required key, in the order CheckVarValidity tests them, that is missing or out of
    // range; empty when every one is valid.
    std::string InvalidKey() const;
    // Diagnostic dump to standard output; shows the database password in clear.
    void PrintVars();

    std::string GetDatabaseIP() const { return _databaseIp; }
    int GetDatabasePort() const { return _databasePort; }
    std::string GetDatabaseName() const { return _databaseName; }
    std::string GetDatabaseUser() const { return _databaseUser; }
    std::string GetDatabasePasswd() const { return _databasePasswd; }
    std::string GetLogDir() const { return _logDir; }

  protected:
    BdCommonServerConfig() = default;
    virtual ~BdCommonServerConfig() = default;
    BdCommonServerConfig(const BdCommonServerConfig &) = delete;
    BdCommonServerConfig &operator=(const BdCommonServerConfig &) = delete;

    // Takes a key the common class does not know; the result is not consulted. Accepts and
    // ignores it here.
    virtual bool ParseSpecialElem(std::string name, std::string value);
    // Called after the common check passed; true here.
    virtual bool CheckSpecialVarValidity();
    // Called at the end of PrintVars; prints nothing here.
    virtual void PrintSpecialVars();

  private:
    static BdMutex _instance_mutex;
    // Read without the lock on the fast path, written only under _instance_mutex; atomic so
    // that a thread which sees the pointer also sees the constructed object.
    static std::atomic<BdCommonServerConfig *> _common_server_conf;

    std::string _installPath;
    std::string _serverIp;
    int _serverPort = -1;
    std::string _databaseIp;
    int _databasePort = -1;
    std::string _databaseName;
    std::string _databaseUser;
    std::string _databasePasswd;
    std::string _storagePrefix;
    std::string _serverKeyName;
    std::string _clientKeyName;
    std::string _logDir;
    // Stored for the processes that use it; the router never reads it.
    int _controlMessageTimeout = 0;
};

#endif  // BD_COMMON_BD_COMMON_SERVER_CONFIG_H_
