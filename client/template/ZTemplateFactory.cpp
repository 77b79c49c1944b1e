#include "ZTemplateFactory.h"

#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>

#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLException.hpp>

#include "ZNonPortable_Runtime.h"
#include "ZPortable_Text.h"
#include "ZTemplateNode.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

static_assert(sizeof(XMLCh) == 2, "XMLCh holds UTF-16 units, as our wide strings do");

namespace {

const ZTemplateNodeClass kElementTable[ZTN_ENTRY_COUNT] = {
    {L"Window", "ZWindowNode"},     {L"Image", "ZImageNode"},         {L"Border", "ZBorderNode"},
    {L"Row", "ZRowNode"},           {L"Col", "ZRowNode"},             {L"Cell", "ZCellNode"},
    {L"Foreach", "ZForeachNode"},   {L"Input", "ZInputNode"},         {L"Button", "ZButtonNode"},
    {L"BuddyList", "ZBuddyListNode"}, {L"Edit", "ZEditNode"},         {L"Copy", "ZCopyNode"},
    {L"History", "ZHistoryNode"},   {L"Gradient", "ZGradientNode"},   {L"ScrollBar", "ZScrollBarNode"},
    {L"Text", "ZTextNode"},         {L"Wizard", "ZWizardNode"},       {L"List", "ZListNode"},
    {L"Screen", "ZScreenNode"},     {L"Progress", "ZProgressNode"},   {L"Table", "ZTableNode"},
    {L"Hotkey", "ZHotkeyNode"},     {nullptr, "ZDefaultNode"},
};

ZTemplateNodeCreator gCreators[ZTN_ENTRY_COUNT] = {};

// Entity references of its own a skin may expand in all (the predefined
// ones such as &amp; do not count); a hand-written skin needs few or none.
constexpr XMLSize_t ZTEMPLATE_ENTITY_EXPANSION_LIMIT = 100;

std::wstring fromXMLCh(const XMLCh* text, std::size_t length) {
    return text ? std::wstring(text, text + length) : std::wstring();
}

std::wstring fromXMLCh(const XMLCh* text) {
    return text ? fromXMLCh(text, xercesc::XMLString::stringLen(text)) : std::wstring();
}

}  // namespace

void ZTemplateFactory::installCreators(const ZTemplateNodeCreator (&creators)[ZTN_ENTRY_COUNT]) {
    for (int i = 0; i < ZTN_ENTRY_COUNT; ++i) gCreators[i] = creators[i];
}

const ZTemplateNodeClass& ZTemplateFactory::entryClass(int entry) {
    return kElementTable[entry >= 0 && entry < ZTN_ENTRY_COUNT ? entry : ZTN_DEFAULT];
}

int ZTemplateFactory::findEntry(const std::wstring& element) {
    for (int i = 0; i < ZTN_DEFAULT; ++i)
        if (ZCaseEquals(element, kElementTable[i].element)) return i;
    return ZTN_DEFAULT;
}

ZTemplateNode* ZTemplateFactory::create(ZInstance* instance, IZCommandEngine* commandEngine,
                                        ZTemplateNode* parent, const std::wstring& element,
                                        const ZAttributeList& attributes) {
    ZTRACE();
    const int entry = findEntry(element);
    ZTemplateNode* node = gCreators[entry] ? gCreators[entry](instance, commandEngine, parent)
                                           : new ZTemplateNode(instance, commandEngine, parent);
    ZHeapObject::trackMemory(node, __FILE__, ZFUNC, __LINE__, kElementTable[entry].className);
    node->setAttributes(attributes);
    node->setName(element);
    return node;
}

ZTemplateNode* ZTemplateFactory::load(ZInstance* instance, IZCommandEngine* commandEngine,
                                      const std::wstring& filename) {
    ZTRACE();
    std::wstring failure;
    ZTemplateNode* root = parse(instance, commandEngine, filename, failure);
    if (!failure.empty()) {
        std::wstring text = L"ERROR while parsing '";
        text << filename << L"': " << failure << L", exiting.";
        ZLOG(text);
        ZSystemMessageBox(L"Zandrel Skin Error", text, ZMB_OK | ZMB_ICONERROR);
        std::exit(1);
    }
    return root;
}

ZTemplateNode* ZTemplateFactory::parse(ZInstance* instance, IZCommandEngine* commandEngine,
                                       const std::wstring& filename, std::wstring& failure) {
    ZTRACE();
    failure.clear();
    _instance = instance;
    _commandEngine = commandEngine;
    _root = nullptr;
    _nodeStack.clear();
    _pendingText.clear();
    _elements = 0;
    _locator = nullptr;

    // A file the reader cannot open takes the same way out as a parse error.
    bool failed = false;
    std::wstring message;
    std::uint64_t line = 0;
    std::string probe;
    if (!ZFileLoad(filename, probe)) {
        failed = true;
        message = L"the file cannot be read";
    } else {
        xercesc::XMLPlatformUtils::Initialize();
        {
            std::unique_ptr<xercesc::SAX2XMLReader> reader(xercesc::XMLReaderFactory::createXMLReader());
            // A skin names no outside DTD or entity, and none is ever fetched.
            reader->setFeature(xercesc::XMLUni::fgXercesLoadExternalDTD, false);
            reader->setFeature(xercesc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
            reader->setFeature(xercesc::XMLUni::fgSAX2CoreValidation, false);
            // Nested internal entities cannot blow a small file up into gigabytes.
            xercesc::SecurityManager security;
            security.setEntityExpansionLimit(ZTEMPLATE_ENTITY_EXPANSION_LIMIT);
            reader->setProperty(xercesc::XMLUni::fgXercesSecurityManager, &security);
            reader->setContentHandler(this);
            reader->setErrorHandler(this);
            const std::string name = ZToUTF8(filename);
            try {
                reader->parse(name.c_str());
            } catch (const xercesc::SAXParseException& e) {
                failed = true;
                message = fromXMLCh(e.getMessage());
                line = e.getLineNumber();
            } catch (const xercesc::XMLException& e) {
                failed = true;
                message = fromXMLCh(e.getMessage());
            }
        }
        _locator = nullptr;
        xercesc::XMLPlatformUtils::Terminate();
    }
    if (failed) {
        failure = message + L" on line ";
        failure << static_cast<unsigned long long>(line);
        // What was read before the fault is of no use.
        delete _root;
        _root = nullptr;
        _nodeStack.clear();
        return nullptr;
    }
    ZWARNASSERT(_nodeStack.empty( ));
    return _root;
}

void ZTemplateFactory::startElement(const XMLCh*, const XMLCh*, const XMLCh* qname,
                                    const xercesc::Attributes& attributes) {
    _flushText();
    // Refused before the node is made: a hostile skin would otherwise take
    // all memory, or the stack of every pass that walks the tree.
    const wchar_t* refusal = nullptr;
    if (_nodeStack.size() >= kMaxDepth) refusal = L"the skin nests elements deeper than 256 levels";
    if (_elements >= kMaxElements) refusal = L"the skin holds more than 100000 elements";
    if (refusal) {
        const std::u16string text(refusal, refusal + std::wcslen(refusal));
        if (_locator) throw xercesc::SAXParseException(reinterpret_cast<const XMLCh*>(text.c_str()), *_locator);
        throw xercesc::SAXParseException(reinterpret_cast<const XMLCh*>(text.c_str()), nullptr, nullptr, 0, 0);
    }
    ++_elements;
    ZAttributeList list;
    for (XMLSize_t i = 0; i < attributes.getLength(); ++i)
        list.emplace_back(ZToLower(fromXMLCh(attributes.getQName(i))), fromXMLCh(attributes.getValue(i)));
    ZTemplateNode* parent = _nodeStack.empty() ? nullptr : _nodeStack.back();
    ZTemplateNode* node = create(_instance, _commandEngine, parent, fromXMLCh(qname), list);
    if (parent)
        parent->addChild(node);
    else
        _root = node;
    _nodeStack.push_back(node);
}

void ZTemplateFactory::setDocumentLocator(const xercesc::Locator* const locator) {
    _locator = locator;
}

void ZTemplateFactory::endElement(const XMLCh*, const XMLCh*, const XMLCh*) {
    _flushText();
    if (!_nodeStack.empty()) _nodeStack.pop_back();
}

void ZTemplateFactory::characters(const XMLCh* chars, const XMLSize_t length) {
    // The reader splits one run of text wherever it likes (at an entity
    // such as &amp;, at the end of its buffer); the run is collapsed whole.
    _pendingText.append(fromXMLCh(chars, length));
}

void ZTemplateFactory::_flushText() {
    const std::wstring text = ZCollapseWhitespace(_pendingText);
    _pendingText.clear();
    if (text.empty() || _nodeStack.empty()) return;
    ZTemplateNode* node = _nodeStack.back();
    node->setAttribute(L"text", node->getAttribute(L"text") + text);
}
