#include "bd_xml/xml_tokenizer.h"

#include <cstring>

namespace {

bool IsNameEnd(char c) {
    switch (c) {
        case '!':
        case '"':
        case '\'':
        case '/':
        case ';':
        case '<':
        case '=':
        case '>':
        case '?':
        case '\\':
            return true;
        default:
            return XmlTokenizer::IsWhitespace(c);
    }
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
    if (pos_ >= length_) {
        return false;
    }
    *node = XmlNode();
    node->offset = pos_;
    if (text_[pos_] != '<') {
        ReadText(node);
        return true;
    }
    if (pos_ + 1 >= length_) {
        Unterminated(node, "tag");
        return true;
    }
    size_t nameFrom = pos_ + 2;
    switch (text_[pos_ + 1]) {
        case '/':
            node->type = XmlNodeType::kEndTag;
            ReadUntil(node, ">", pos_ + 2, "end_tag");
            break;
        case '?':
            node->type = XmlNodeType::kProcessingInstruction;
            ReadUntil(node, "?>", pos_ + 2, "processing_instruction");
            break;
        case '!':
            ReadExclamation(node);
            return true;
        default:
            if (!StartsStartTag(text_[pos_ + 1])) {
                Fail(node, "first_tag_syntax", 1);
                return true;
            }
            nameFrom = pos_ + 1;
            ReadStartTag(node);
    }
    if (node->type != XmlNodeType::kBadMarkup) {
        node->name_length =
            NameLength(text_, nameFrom, node->offset + node->length, &node->name_offset);
    }
    return true;
}

void XmlTokenizer::ReadText(XmlNode *node) {
    const void *lt = std::memchr(text_ + pos_, '<', length_ - pos_);
    const size_t end = lt ? static_cast<const char *>(lt) - text_ : length_;
    node->type = XmlNodeType::kWhitespace;
    for (size_t i = pos_; i < end; ++i) {
        if (!IsWhitespace(text_[i])) {
            node->type = XmlNodeType::kText;
            break;
        }
    }
    node->length = end - pos_;
    pos_ = end;
}

void XmlTokenizer::ReadStartTag(XmlNode *node) {
    node->type = XmlNodeType::kStartTag;
    // Quotes count only where a value starts (after "="), so a stray apostrophe in a tag cannot
    // swallow the rest of the document.
    bool expectValue = false;
    bool inUnquotedValue = false;
    size_t i = pos_ + 1;
    while (i < length_) {
        const char c = text_[i];
        if (c == '>') {
            // A slash that ends an unquoted value belongs to the value: <a href=x/> is not empty.
            if (!inUnquotedValue && text_[i - 1] == '/') {
                node->type = XmlNodeType::kEmptyElementTag;
            }
            node->length = i + 1 - node->offset;
            pos_ = i + 1;
            return;
        }
        if (inUnquotedValue) {
            inUnquotedValue = !IsWhitespace(c);
        } else if (expectValue && !IsWhitespace(c)) {
            expectValue = false;
            if (c == '"' || c == '\'') {
                const void *close = std::memchr(text_ + i + 1, c, length_ - i - 1);
                if (!close) {
                    break;
                }
                i = static_cast<const char *>(close) - text_;
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
    if (pos_ + 2 >= length_) {
        Unterminated(node, "tag");
        return;
    }
    const char third = text_[pos_ + 2];
    const char fourth = pos_ + 3 < length_ ? text_[pos_ + 3] : '\0';
    if (third == '-') {
        if (fourth != '-') {
            Fail(node, "comment_tag_syntax", 3);
            return;
        }
        node->type = XmlNodeType::kComment;
        ReadUntil(node, "-->", pos_ + 4, "comment");
    } else if (third == '[') {
        if (fourth != 'C') {
            Fail(node, "cdata_section_syntax", 3);
            return;
        }
        node->type = XmlNodeType::kCDataSection;
        ReadUntil(node, "]]>", pos_ + 4, "cdata_section");
    } else if (third == 'D') {
        ReadDocumentType(node);
    } else {
        Fail(node, "exclamation_tag_syntax", 2);
    }
}

void XmlTokenizer::ReadDocumentType(XmlNode *node) {
    node->type = XmlNodeType::kDocumentType;
    bool inSubset = false;
    size_t i = pos_ + 3;
    while (i < length_) {
        const char c = text_[i];
        if (!inSubset) {
            if (c == '>') {
                node->length = i + 1 - node->offset;
                pos_ = i + 1;
                return;
            }
            inSubset = c == '[';
            ++i;
        } else if (c == ']') {
            inSubset = false;
            ++i;
        } else if (c != '<') {
            ++i;
        } else if (i + 2 < length_ && text_[i + 1] == '!' &&
                   StartsSubsetDeclaration(text_[i + 2])) {
            // Entity values may hold ">", so the declaration ends outside quotes.
            i = FindOutsideQuotes('>', i + 2) + 1;
        } else {
            if (!node->error) {
                node->error = "doctype_tag_syntax";
                node->error_offset = i;
            }
            const void *gt = std::memchr(text_ + i, '>', length_ - i);
            i = gt ? static_cast<const char *>(gt) - text_ + 1 : length_;
        }
    }
    Unterminated(node, "document_type");
}

void XmlTokenizer::ReadUntil(XmlNode *node, const char *terminator, size_t from,
                             const char *openType) {
    const size_t terminatorLength = std::strlen(terminator);
    const void *found = from < length_
                            ? memmem(text_ + from, length_ - from, terminator, terminatorLength)
                            : nullptr;
    if (!found) {
        Unterminated(node, openType);
        return;
    }
    const size_t end = static_cast<const char *>(found) - text_ + terminatorLength;
    node->length = end - node->offset;
    pos_ = end;
}

void XmlTokenizer::Fail(XmlNode *node, const char *error, size_t skip) {
    node->type = XmlNodeType::kBadMarkup;
    node->error = error;
    node->error_offset = node->offset;
    node->length = skip;
    pos_ += skip;
}

void XmlTokenizer::Unterminated(XmlNode *node, const char *openType) {
    node->type = XmlNodeType::kBadMarkup;
    node->error = "unterminated_tag_syntax";
    node->error_type = openType;
    node->error_offset = node->offset;
    node->length = length_ - node->offset;
    pos_ = length_;
}

size_t XmlTokenizer::FindOutsideQuotes(char c, size_t from) const {
    char quote = '\0';
    for (size_t i = from; i < length_; ++i) {
        const char here = text_[i];
        if (quote) {
            quote = here == quote ? '\0' : quote;
        } else if (here == '"' || here == '\'') {
            quote = here;
        } else if (here == c) {
            return i;
        }
    }
    return length_;
}
