#ifndef BD_XML_XML_FILE_H
#define BD_XML_XML_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "bd_xml/xml_result_log.h"

// What a file held, ready for conversion to UTF-8.
struct XmlFileContent {
    // Everything after the byte-order mark with zero units removed; UTF-16 in little-endian
    // order whichever order the file used.
    std::string bytes;
    // From the byte-order mark or the declaration; empty when neither says.
    std::string encoding;
    uint32_t flags = 0;  // the XmlFile encoding-form flags found

    bool IsUtf16() const;
};

// Opens and reads one document file and works out its encoding: a byte-order mark first, then an
// encoding declared in the first 1024 bytes. Only regular files are read, so a path naming a
// directory, a pipe or a device fails instead of blocking or reading forever. Owns its file
// descriptor; one user at a time.
class XmlFile {
  public:
    // Encoding-form flags, stored in the reader's document flags.
    static constexpr uint32_t kUtf16LeFile = 0x1;
    static constexpr uint32_t kUtf8Mark = 0x4;
    static constexpr uint32_t kUtf16BeFile = 0x80;

    // Events go to `log`, which must outlive this object.
    explicit XmlFile(XmlResultLog *log) : _log(log) {}
    ~XmlFile();
    XmlFile(const XmlFile &) = delete;
    XmlFile &operator=(const XmlFile &) = delete;

    // False, with a "file_error" entry, when the path cannot be opened as a regular file.
    bool Open(const char *path);
    // Reads the whole file; false, with a "file_error" entry, when reading fails.
    bool Read(XmlFileContent *content);

    // The encoding declared by an XML declaration at the very start, or by the charset of an
    // html document's Content-Type meta element; empty when there is none.
    static std::string DeclaredEncoding(const char *head, size_t length);

  private:
    // Reads exactly `length` bytes at `offset` unless the file ends first; false on an error.
    bool ReadAt(uint64_t offset, size_t length, std::string *out);
    void LogError(int error);

    XmlResultLog *_log;
    int _fd = -1;
    uint64_t _size = 0;
};

#endif  // BD_XML_XML_FILE_H
