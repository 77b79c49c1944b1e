// Reads the skin's XML into a tree of nodes, and chooses a node's class from
// its element name (also for copies of subtrees).
//
// Threading: UI thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <xercesc/sax2/DefaultHandler.hpp>

#include "ZAttributeStack.h"

class IZCommandEngine;
class ZInstance;
class ZTemplateNode;

// Makes one node of a class: (store, command engine, parent).
typedef ZTemplateNode* (*ZTemplateNodeCreator)(ZInstance* instance, IZCommandEngine* commandEngine,
                                               ZTemplateNode* parent);

// The element table: names searched in this order without regard to case,
// the first match decides; any other name takes ZTN_DEFAULT. "Row" and "Col"
// both make the row class, which keeps the element's own name.
enum ZTemplateNodeEntry : int {
    ZTN_WINDOW, ZTN_IMAGE, ZTN_BORDER, ZTN_ROW, ZTN_COL, ZTN_CELL, ZTN_FOREACH, ZTN_INPUT,
    ZTN_BUTTON, ZTN_BUDDYLIST, ZTN_EDIT, ZTN_COPY, ZTN_HISTORY, ZTN_GRADIENT, ZTN_SCROLLBAR, ZTN_TEXT,
    ZTN_WIZARD, ZTN_LIST, ZTN_SCREEN, ZTN_PROGRESS, ZTN_TABLE, ZTN_HOTKEY, ZTN_DEFAULT,
    ZTN_ENTRY_COUNT
};

struct ZTemplateNodeClass {
    const wchar_t* element;  // null for the default entry
    const char* className;   // the name the object tracker records
};

// The skin reader: a SAX2 content handler whose first element becomes the
// root, every start tag one node, attributes (names lower-cased) the node's
// raw attributes and character data its "text".
class ZTemplateFactory : public xercesc::DefaultHandler {
public:
    // The node library fills one creator per entry of the element table; the
    // program installs them before the first template is read. An entry left
    // null makes a plain ZTemplateNode.
    static void installCreators(const ZTemplateNodeCreator (&creators)[ZTN_ENTRY_COUNT]);
    static const ZTemplateNodeClass& entryClass(int entry);
    // The entry the element name chooses.
    static int findEntry(const std::wstring& element);

    // Constructs the chosen class, gives it a copy of the attributes and the
    // element name as written; the caller links it into the parent.
    static ZTemplateNode* create(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent,
                                 const std::wstring& element, const ZAttributeList& attributes);

    ZTemplateFactory() = default;
    // The root of the file's tree, owned by the caller. A file that cannot be
    // read or parsed, or that nests deeper or holds more elements than any
    // skin needs, is reported in a message box and ends the process with
    // exit code 1.
    static constexpr std::size_t kMaxDepth = 256;
    static constexpr std::size_t kMaxElements = 100000;
    ZTemplateNode* load(ZInstance* instance, IZCommandEngine* commandEngine, const std::wstring& filename);
    // The same without the way out: null, with the reason and its line in
    // failure ("<reason> on line <n>"), for a file load would refuse.
    ZTemplateNode* parse(ZInstance* instance, IZCommandEngine* commandEngine, const std::wstring& filename,
                         std::wstring& failure);

    void startElement(const XMLCh* uri, const XMLCh* localname, const XMLCh* qname,
                      const xercesc::Attributes& attributes) override;
    void endElement(const XMLCh* uri, const XMLCh* localname, const XMLCh* qname) override;
    void characters(const XMLCh* chars, const XMLSize_t length) override;
    void setDocumentLocator(const xercesc::Locator* const locator) override;

private:
    // Appends the run of text read since the last tag to the open node.
    void _flushText();

    ZInstance* _instance = nullptr;
    IZCommandEngine* _commandEngine = nullptr;
    ZTemplateNode* _root = nullptr;
    std::vector<ZTemplateNode*> _nodeStack;
    std::wstring _pendingText;
    std::size_t _elements = 0;
    const xercesc::Locator* _locator = nullptr;
};
