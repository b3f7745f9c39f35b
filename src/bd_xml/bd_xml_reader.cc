#include "bd_xml/bd_xml_reader.h"

#include <cstring>
#include <limits>
#include <string_view>

#include "bd_xml/xml_char_reference.h"
#include "bd_xml/xml_encoding.h"
#include "bd_xml/xml_file.h"
#include "bd_xml/xml_tag_stack.h"
#include "bd_xml/xml_tokenizer.h"

namespace {

// Record offsets are 32-bit.
constexpr size_t kMaxDocumentLength = std::numeric_limits<uint32_t>::max();

// The "<![CDATA[" and "]]>" around a CDATA section's text.
constexpr size_t kCDataOpenLength = 9;
constexpr size_t kCDataCloseLength = 3;

}  // namespace

BdXmlReader::BdXmlReader() : elem_index_(new XmlElemIndex) {}

BdXmlReader::~BdXmlReader() = default;

bool BdXmlReader::Load(XmlText path) {
    result_.Clear();
    document_.clear();
    doc_flags_ = 0;
    XmlFileContent content;
    bool read;
    {
        XmlFile file(&result_);
        read = file.Open(path.Get()) && file.Read(&content);
    }
    if (!read) {
        ResetIndex();
        ResetToTop();
        return false;
    }
    doc_flags_ = content.flags;
    ConvertToDocument(&content);
    Parse();
    return IsWellFormed();
}

void BdXmlReader::ResetMainPos() {
    current_pos_ = 0;
    child_pos_ = 0;
}

bool BdXmlReader::FindElem(XmlText name) {
    const XmlElemIndex &index = *elem_index_;
    uint32_t i = current_pos_ ? index[current_pos_].next_sibling : index[parent_pos_].first_child;
    for (; i != 0; i = index[i].next_sibling) {
        if (name.IsEmpty() || TagName(i) == name.Get()) {
            current_pos_ = i;
            child_pos_ = 0;
            return true;
        }
    }
    return false;
}

bool BdXmlReader::IntoElem() {
    if (current_pos_ == 0) {
        return false;
    }
    parent_pos_ = current_pos_;
    current_pos_ = child_pos_;
    child_pos_ = 0;
    return true;
}

std::string BdXmlReader::GetTagName() const {
    return current_pos_ ? TagName(current_pos_) : std::string();
}

std::string BdXmlReader::GetData() const {
    std::string data;
    if (current_pos_ == 0) {
        return data;
    }
    const XmlElemRecord &element = (*elem_index_)[current_pos_];
    if (element.IsEmpty() || element.first_child != 0) {
        return data;
    }
    const char *content = document_.data() + element.start + element.StartTagLength();
    const size_t length = element.length - element.StartTagLength() - element.EndTagLength();
    if (!std::memchr(content, '<', length)) {
        XmlCharReference::AppendDecoded(content, length, &data);
        return data;
    }
    // Markup inside the text: keep the text and the CDATA sections, drop comments, processing
    // instructions and the whitespace between markup.
    XmlTokenizer tokenizer(content, length);
    XmlNode node;
    while (tokenizer.Next(&node)) {
        if (node.type == XmlNodeType::kText) {
            XmlCharReference::AppendDecoded(content + node.offset, node.length, &data);
        } else if (node.type == XmlNodeType::kCDataSection &&
                   node.length >= kCDataOpenLength + kCDataCloseLength) {
            data.append(content + node.offset + kCDataOpenLength,
                        node.length - kCDataOpenLength - kCDataCloseLength);
        }
    }
    return data;
}

void BdXmlReader::ResetToTop() {
    parent_pos_ = 0;
    current_pos_ = 0;
    child_pos_ = 0;
}

void BdXmlReader::ResetIndex() {
    elem_index_.reset(new XmlElemIndex);
    free_pos_ = 1;
}

void BdXmlReader::ConvertToDocument(XmlFileContent *content) {
    if (content->IsUtf16()) {
        document_ = XmlEncoding::Utf16ToUtf8(content->bytes, &result_);
    } else if (!XmlEncoding::IconvToUtf8(content->bytes, content->encoding, &result_, &document_)) {
        document_.swap(content->bytes);  // no conversion known: take the bytes as they are
    }
}

void BdXmlReader::Parse() {
    ResetToTop();
    ResetIndex();
    if (document_.size() > kMaxDocumentLength) {
        LogLimit("document", 0);
        return;
    }
    elem_index_->Reserve(document_.size() / 64 + 8);

    XmlTagStack stack;
    XmlTokenizer tokenizer(document_.data(), document_.size());
    XmlNode node;
    bool indexing = true;
    while (indexing && tokenizer.Next(&node)) {
        if (node.error) {
            XmlResultLog::Attributes attributes;
            if (node.error_type) {
                attributes.emplace_back("type", node.error_type);
            }
            attributes.emplace_back("offset", std::to_string(node.error_offset));
            result_.Add(node.error, attributes);
            MarkError(OpenParent(stack));
        }
        if (node.type == XmlNodeType::kStartTag || node.type == XmlNodeType::kEmptyElementTag) {
            indexing = StartElement(node, &stack);
        } else if (node.type == XmlNodeType::kEndTag) {
            indexing = EndElement(node, &stack);
        }
    }
    CloseNeverEnded(&stack, 0, document_.size());

    const XmlElemIndex &index = *elem_index_;
    if (index[0].first_child == 0) {
        result_.Add("no_root_element");
    } else if (index[index[0].first_child].next_sibling != 0) {
        result_.Add("root_has_sibling");
    }
    ResetToTop();
}

bool BdXmlReader::IsWellFormed() const {
    const XmlElemIndex &index = *elem_index_;
    const uint32_t root = index[0].first_child;
    return root != 0 && index[root].next_sibling == 0 &&
           (index[0].level_flags & XmlElemRecord::kDocumentHasErrors) == 0;
}

bool BdXmlReader::StartElement(const XmlNode &node, XmlTagStack *stack) {
    const uint32_t parent = OpenParent(*stack);
    const uint32_t level = (*elem_index_)[parent].Level() + 1;
    if (node.length > XmlElemRecord::kMaxStartTagLength) {
        LogLimit("start_tag", node.offset);
        return false;
    }
    if (level > XmlElemRecord::kMaxLevel) {
        LogLimit("nesting", node.offset);
        return false;
    }
    if (free_pos_ >= elem_index_->Capacity()) {
        elem_index_->Grow(free_pos_);
    }
    const uint32_t i = free_pos_++;
    XmlElemRecord &element = (*elem_index_)[i];
    element = XmlElemRecord();
    element.start = static_cast<uint32_t>(node.offset);
    element.SetTagLengths(static_cast<uint32_t>(node.length), 0);
    element.SetLevel(level);
    LinkLastChild(parent, i);
    if (node.type == XmlNodeType::kEmptyElementTag) {
        element.length = static_cast<uint32_t>(node.length);
    } else {
        stack->Push(std::string_view(document_.data() + node.name_offset, node.name_length), i);
    }
    return true;
}

bool BdXmlReader::EndElement(const XmlNode &node, XmlTagStack *stack) {
    if (node.length > XmlElemRecord::kMaxEndTagLength) {
        LogLimit("end_tag", node.offset);
        return false;
    }
    const std::string_view name(document_.data() + node.name_offset, node.name_length);
    size_t depth;
    if (!stack->FindInnermost(name, &depth)) {
        result_.Add("lone_end_tag",
                    {{"tagname", std::string(name)}, {"offset", std::to_string(node.offset)}});
        MarkError(OpenParent(*stack));
        return true;
    }
    CloseNeverEnded(stack, depth + 1, node.offset);
    XmlElemRecord &element = (*elem_index_)[stack->RecordAt(depth)];
    element.SetTagLengths(element.StartTagLength(), static_cast<uint32_t>(node.length));
    element.length = static_cast<uint32_t>(node.offset + node.length - element.start);
    stack->Pop();
    return true;
}

void BdXmlReader::CloseNeverEnded(XmlTagStack *stack, size_t fromDepth, size_t closedAt) {
    // Outermost first: each element's children move up to its parent once and never again,
    // which keeps a pile of unended tags linear to repair.
    for (size_t depth = fromDepth; depth < stack->Size(); ++depth) {
        const uint32_t i = stack->RecordAt(depth);
        XmlElemRecord &element = (*elem_index_)[i];
        element.length = element.StartTagLength();
        element.level_flags |= XmlElemRecord::kNeverEnded;
        result_.Add("unended_start_tag", {{"tagname", TagName(i)},
                                          {"offset", std::to_string(element.start)},
                                          {"offset2", std::to_string(closedAt)}});
        MarkError(element.parent);
        MoveChildrenAfter(i);
    }
    while (stack->Size() > fromDepth) {
        stack->Pop();
    }
}

void BdXmlReader::LinkLastChild(uint32_t parent, uint32_t child) {
    XmlElemIndex &index = *elem_index_;
    index[child].parent = parent;
    index[child].next_sibling = 0;
    const uint32_t first = index[parent].first_child;
    if (first == 0) {
        index[parent].first_child = child;
        index[child].prev_sibling = child;
        index[child].level_flags |= XmlElemRecord::kFirstChild;
        return;
    }
    const uint32_t last = index[first].prev_sibling;
    index[last].next_sibling = child;
    index[child].prev_sibling = last;
    index[first].prev_sibling = child;
}

void BdXmlReader::MoveChildrenAfter(uint32_t element) {
    // The element is still open, so it is the last child of its parent and its children can be
    // spliced in right after it.
    XmlElemIndex &index = *elem_index_;
    const uint32_t first = index[element].first_child;
    if (first == 0) {
        return;
    }
    const uint32_t parent = index[element].parent;
    const uint32_t last = index[first].prev_sibling;
    // Only the moved children are re-levelled; their own descendants keep the level they were
    // opened at, because walking whole subtrees on every repair would be quadratic on hostile
    // input and nothing navigates by level.
    for (uint32_t child = first; child != 0; child = index[child].next_sibling) {
        index[child].parent = parent;
        index[child].SetLevel(index[element].Level());
    }
    index[first].level_flags &= ~XmlElemRecord::kFirstChild;
    index[first].prev_sibling = element;
    index[element].next_sibling = first;
    index[element].first_child = 0;
    index[index[parent].first_child].prev_sibling = last;
}

void BdXmlReader::MarkError(uint32_t element) {
    (*elem_index_)[element].level_flags |= XmlElemRecord::kErrorInside;
    (*elem_index_)[0].level_flags |= XmlElemRecord::kDocumentHasErrors;
}

void BdXmlReader::LogLimit(const char *what, size_t offset) {
    result_.Add("record_limit", {{"type", what}, {"offset", std::to_string(offset)}});
    MarkError(0);
}

uint32_t BdXmlReader::OpenParent(const XmlTagStack &stack) const {
    return stack.Empty() ? 0 : stack.RecordAt(stack.Size() - 1);
}

std::string BdXmlReader::TagName(uint32_t element) const {
    const XmlElemRecord &record = (*elem_index_)[element];
    size_t nameBegin;
    const size_t length = XmlTokenizer::NameLength(
        document_.data(), record.start + 1, record.start + record.StartTagLength(), &nameBegin);
    return document_.substr(nameBegin, length);
}
