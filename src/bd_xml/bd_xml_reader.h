#ifndef BD_XML_BD_XML_READER_H
#define BD_XML_BD_XML_READER_H

#include <cstdint>
#include <memory>
#include <string>

#include "bd_xml/xml_elem_index.h"
#include "bd_xml/xml_result_log.h"
#include "bd_xml/xml_text.h"

class XmlTagStack;
struct XmlFileContent;
struct XmlNode;

// Reads an XML file into memory as UTF-8 and indexes its elements by offset; a current position
// then walks them. Whatever the file holds, loading never fails hard: unreadable files give an
// empty document, bad markup is repaired (an element never ended becomes empty and its children
// follow it; a stray end tag is ignored) and reported through Load's result and GetResult().
//
// Positions: the parent is the element whose children are walked (0 = the document), the
// current position is one of those children (0 = before the first), and the child position is a
// child of the current element (always 0 after the moves offered here).
//
// A reader owns its document and element index. It is not thread-safe: one thread loads and
// walks it. Copying is disabled; a reader is loaded and walked in place.
class BdXmlReader {
  public:
    BdXmlReader();
    ~BdXmlReader();
    BdXmlReader(const BdXmlReader &) = delete;
    BdXmlReader &operator=(const BdXmlReader &) = delete;

    // Replaces the document with the file at `path` converted to UTF-8, parses it and moves to
    // the top. False when the file cannot be read (the document is then empty) or when it is
    // not well formed (no root element, a sibling of the root, or any markup error); in the
    // latter case the repaired document is still navigable. Accepts any path.
    bool Load(XmlText path);

    // Back to before the first child of the parent.
    void ResetMainPos();
    // Moves to the next child of the parent (the first one when the current position is 0)
    // whose tag name equals `name` exactly, or to the next child at all when `name` is null or
    // empty. False, without moving, when there is none.
    bool FindElem(XmlText name = XmlText());
    // Makes the current element the parent, positioned before its first child. False, without
    // moving, when the current position is 0.
    bool IntoElem();

    // The current element's tag name; empty when the current position is 0.
    std::string GetTagName() const;
    // The current element's text with character references decoded and CDATA sections
    // unwrapped; whitespace is kept. Empty when the current position is 0, when the element is
    // empty and when it has child elements.
    std::string GetData() const;

    // Diagnostics: what the last load did, one empty element per event.
    const std::string &GetResult() const { return _result.Text(); }
    // The encoding-form flags of the loaded file (the XmlFile flags).
    uint32_t GetDocFlags() const { return _docFlags; }

  private:
    void ResetToTop();
    void ResetIndex();
    void ConvertToDocument(XmlFileContent *content);
    void Parse();
    bool IsWellFormed() const;
    // Each returns false when the element record cannot hold the tag; indexing then stops.
    bool StartElement(const XmlNode &node, XmlTagStack *stack);
    bool EndElement(const XmlNode &node, XmlTagStack *stack);
    // Closes, outermost first, every element open at `fromDepth` or deeper as never ended.
    void CloseNeverEnded(XmlTagStack *stack, size_t fromDepth, size_t closedAt);
    void LinkLastChild(uint32_t parent, uint32_t child);
    void MoveChildrenAfter(uint32_t element);
    void MarkError(uint32_t element);
    void LogLimit(const char *what, size_t offset);
    uint32_t OpenParent(const XmlTagStack &stack) const;
    std::string TagName(uint32_t element) const;

    std::string _document;
    XmlResultLog _result;
    uint32_t _parentPos = 0;
    uint32_t _currentPos = 0;
    uint32_t _childPos = 0;
    uint32_t _freePos = 1;
    uint32_t _docFlags = 0;
    std::unique_ptr<XmlElemIndex> _elemIndex;
};

#endif  // BD_XML_BD_XML_READER_H
