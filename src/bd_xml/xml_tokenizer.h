#ifndef BD_XML_XML_TOKENIZER_H
#define BD_XML_XML_TOKENIZER_H

#include <cstddef>

enum class XmlNodeType {
    kStartTag,
    kEmptyElementTag,  // a start tag closed by "/>"
    kEndTag,
    kProcessingInstruction,
    kComment,
    kCDataSection,
    kDocumentType,
    kText,
    kWhitespace,  // a text node made only of whitespace
    kBadMarkup,   // a construct that could not be read; only its error matters
};

// One node of the text. Offsets are byte offsets into the tokenised text.
struct XmlNode {
    XmlNodeType type = XmlNodeType::kText;
    size_t offset = 0;
    size_t length = 0;
    size_t name_offset = 0;  // tags and processing instructions only
    size_t name_length = 0;
    // Set when the node is, or contains, a markup error: the error's name ("first_tag_syntax",
    // "unterminated_tag_syntax", ...), for unterminated constructs what was open ("start_tag",
    // "comment", ...), and where the error is.
    const char *error = nullptr;
    const char *error_type = nullptr;
    size_t error_offset = 0;
};

// Splits text into nodes in one forward pass; every byte is examined a bounded number of times,
// so any input is tokenised in linear time. The tokenizer borrows the text, which must outlive
// it. Not thread-safe; one user at a time.
class XmlTokenizer {
  public:
    XmlTokenizer(const char *text, size_t length) : _text(text), _length(length) {}
    XmlTokenizer(const XmlTokenizer &) = delete;
    XmlTokenizer &operator=(const XmlTokenizer &) = delete;

    // Reads the next node; false at the end of the text.
    bool Next(XmlNode *node);

    // Length of the tag name that starts at `begin` (after leading whitespace, which
    // *nameBegin skips), ending at whitespace or one of !"'/;<=>?\ or at `end`.
    static size_t NameLength(const char *text, size_t begin, size_t end, size_t *nameBegin);
    static bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  private:
    void ReadText(XmlNode *node);
    void ReadStartTag(XmlNode *node);
    void ReadDocumentType(XmlNode *node);
    void ReadExclamation(XmlNode *node);
    // Ends the node at the first `terminator` at or after `from`, or marks it unterminated.
    void ReadUntil(XmlNode *node, const char *terminator, size_t from, const char *openType);
    void Fail(XmlNode *node, const char *error, size_t skip);
    void Unterminated(XmlNode *node, const char *openType);
    // Position of the next `c` at or after `from` that is outside a quoted value, or _length.
    size_t FindOutsideQuotes(char c, size_t from) const;

    const char *_text;
    size_t _length;
    size_t _pos = 0;
};

#endif  // BD_XML_XML_TOKENIZER_H
