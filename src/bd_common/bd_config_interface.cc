#include "bd_common/bd_config_interface.h"

#include <iostream>
#include <utility>

#include "bd_common/bd_file.h"
#include "bd_xml/bd_xml_reader.h"

bool BdConfigInterface::LoadConfigFile(std::string path) {
    if (!CheckPathGiven(path, __LINE__) || !CheckFileExists(path, __LINE__)) {
        return false;
    }
    ReadElems(path, [this](std::string name, std::string value) {
        return ParseElem(std::move(name), std::move(value));
    });
    return CheckVarValidity();
}

bool BdConfigInterface::CheckPathGiven(const std::string &path, int line) {
    if (!path.empty()) {
        return true;
    }
    std::cerr << "invliad parameter in LoadConfigFile:" << line << std::endl;
    return false;
}

bool BdConfigInterface::CheckFileExists(const std::string &path, int line) {
    if (BdFile::FileExist(path) == 0) {
        return true;
    }
    std::cerr << "config file " << path << " not exist in LoadConfigFile:" << line << std::endl;
    return false;
}

void BdConfigInterface::ReadElems(const std::string &path,
                                  const std::function<bool(std::string, std::string)> &parseElem) {
    BdXmlReader reader;
    // A damaged file still yields what the reader could repair; validity decides the rest.
    reader.Load(path);
    reader.ResetMainPos();
    reader.FindElem();
    reader.IntoElem();
    while (reader.FindElem()) {
        if (!parseElem(reader.GetTagName(), reader.GetData())) {
            return;
        }
    }
}
