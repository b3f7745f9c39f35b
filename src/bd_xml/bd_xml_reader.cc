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

BdXmlReader::BdXmlReader() : _elemIndex(new XmlElemIndex) {}

BdXmlReader::~BdXmlReader() = default;

bool BdXmlReader::Load(XmlText path) {
    _result.Clear();
    _document.clear();
    _docFlags = 0;
    XmlFileContent content;
    bool read;
    {
        XmlFile file(&_result);
        read = file.Open(path.Get()) && file.Read(&content);
    }
    if (!read) {
        ResetIndex();
        ResetToTop();
        return false;
    }
    _docFlags = content.flags;
    ConvertToDocument(&content);
    Parse();
    return IsWellFormed();
}

void BdXmlReader::ResetMainPos() {
    _currentPos = 0;
    _childPos = 0;
}

bool BdXmlReader::FindElem(XmlText name) {
    const XmlElemIndex &index = *_elemIndex;
    uint32_t i = _currentPos ? index[_currentPos].next_sibling : index[_parentPos].first_child;
    for (; i != 0; i = index[i].next_sibling) {
        if (name.IsEmpty() || TagName(i) == name.Get()) {
            _currentPos = i;
            _childPos = 0;
            return true;
        }
    }
    return false;
}

bool BdXmlReader::IntoElem() {
    if (_currentPos == 0) {
        return false;
    }
    _parentPos = _currentPos;
    _currentPos = _childPos;
    _childPos = 0;
    return true;
}

std::string BdXmlReader::GetTagName() const {
    return _currentPos ? TagName(_currentPos) : std::string();
}

std::string BdXmlReader::GetData() const {
    std::string data;
    if (_currentPos == 0) {
        return data;
    }
    const XmlElemRecord &element = (*_elemIndex)[_currentPos];
    if (element.IsEmpty() || element.first_child != 0) {
        return data;
    }
    const char *content = _document.data() + element.start + element.StartTagLength();
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
    _parentPos = 0;
    _currentPos = 0;
    _childPos = 0;
}

void BdXmlReader::ResetIndex() {
    _elemIndex.reset(new XmlElemIndex);
    _freePos = 1;
}

void BdXmlReader::ConvertToDocument(XmlFileContent *content) {
    if (content->IsUtf16()) {
        _document = XmlEncoding::Utf16ToUtf8(content->bytes, &_result);
    } else if (!XmlEncoding::IconvToUtf8(content->bytes, content->encoding, &_result, &_document)) {
        _document.swap(content->bytes);  // no conversion known: take the bytes as they are
    }
}

void BdXmlReader::Parse() {
    ResetToTop();
    ResetIndex();
    if (_document.size() > kMaxDocumentLength) {
        LogLimit("document", 0);
        return;
    }
    _elemIndex->Reserve(_document.size() / 64 + 8);

    XmlTagStack stack;
    XmlTokenizer tokenizer(_document.data(), _document.size());
    XmlNode node;
    bool indexing = true;
    while (indexing && tokenizer.Next(&node)) {
        if (node.error) {
            XmlResultLog::Attributes attributes;
            if (node.error_type) {
                attributes.emplace_back("type", node.error_type);
            }
            attributes.emplace_back("offset", std::to_string(node.error_offset));
            _result.Add(node.error, attributes);
            MarkError(OpenParent(stack));
        }
        if (node.type == XmlNodeType::kStartTag || node.type == XmlNodeType::kEmptyElementTag) {
            indexing = StartElement(node, &stack);
        } else if (node.type == XmlNodeType::kEndTag) {
            indexing = EndElement(node, &stack);
        }
    }
    CloseNeverEnded(&stack, 0, _document.size());

    const XmlElemIndex &index = *_elemIndex;
    if (index[0].first_child == 0) {
        _result.Add("no_root_element");
    } else if (index[index[0].first_child].next_sibling != 0) {
        _result.Add("root_has_sibling");
    }
    ResetToTop();
}

bool BdXmlReader::IsWellFormed() const {
    const XmlElemIndex &index = *_elemIndex;
    const uint32_t root = index[0].first_child;
    return root != 0 && index[root].next_sibling == 0 &&
           (index[0].level_flags & XmlElemRecord::kDocumentHasErrors) == 0;
}

bool BdXmlReader::StartElement(const XmlNode &node, XmlTagStack *stack) {
    const uint32_t parent = OpenParent(*stack);
    const uint32_t level = (*_elemIndex)[parent].Level() + 1;
    if (node.length > XmlElemRecord::kMaxStartTagLength) {
        LogLimit("start_tag", node.offset);
        return false;
    }
    if (level > XmlElemRecord::kMaxLevel) {
        LogLimit("nesting", node.offset);
        return false;
    }
    if (_freePos >= _elemIndex->Capacity()) {
        _elemIndex->Grow(_freePos);
    }
    const uint32_t i = _freePos++;
    XmlElemRecord &element = (*_elemIndex)[i];
    element = XmlElemRecord();
    element.start = static_cast<uint32_t>(node.offset);
    element.SetTagLengths(static_cast<uint32_t>(node.length), 0);
    element.SetLevel(level);
    LinkLastChild(parent, i);
    if (node.type == XmlNodeType::kEmptyElementTag) {
        element.length = static_cast<uint32_t>(node.length);
    } else {
        stack->Push(std::string_view(_document.data() + node.name_offset, node.name_length), i);
    }
    return true;
}

bool BdXmlReader::EndElement(const XmlNode &node, XmlTagStack *stack) {
    if (node.length > XmlElemRecord::kMaxEndTagLength) {
        LogLimit("end_tag", node.offset);
        return false;
    }
    const std::string_view name(_document.data() + node.name_offset, node.name_length);
    size_t depth;
    if (!stack->FindInnermost(name, &depth)) {
        _result.Add("lone_end_tag",
                    {{"tagname", std::string(name)}, {"offset", std::to_string(node.offset)}});
        MarkError(OpenParent(*stack));
        return true;
    }
    CloseNeverEnded(stack, depth + 1, node.offset);
    XmlElemRecord &element = (*_elemIndex)[stack->RecordAt(depth)];
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
        XmlElemRecord &element = (*_elemIndex)[i];
        element.length = element.StartTagLength();
        element.level_flags |= XmlElemRecord::kNeverEnded;
        _result.Add("unended_start_tag", {{"tagname", TagName(i)},
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
    XmlElemIndex &index = *_elemIndex;
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
    XmlElemIndex &index = *_elemIndex;
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
    (*_elemIndex)[element].level_flags |= XmlElemRecord::kErrorInside;
    (*_elemIndex)[0].level_flags |= XmlElemRecord::kDocumentHasErrors;
}

void BdXmlReader::LogLimit(const char *what, size_t offset) {
    _result.Add("record_limit", {{"type", what}, {"offset", std::to_string(offset)}});
    MarkError(0);
}

uint32_t BdXmlReader::OpenParent(const XmlTagStack &stack) const {
    return stack.Empty() ? 0 : stack.RecordAt(stack.Size() - 1);
}

std::string BdXmlReader::TagName(uint32_t element) const {
    const XmlElemRecord &record = (*_elemIndex)[element];
    size_t nameBegin;
    const size_t length = XmlTokenizer::NameLength(
        _document.data(), record.start + 1, record.start + record.StartTagLength(), &nameBegin);
    return _document.substr(nameBegin, length);
}
