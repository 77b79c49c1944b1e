// The skin reader on real files.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZTestNode.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

using namespace zantest;

namespace {

class TemplateReaderTest : public ::testing::Test {
protected:
    void SetUp() override { installTestNodes(); }

    std::unique_ptr<ZTemplateNode> read(const std::string& xml) {
        ZTestWriteFile(dir.file("template.xml"), xml);
        ZTemplateFactory factory;
        return std::unique_ptr<ZTemplateNode>(factory.load(&instance, &engine, ZFromUTF8(dir.file("template.xml"))));
    }

    int entryOf(ZTemplateNode* node) { return static_cast<ZTestNode*>(node)->entry; }

    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZTestCommandEngine engine;
};

std::string childLogPath;

void writeToChildLog(const std::wstring& line) {
    if (FILE* f = std::fopen(childLogPath.c_str(), "a")) {
        std::fputs(ZToUTF8(line).c_str(), f);
        std::fclose(f);
    }
}

}  // namespace

TEST_F(TemplateReaderTest, ElementsChooseTheirEntryWithoutRegardToCase) {
    auto root = read(
        "<Skin>\n"
        "  <WINDOW/><window/><Window/><Gauge/><Col/><row/><HOTKEY/><BuddyList/>\n"
        "</Skin>\n");
    ASSERT_TRUE(root);
    EXPECT_EQ(entryOf(root.get()), ZTN_DEFAULT);
    const std::vector<int> expected = {ZTN_WINDOW, ZTN_WINDOW, ZTN_WINDOW, ZTN_DEFAULT,
                                       ZTN_COL,    ZTN_ROW,    ZTN_HOTKEY, ZTN_BUDDYLIST};
    std::vector<int> entries;
    std::vector<std::wstring> names;
    for (ZTemplateNode* child : root->getChildren()) {
        entries.push_back(entryOf(child));
        names.push_back(child->getName());
    }
    EXPECT_EQ(entries, expected);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"WINDOW", L"window", L"Window", L"Gauge", L"Col", L"row",
                                                 L"HOTKEY", L"BuddyList"}));
    EXPECT_TRUE(dynamic_cast<IZWindowControl*>(root->getChildren()[0]));
}

TEST_F(TemplateReaderTest, AttributeNamesAreLoweredAndValuesKeptAsWritten) {
    auto root = read("<skin><Text Width=\"5\" ID=\"Title\" Label=\"  Two  Words $X \" text=\"Hi \"> there </Text></skin>");
    ASSERT_EQ(root->getChildren().size(), 1u);
    ZTemplateNode* text = root->getChildren()[0];
    const ZAttributeList expected = {{L"width", L"5"}, {L"id", L"Title"}, {L"label", L"  Two  Words $X "},
                                     {L"text", L"Hi there"}};
    EXPECT_EQ(text->getAttributes(), expected);
    EXPECT_EQ(text->getPath(), L"/skin/Text_Title");
}

TEST_F(TemplateReaderTest, CharacterDataCollapsesIntoText) {
    auto root = read(
        "<skin>"
        "<a>  Hello\n   world  </a>"
        "<b>   </b>"
        "<c> Hello <child/> world </c>"
        "<d>tab\there\r\nnext</d>"
        "<e>Talk &amp; Call &lt;3&gt;</e>"
        "</skin>");
    const auto& kids = root->getChildren();
    ASSERT_EQ(kids.size(), 5u);
    EXPECT_EQ(kids[4]->getAttribute(L"text"), L"Talk & Call <3>");
    EXPECT_EQ(kids[0]->getAttribute(L"text"), L"Hello world");
    EXPECT_TRUE(kids[1]->getAttributes().empty());
    EXPECT_EQ(kids[2]->getAttribute(L"text"), L"Helloworld");
    EXPECT_TRUE(kids[2]->getChildren()[0]->getAttributes().empty());
    // The reader turns CR LF into LF before we see it.
    EXPECT_EQ(kids[3]->getAttribute(L"text"), L"tab here next");
}

namespace {

struct ReaderFailure {
    const char* xml;  // null: no file at all
    const wchar_t* expectedEnd;
};

}  // namespace

TEST_F(TemplateReaderTest, UnreadableSkinExitsWithItsMessage) {
    std::string broken;
    for (int line = 1; line < 12; ++line) broken += line == 1 ? "<skin>\n" : "<Text/>\n";
    broken += "<Text id=\"x\"</skin>\n";  // line 12
    // An outside entity is refused, never fetched.
    ZTestWriteFile(dir.file("secret.txt"), "SECRET");
    const std::string entity =
        "<!DOCTYPE skin [<!ENTITY e SYSTEM \"" + dir.file("secret.txt") + "\">]>\n<skin><Text>&e;</Text></skin>";
    // Nested entities that would expand to 10^9 copies.
    std::string laughs = "<!DOCTYPE skin [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    laughs += "]>\n<skin><Text>&l9;</Text></skin>";
    // Deeper, or larger, than any skin needs.
    auto nested = [](std::size_t depth) {
        std::string xml = "<skin>\n";
        for (std::size_t i = 1; i < depth; ++i) xml += "<Row>";
        for (std::size_t i = 1; i < depth; ++i) xml += "</Row>";
        return xml + "\n</skin>";
    };
    auto wide = [](std::size_t elements) {
        std::string xml = "<skin>\n";
        for (std::size_t i = 1; i < elements; ++i) xml += "<Text/>";
        return xml + "\n</skin>";
    };
    const std::string deep = nested(ZTemplateFactory::kMaxDepth + 1);
    const std::string large = wide(ZTemplateFactory::kMaxElements + 1);
    const ReaderFailure cases[] = {{broken.c_str(), L" on line 12, exiting."},
                                   {nullptr, L"': the file cannot be read on line 0, exiting."},
                                   {entity.c_str(), L" on line 2, exiting."},
                                   {laughs.c_str(), L" on line 2, exiting."},
                                   {deep.c_str(), L"': the skin nests elements deeper than 256 levels on line 2, exiting."},
                                   {large.c_str(), L"': the skin holds more than 100000 elements on line 2, exiting."}};
    for (const auto& c : cases) {
        const std::string file = dir.file(c.xml ? "broken.xml" : "missing.xml");
        if (c.xml) ZTestWriteFile(file, c.xml);
        childLogPath = dir.file("child.log");
        std::remove(childLogPath.c_str());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            unsetenv("DISPLAY");  // the error box answers at once without a display
            ZSetDebugHooks(writeToChildLog, nullptr, nullptr);
            ZTemplateFactory factory;
            factory.load(&instance, &engine, ZFromUTF8(file));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string log = ZTestReadFile(childLogPath);
        const std::wstring line = ZFromUTF8(log);
        const std::wstring prefix = L"[ZTemplateFactory::load] ERROR while parsing '" + ZFromUTF8(file) + L"': ";
        EXPECT_NE(line.find(prefix), std::wstring::npos) << log;
        EXPECT_NE(line.find(std::wstring(c.expectedEnd) + L"\n"), std::wstring::npos) << log;
        EXPECT_EQ(log.find("SECRET"), std::string::npos);
    }
    // A skin just within both limits reads whole.
    EXPECT_TRUE(read(nested(ZTemplateFactory::kMaxDepth)));
    std::unique_ptr<ZTemplateNode> root = read(wide(ZTemplateFactory::kMaxElements));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->getChildren().size(), ZTemplateFactory::kMaxElements - 1);
}
