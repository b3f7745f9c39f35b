#ifndef BD_COMMON_BD_CONFIG_INTERFACE_H_
#define BD_COMMON_BD_CONFIG_INTERFACE_H_

#include <functional>
#include <string>

// Loader of a flat XML configuration file: the root element (any name) holds one child element
// per setting, the tag name being the key and the text the value. A derived class takes each
// setting in ParseElem and judges the result in CheckVarValidity.
//
// A configuration object is loaded and read on one thread (the router does both on the main
// thread before any other thread exists); nothing here is locked.
class BdConfigInterface {
  public:
    // Writes the loaded values to standard output.
    virtual void PrintVars() = 0;
    // Takes one setting; false stops the load at this element.
    virtual bool ParseElem(std::string name, std::string value) = 0;
    // True when the loaded values are complete and valid.
    virtual bool CheckVarValidity() = 0;
    virtual ~BdConfigInterface() = default;

    // Reads every setting of the file at `path` into this object and returns CheckVarValidity().
    // An empty path or a missing file is reported on standard error and gives false. Settings
    // not in the file keep their earlier values, so a failed load may be retried.
    bool LoadConfigFile(std::string path);

    // The steps every loader shares; BdCommonServerConfig, whose loader is not virtual, uses
    // them too. `line` is the caller's source line, which the messages name.
    static bool CheckPathGiven(const std::string &path, int line);
    static bool CheckFileExists(const std::string &path, int line);
    // Hands each child of the root, in document order, to `parseElem` until it returns false.
    // Deeper elements are never visited; an unreadable or empty document gives no settings.
    static void ReadElems(const std::string &path,
                          const std::function<bool(std::string, std::string)> &parseElem);
};

#endif  // BD_COMMON_BD_CONFIG_INTERFACE_H_
