#include "ZTemplateTestSupport.h"

#include <climits>

namespace zantest {

std::int64_t& drivenNow() {
    static std::int64_t now = 0;
    return now;
}

namespace {

std::int64_t readDrivenNow() { return drivenNow(); }
bool buttonUp() { return false; }

}  // namespace

const char* const kTestSkin =
    "<skin>\n"
    "  <Window id=\"login\"><Text id=\"title\"/><Edit id=\"name\" text=\"typed words\"/></Window>\n"
    "  <Window id=\"countdown\"/>\n"
    "  <Window id=\"x\"/>\n"
    "  <Foreach id=\"call\"><Window id=\"b\"/></Foreach>\n"
    "  <Window id=\"options\"><Copy><Border><inside><Wizard><List id=\"pages\" selection=\"audio\"/>"
    "<Button id=\"go\"/></Wizard></inside></Border></Copy></Window>\n"
    "  <Screen id=\"remote\"/>\n"
    "  <Table id=\"files\" selection=\"42\"/>\n"
    "  <Table id=\"buddies\" selection=\"kim\"/>\n"
    "  <Table id=\"threads\" selection=\"ZClient.NoSuchThread\"/>\n"
    "  <Table id=\"empty\"/>\n"
    "  <List id=\"devices\"/>\n"
    "</skin>\n";

TemplateRootFixture::TemplateRootFixture() {
    ZInitializeNonPortable(nullptr);
    char buffer[PATH_MAX];
    oldFolder = getcwd(buffer, sizeof(buffer)) ? buffer : "/";
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
    installTestNodes();
    nodeJournal().clear();
    // 2026-01-01 12:00 UTC, a time well away from zero.
    drivenNow() = 13410000000LL * 1000000LL + 43200LL * 1000000LL;
    ZTemplate::setClock(readDrivenNow);
    ZTemplate::setButtonTest(buttonUp);
    instance = std::make_unique<ZInstance>(L"settings.ini");
}

TemplateRootFixture::~TemplateRootFixture() {
    tmpl.reset();
    instance.reset();
    ZTemplate::setClock(nullptr);
    ZTemplate::setButtonTest(nullptr);
    EXPECT_EQ(chdir(oldFolder.c_str()), 0);
    ZUninitializeNonPortable();
}

void TemplateRootFixture::load(const std::string& xml) {
    ZTestWriteFile(dir.file("template.xml"), xml);
    tmpl = std::make_unique<ZTemplate>(instance.get(), L"template.xml");
}

}  // namespace zantest
