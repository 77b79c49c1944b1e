#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdlib>
#include <regex>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

namespace {

// Reads what a started program writes into a FIFO, with a bounded wait.
std::string readFifo(const std::string& path, int limitMs) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return "(no fifo)";
    std::string got;
    bool writerSeen = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, limitMs) <= 0) break;
        char buffer[256];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<std::size_t>(n));
            writerSeen = true;
        } else if (writerSeen) {
            break;
        }
    }
    close(fd);
    return got;
}

void writeScript(const std::string& path, const std::string& body, mode_t mode) {
    ZTestWriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), mode);
}

}  // namespace

TEST(ZSystemExecute, StartsAProgramWithItsParametersSplitAtBlanksAndNoShell) {
    ZTempDir dir;
    const std::string fifo = dir.file("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string program = dir.file("echoargs");
    writeScript(program, "for a in \"$@\"; do printf '[%s]' \"$a\"; done > " + fifo + "\n", 0755);
    std::string error = "stale";
    ASSERT_TRUE(ZSystemExecute(program, "-log x  $HOME;true", error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(readFifo(fifo, 10000), "[-log][x][$HOME;true]");
}

TEST(ZSystemExecute, FailuresCarryTheShellsErrorTexts) {
    ZTempDir dir;
    writeScript(dir.file("upgrade.exe"), "exit 0\n", 0644);
    ZTestWriteFile(dir.file("plain"), "x");
    const struct {
        std::string file;
        const char* text;
    } cases[] = {
        {dir.file("missing"), "The specified file was not found."},
        {dir.file("plain") + "/below", "The specified path was not found."},
        {dir.file("upgrade.exe"), "The operating system denied access to the specified file."},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ZSystemExecute(c.file, "", error)) << c.file;
        EXPECT_EQ(error, c.text) << c.file;
    }
    std::string untouched = "as it was";
    EXPECT_FALSE(ZSystemExecute("", "x", untouched));
    EXPECT_EQ(untouched, "as it was");
}

TEST(ZSystemExecute, DocumentsAndWebAddressesWithoutADesktopHandlerHaveNoAssociation) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("notes.txt"), "hello");
    const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", dir.path().c_str(), 1);
    const std::string noAssociation =
        "There is no application associated with the given file name extension. This error will also be "
        "returned if you attempt to print a file that is not printable.";
    // A document, and a web address, which is never taken for a file.
    for (const std::string& file : {dir.file("notes.txt"), std::string("http://127.0.0.1/changes.html")}) {
        std::string error;
        EXPECT_FALSE(ZSystemExecute(file, "", error)) << file;
        EXPECT_EQ(error, noAssociation) << file;
    }
    setenv("PATH", oldPath.c_str(), 1);
}

TEST(ZSystemGetExecutablePath, NamesTheRunningProgramInFull) {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_EQ(ZToUTF8(ZSystemGetExecutablePath()), std::string(buffer, static_cast<std::size_t>(n)));
}

TEST(ZSystemGetDescription, NamesCountryAndLanguageWithTheirAbbreviationsFromTheLocale) {
    // A locale of the test's own, so the machine need not have it installed.
    ZTempDir dir;
    const std::string build = "localedef -i en_US -f UTF-8 " + dir.file("en_US.UTF-8") + " 2>/dev/null";
    ASSERT_EQ(std::system(build.c_str()), 0) << "needs the locales package (its en_US source)";
    const char* names[] = {"LOCPATH", "LC_ALL", "LANG"};
    std::string saved[3];
    for (int i = 0; i < 3; ++i) saved[i] = getenv(names[i]) ? getenv(names[i]) : "";
    setenv("LOCPATH", dir.path().c_str(), 1);
    setenv("LC_ALL", "en_US.UTF-8", 1);
#ifdef __SANITIZE_ADDRESS__
    // The C library keeps the LOCPATH list it splits for newlocale.
    __lsan_disable();
#endif
    const std::string d = ZToUTF8(ZSystemGetDescription());
#ifdef __SANITIZE_ADDRESS__
    __lsan_enable();
#endif
    for (int i = 0; i < 3; ++i) {
        if (saved[i].empty())
            unsetenv(names[i]);
        else
            setenv(names[i], saved[i].c_str(), 1);
    }
    EXPECT_TRUE(ZEndsWith(ZFromUTF8(d), L", country=United States(USA), language=English(ENG)")) << d;
}

TEST(ZSystemGetDescription, KeepsTheLineFormatWithoutADisplay) {
    const char* display = getenv("DISPLAY");
    const std::string saved = display ? display : "";
    unsetenv("DISPLAY");
    const std::string d = ZToUTF8(ZSystemGetDescription());
    if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
    const std::regex format(
        "OS=[A-Za-z]+\\(\\d+,\\d+\\)\\[\\d+\\.0\\]#\\d+, DX=\\(unknown\\), CPU=\\d+/\\d+Mhz, RAM=[1-9]\\d*/[1-9]\\d*MB, "
        "numMonitors=0, screen=\\(0x0px, 0x0mm\\), bpp=0, country=.+\\(.+\\), language=.+\\(.+\\)");
    EXPECT_TRUE(std::regex_match(d, format)) << d;
}

TEST(ZSystemGetDescription, GivesMemoryAsPhysicalAndWhatTheProcessCanHaveInMegabytes) {
    const std::string d = ZToUTF8(ZSystemGetDescription());
    std::smatch ram;
    ASSERT_TRUE(std::regex_search(d, ram, std::regex("RAM=(\\d+)/(\\d+)MB"))) << d;
    struct sysinfo memory{};
    ASSERT_EQ(sysinfo(&memory), 0);
    const unsigned long long physicalMB = (static_cast<unsigned long long>(memory.totalram) * memory.mem_unit) >> 20;
    const unsigned long long withSwapMB =
        ((static_cast<unsigned long long>(memory.totalram) + memory.totalswap) * memory.mem_unit) >> 20;
    EXPECT_EQ(std::stoull(ram[1]), physicalMB) << d;
    // Both figures in the same unit: the second is at most memory and swap
    // together, never the address space's 128 TiB.
    EXPECT_LE(std::stoull(ram[2]), withSwapMB) << d;
    EXPECT_GT(std::stoull(ram[2]), 0u) << d;
}
