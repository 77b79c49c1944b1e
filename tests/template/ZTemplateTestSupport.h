// A started platform layer, a working folder of its own, a store and a
// driven clock for tests of the template root.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZTestNode.h"
#include "ZTestSupport.h"

namespace zantest {

// The time the root reads while a fixture lives.
std::int64_t& drivenNow();

// A skin of test nodes with the windows, wizard, edit, list and table
// nodes the commands of the tests name.
extern const char* const kTestSkin;

class TemplateRootFixture : public ::testing::Test {
protected:
    TemplateRootFixture();
    ~TemplateRootFixture() override;

    // Writes the skin into the working folder and reads it.
    void load(const std::string& xml = kTestSkin);
    ZTemplateNode* node(const std::wstring& path) { return tmpl->getRoot()->getChild(path); }
    void advance(std::int64_t microseconds) { drivenNow() += microseconds; }

    ZTempDir dir;
    std::string oldFolder;
    std::unique_ptr<ZInstance> instance;
    std::unique_ptr<ZTemplate> tmpl;
};

}  // namespace zantest
