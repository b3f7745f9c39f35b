#include "bd_xml/xml_tokenizer.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsNameEnd(char c) {
    return (c != '\0' && std::strchr("!\"'/;<=>?\\", c) != nullptr) ||
           XmlTokenizer::IsWhitespace(c);
}

// After "<": a capital, "_", ":" or any byte from "a" up, which takes in every lowercase letter
// and every byte of a multi-byte UTF-8 character.
bool StartsStartTag(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') || u == '_' || u == ':' || u >= 'a';
}

bool StartsSubsetDeclaration(char c) {
    return c == 'A' || c == 'E' || c == 'N';
}

}  // namespace

size_t XmlTokenizer::NameLength(const char *text, size_t begin, size_t end, size_t *nameBegin) {
    size_t i = begin;
    while (i < end && IsWhitespace(text[i])) {
        ++i;
    }
    *nameBegin = i;
    size_t j = i;
    while (j < end && !IsNameEnd(text[j])) {
        ++j;
    }
    return j - i;
}

bool XmlTokenizer::Next(XmlNode *node) {
    if (_pos >= _length) {
        return false;
    }
    *node = XmlNode();
    node->offset = _pos;
    if (_text[_pos] != '<') {
        ReadText(node);
        return true;
    }
    if (_pos + 1 >= _length) {
        Unterminated(node, "tag");
        return true;
    }
    size_t nameFrom = _pos + 2;
    switch (_text[_pos + 1]) {
        case '/':
            node->type = XmlNodeType::kEndTag;
            ReadUntil(node, ">", _pos + 2, "end_tag");
            break;
        case '?':
            node->type = XmlNodeType::kProcessingInstruction;
            ReadUntil(node, "?>", _pos + 2, "processing_instruction");
            break;
        case '!':
            ReadExclamation(node);
            return true;
        default:
            if (!StartsStartTag(_text[_pos + 1])) {
                Fail(node, "first_tag_syntax", 1);
                return true;
            }
            nameFrom = _pos + 1;
            ReadStartTag(node);
    }
    if (node->type != XmlNodeType::kBadMarkup) {
        node->name_length =
            NameLength(_text, nameFrom, node->offset + node->length, &node->name_offset);
    }
    return true;
}

void XmlTokenizer::ReadText(XmlNode *node) {
    const void *lt = std::memchr(_text + _pos, '<', _length - _pos);
    const size_t end = lt ? static_cast<const char *>(lt) - _text : _length;
    node->type = std::all_of(_text + _pos, _text + end, IsWhitespace) ? XmlNodeType::kWhitespace
                                                                      : XmlNodeType::kText;
    node->length = end - _pos;
    _pos = end;
}

void XmlTokenizer::ReadStartTag(XmlNode *node) {
    node->type = XmlNodeType::kStartTag;
    // Quotes count only where a value starts (after "="), so a stray apostrophe in a tag cannot
    // swallow the rest of the document.
    bool expectValue = false;
    bool inUnquotedValue = false;
    size_t i = _pos + 1;
    while (i < _length) {
        const char c = _text[i];
        if (c == '>') {
            // A slash that ends an unquoted value belongs to the value: <a href=x/> is not empty.
            if (!inUnquotedValue && _text[i - 1] == '/') {
                node->type = XmlNodeType::kEmptyElementTag;
            }
            node->length = i + 1 - node->offset;
            _pos = i + 1;
            return;
        }
        if (inUnquotedValue) {
            inUnquotedValue = !IsWhitespace(c);
        } else if (expectValue && !IsWhitespace(c)) {
            expectValue = false;
            if (c == '"' || c == '\'') {
                const void *close = std::memchr(_text + i + 1, c, _length - i - 1);
                if (!close) {
                    break;
                }
                i = static_cast<const char *>(close) - _text;
            } else {
                inUnquotedValue = true;
            }
        } else if (c == '=') {
            expectValue = true;
        }
        ++i;
    }
    Unterminated(node, "start_tag");
}

void XmlTokenizer::ReadExclamation(XmlNode *node) {
    if (_pos + 2 >= _length) {
        Unterminated(node, "tag");
        return;
    }
    const char third = _text[_pos + 2];
    const char fourth = _pos + 3 < _length ? _text[_pos + 3] : '\0';
    if (third == '-') {
        if (fourth != '-') {
            Fail(node, "comment_tag_syntax", 3);
            return;
        }
        node->type = XmlNodeType::kComment;
        ReadUntil(node, "-->", _pos + 4, "comment");
    } else if (third == '[') {
        if (fourth != 'C') {
            Fail(node, "cdata_section_syntax", 3);
            return;
        }
        node->type = XmlNodeType::kCDataSection;
        ReadUntil(node, "]]>", _pos + 4, "cdata_section");
    } else if (third == 'D') {
        ReadDocumentType(node);
    } else {
        Fail(node, "exclamation_tag_syntax", 2);
    }
}

void XmlTokenizer::ReadDocumentType(XmlNode *node) {
    node->type = XmlNodeType::kDocumentType;
    bool inSubset = false;
    size_t i = _pos + 3;
    while (i < _length) {
        const char c = _text[i];
        if (!inSubset) {
            if (c == '>') {
                node->length = i + 1 - node->offset;
                _pos = i + 1;
                return;
            }
            inSubset = c == '[';
            ++i;
        } else if (c == ']') {
            inSubset = false;
            ++i;
        } else if (c != '<') {
            ++i;
        } else if (i + 2 < _length && _text[i + 1] == '!' &&
                   StartsSubsetDeclaration(_text[i + 2])) {
            // Entity values may hold ">", so the declaration ends outside quotes.
            i = FindOutsideQuotes('>', i + 2) + 1;
        } else {
            if (!node->error) {
                node->error = "doctype_tag_syntax";
                node->error_offset = i;
            }
            const void *gt = std::memchr(_text + i, '>', _length - i);
            i = gt ? static_cast<const char *>(gt) - _text + 1 : _length;
        }
    }
    Unterminated(node, "document_type");
}

void XmlTokenizer::ReadUntil(XmlNode *node, const char *terminator, size_t from,
                             const char *openType) {
    const size_t terminatorLength = std::strlen(terminator);
    const void *found = from < _length
                            ? memmem(_text + from, _length - from, terminator, terminatorLength)
                            : nullptr;
    if (!found) {
        Unterminated(node, openType);
        return;
    }
    const size_t end = static_cast<const char *>(found) - _text + terminatorLength;
    node->length = end - node->offset;
    _pos = end;
}

void XmlTokenizer::Fail(XmlNode *node, const char *error, size_t skip) {
    node->type = XmlNodeType::kBadMarkup;
    node->error = error;
    node->error_offset = node->offset;
    node->length = skip;
    _pos += skip;
}

void XmlTokenizer::Unterminated(XmlNode *node, const char *openType) {
    node->type = XmlNodeType::kBadMarkup;
    node->error = "unterminated_tag_syntax";
    node->error_type = openType;
    node->error_offset = node->offset;
    node->length = _length - node->offset;
    _pos = _length;
}

size_t XmlTokenizer::FindOutsideQuotes(char c, size_t from) const {
    char quote = '\0';
    for (size_t i = from; i < _length; ++i) {
        const char here = _text[i];
        if (quote) {
            quote = here == quote ? '\0' : quote;
        } else if (here == '"' || here == '\'') {
            quote = here;
        } else if (here == c) {
            return i;
        }
    }
    return _length;
}
