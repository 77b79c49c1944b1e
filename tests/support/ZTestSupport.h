// Test fixtures shared by every test program: the captured log, the abort
// hook turned into an exception, and temporary folders.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

// Thrown by the test abort hook, so a fatal check ends the statement under test.
struct ZTestAbort : std::runtime_error {
    ZTestAbort() : std::runtime_error("ZAbort") {}
};

// Collects every log line written while it lives (from any thread).
class ZLogCapture {
public:
    ZLogCapture();
    ~ZLogCapture();
    std::vector<std::wstring> lines() const;
    // Number of lines holding the text.
    int count(const std::wstring& text) const;
    bool contains(const std::wstring& text) const { return count(text) > 0; }
    void clear();
};

// A fresh folder below the system's temporary folder, removed with its contents.
class ZTempDir {
public:
    ZTempDir();
    ~ZTempDir();
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

// Runs a statement that must fail a fatal check.
#define EXPECT_ZABORT(statement) EXPECT_THROW(statement, ZTestAbort)

// Reads a whole file as bytes ("" when missing).
std::string ZTestReadFile(const std::string& path);
void ZTestWriteFile(const std::string& path, const std::string& bytes);
