#include "bd_xml/xml_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "bd_xml/xml_tokenizer.h"

namespace {

// The encoding is looked for only this far into the file.
constexpr size_t kHeadLength = 1024;
// Offsets into the document are 32-bit.
constexpr uint64_t kMaxFileSize = std::numeric_limits<uint32_t>::max();

struct ByteOrderMark {
    const char *bytes;
    size_t length;
    const char *encoding;
    uint32_t flag;
};

const ByteOrderMark kByteOrderMarks[] = {
    {"\xEF\xBB\xBF", 3, "UTF-8", XmlFile::kUtf8Mark},
    {"\xFF\xFE", 2, "UTF-16LE", XmlFile::kUtf16LeFile},
    {"\xFE\xFF", 2, "UTF-16BE", XmlFile::kUtf16BeFile},
};

bool EqualsNoCase(const char *text, size_t length, const char *word) {
    return std::strlen(word) == length && strncasecmp(text, word, length) == 0;
}

bool NameIs(const char *text, const XmlNode &node, const char *word) {
    return EqualsNoCase(text + node.name_offset, node.name_length, word);
}

void SkipWhitespace(const char *text, size_t end, size_t *i) {
    while (*i < end && XmlTokenizer::IsWhitespace(text[*i])) {
        ++*i;
    }
}

// Value of the attribute `name` (any case) in text[begin, end) of a tag; false when absent.
bool FindAttribute(const char *text, size_t begin, size_t end, const char *name,
                   std::string *value) {
    size_t i = begin;
    while (i < end) {
        SkipWhitespace(text, end, &i);
        if (i < end && (text[i] == '>' || text[i] == '/' || text[i] == '?')) {
            ++i;
            continue;
        }
        const size_t nameBegin = i;
        while (i < end && !XmlTokenizer::IsWhitespace(text[i]) && text[i] != '=' &&
               text[i] != '>') {
            ++i;
        }
        const size_t nameEnd = i;
        SkipWhitespace(text, end, &i);
        if (i >= end || text[i] != '=') {
            continue;  // an attribute without a value
        }
        ++i;
        SkipWhitespace(text, end, &i);
        size_t valueBegin = i;
        if (i < end && (text[i] == '"' || text[i] == '\'')) {
            const void *close = std::memchr(text + i + 1, text[i], end - i - 1);
            valueBegin = i + 1;
            i = close ? static_cast<const char *>(close) - text : end;
        } else {
            while (i < end && !XmlTokenizer::IsWhitespace(text[i]) && text[i] != '>') {
                ++i;
            }
        }
        if (EqualsNoCase(text + nameBegin, nameEnd - nameBegin, name)) {
            value->assign(text + valueBegin, i - valueBegin);
            return true;
        }
        ++i;
    }
    return false;
}

// The value after "charset=" in a Content-Type such as "text/html; charset=iso-8859-1".
std::string CharsetOf(const std::string &contentType) {
    const char *text = contentType.c_str();
    const size_t end = contentType.size();
    for (const char *at = strcasestr(text, "charset"); at; at = strcasestr(at + 1, "charset")) {
        size_t i = at - text + std::strlen("charset");
        SkipWhitespace(text, end, &i);
        if (i >= end || text[i] != '=') {
            continue;
        }
        ++i;
        SkipWhitespace(text, end, &i);
        const size_t begin = i;
        while (i < end && !XmlTokenizer::IsWhitespace(text[i]) && text[i] != ';' &&
               text[i] != '"' && text[i] != '\'') {
            ++i;
        }
        return contentType.substr(begin, i - begin);
    }
    return "";
}

// Drops every zero unit of `unitSize` bytes, closing the gaps; returns how many went.
size_t RemoveZeroUnits(std::string *bytes, size_t unitSize) {
    const size_t units = bytes->size() / unitSize;
    size_t kept = 0;
    for (size_t i = 0; i < units; ++i) {
        const char *unit = bytes->data() + i * unitSize;
        if (std::any_of(unit, unit + unitSize, [](char c) { return c != '\0'; })) {
            std::memmove(&(*bytes)[kept * unitSize], unit, unitSize);
            ++kept;
        }
    }
    bytes->resize(kept * unitSize);
    return units - kept;
}

}  // namespace

bool XmlFileContent::IsUtf16() const {
    return (flags & (XmlFile::kUtf16LeFile | XmlFile::kUtf16BeFile)) != 0;
}

XmlFile::~XmlFile() {
    if (_fd >= 0) {
        close(_fd);
    }
}

bool XmlFile::Open(const char *path) {
    // Non-blocking so that opening a pipe cannot wait for a writer.
    _fd = path ? open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    if (_fd < 0) {
        LogError(path ? errno : EINVAL);
        return false;
    }
    struct stat status;
    int error = 0;
    if (fstat(_fd, &status) != 0) {
        error = errno;
    } else if (S_ISDIR(status.st_mode)) {
        error = EISDIR;
    } else if (!S_ISREG(status.st_mode)) {
        error = EINVAL;
    } else if (static_cast<uint64_t>(status.st_size) > kMaxFileSize) {
        error = EFBIG;
    }
    if (error != 0) {
        LogError(error);
        return false;
    }
    _size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool XmlFile::Read(XmlFileContent *content) {
    *content = XmlFileContent();
    if (_size == 0) {
        return true;
    }
    std::string head;
    if (!ReadAt(0, std::min<uint64_t>(kHeadLength, _size), &head)) {
        return false;
    }
    size_t markLength = 0;
    for (const ByteOrderMark &mark : kByteOrderMarks) {
        if (head.compare(0, mark.length, mark.bytes, mark.length) == 0) {
            content->flags = mark.flag;
            content->encoding = mark.encoding;
            markLength = mark.length;
            _log->Add("bom", {{"encoding", mark.encoding}});
            break;
        }
    }
    if (markLength == 0) {
        content->encoding = DeclaredEncoding(head.data(), head.size());
        if (content->encoding.empty() && !head.empty() && head[0] == '<') {
            content->encoding = "UTF-8";
        }
    }

    if (!ReadAt(markLength, _size - std::min<uint64_t>(markLength, _size), &content->bytes)) {
        return false;
    }
    const size_t unitSize = content->IsUtf16() ? 2 : 1;
    content->bytes.resize(content->bytes.size() / unitSize * unitSize);  // no half unit
    _log->Add("read", {{"encoding", content->encoding},
                       {"length", std::to_string(content->bytes.size() / unitSize)}});
    const size_t zeros = RemoveZeroUnits(&content->bytes, unitSize);
    if (zeros > 0) {
        _log->Add("nulls_removed", {{"count", std::to_string(zeros)}});
    }
    if (content->flags & kUtf16BeFile) {
        for (size_t i = 0; i + 1 < content->bytes.size(); i += 2) {
            std::swap(content->bytes[i], content->bytes[i + 1]);
        }
        _log->Add("endian_swap");
    }
    return true;
}

std::string XmlFile::DeclaredEncoding(const char *head, size_t length) {
    XmlNode node;
    std::string value;
    if (length > 1 && head[0] == '<' && head[1] == '?') {
        XmlTokenizer declaration(head, length);
        if (declaration.Next(&node) && node.type == XmlNodeType::kProcessingInstruction &&
            NameIs(head, node, "xml")) {
            FindAttribute(head, node.name_offset + node.name_length, node.offset + node.length,
                          "encoding", &value);
            return value;
        }
    }
    XmlTokenizer tokenizer(head, length);
    bool inHtml = false;
    while (tokenizer.Next(&node)) {
        const bool isStartTag =
            node.type == XmlNodeType::kStartTag || node.type == XmlNodeType::kEmptyElementTag;
        if (!inHtml) {
            if (!isStartTag) {
                continue;
            }
            if (!NameIs(head, node, "html")) {
                return "";
            }
            inHtml = true;
        } else if (node.type == XmlNodeType::kEndTag && NameIs(head, node, "head")) {
            return "";
        } else if (isStartTag && NameIs(head, node, "meta")) {
            const size_t begin = node.name_offset + node.name_length;
            const size_t end = node.offset + node.length;
            std::string content;
            if (FindAttribute(head, begin, end, "http-equiv", &value) &&
                EqualsNoCase(value.data(), value.size(), "Content-Type") &&
                FindAttribute(head, begin, end, "content", &content)) {
                return CharsetOf(content);
            }
        }
    }
    return "";
}

bool XmlFile::ReadAt(uint64_t offset, size_t length, std::string *out) {
    out->assign(length, '\0');
    size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(_fd, &(*out)[done], length - done, offset + done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            LogError(errno);
            out->clear();
            return false;
        }
        if (got == 0) {
            break;  // the file shrank since it was opened
        }
        done += static_cast<size_t>(got);
    }
    out->resize(done);
    return true;
}

void XmlFile::LogError(int error) {
    char buffer[256];
    std::string message = strerror_r(error, buffer, sizeof buffer);
    message = message.substr(0, std::min<size_t>(message.find_first_of("\r\n"), 100));
    _log->Add("file_error", {{"msg", message}, {"n", std::to_string(error)}});
}
