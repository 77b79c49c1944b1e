#include "ZTestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

#include "ZTestHooks.h"

namespace {
std::mutex g_captureMutex;
std::vector<std::wstring> g_captured;
int g_captureDepth = 0;
}  // namespace

void ZTestCaptureLine(const std::wstring& line) {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    if (g_captureDepth > 0) g_captured.push_back(line);
}

ZLogCapture::ZLogCapture() {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    if (g_captureDepth++ == 0) g_captured.clear();
}

ZLogCapture::~ZLogCapture() {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    if (--g_captureDepth == 0) g_captured.clear();
}

std::vector<std::wstring> ZLogCapture::lines() const {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    return g_captured;
}

int ZLogCapture::count(const std::wstring& text) const {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    int n = 0;
    for (const auto& line : g_captured)
        if (line.find(text) != std::wstring::npos) ++n;
    return n;
}

void ZLogCapture::clear() {
    std::lock_guard<std::mutex> guard(g_captureMutex);
    g_captured.clear();
}

ZTempDir::ZTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zantest.XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp failed");
    _path = made;
}

ZTempDir::~ZTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

std::string ZTestReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void ZTestWriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
