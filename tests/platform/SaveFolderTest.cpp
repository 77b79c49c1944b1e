// The folder the save chooser proposes for a file a peer sends: the user's
// download folder, never the program's own folder where its settings and
// skin live.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ZNonPortable_FileDialog.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

// HOME, PATH and the working folder of one case, put back afterwards. The
// stand-in zenity records its arguments and answers nothing.
class SaveScene {
public:
    SaveScene() : _path(std::getenv("PATH") ? std::getenv("PATH") : ""), _home(std::getenv("HOME") ? std::getenv("HOME") : "") {
        char cwd[4096] = {};
        if (getcwd(cwd, sizeof(cwd))) _cwd = cwd;
        mkdir(dir.file("bin").c_str(), 0700);
        mkdir(dir.file("home").c_str(), 0700);
        mkdir(dir.file("program").c_str(), 0700);
        script("zenity", "for a in \"$@\"; do echo \"$a\"; done > '" + dir.file("args") + "'\nexit 1\n");
        setenv("PATH", dir.file("bin").c_str(), 1);
        setenv("HOME", dir.file("home").c_str(), 1);
        EXPECT_EQ(chdir(dir.file("program").c_str()), 0);
    }
    ~SaveScene() {
        EXPECT_EQ(chdir(_cwd.c_str()), 0);
        setenv("PATH", _path.c_str(), 1);
        setenv("HOME", _home.c_str(), 1);
    }
    void script(const std::string& name, const std::string& body) {
        ZTestWriteFile(dir.file("bin/" + name), "#!/bin/sh\n" + body);
        chmod(dir.file("bin/" + name).c_str(), 0700);
    }
    std::string args() const { return ZTestReadFile(dir.file("args")); }

    ZTempDir dir;

private:
    std::string _path;
    std::string _home;
    std::string _cwd;
};

bool isFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(ZSystemSaveFileDialog, ProposesThePeersNameInTheDownloadFolderNeverInTheProgramsOwn) {
    const struct {
        const char* what;
        // What xdg-user-dir prints ("" = not installed); "@" stands for the scene's folder.
        std::string xdgAnswer;
        std::string folder;
    } rows[] = {
        {"the user's download folder, made when missing", "@/mine/dl", "@/mine/dl"},
        {"no download folder set: xdg-user-dir names home", "@/home", "@/home/Downloads"},
        {"no xdg-user-dir", "", "@/home/Downloads"},
        {"a download folder that is the program's own", "@/program", "@/home/Downloads"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SaveScene scene;
        const auto place = [&](std::string text) {
            if (!text.empty() && text[0] == '@') text = scene.dir.path() + text.substr(1);
            return text;
        };
        mkdir(scene.dir.file("mine").c_str(), 0700);
        if (!row.xdgAnswer.empty()) scene.script("xdg-user-dir", "echo '" + place(row.xdgAnswer) + "'\n");
        EXPECT_EQ(ZSystemSaveFileDialog(L"Save", L"../../template.xml"), L"");
        const std::string folder = place(row.folder);
        EXPECT_EQ(scene.args(), "--file-selection\n--save\n--confirm-overwrite\n--title=Save\n--filename=" + folder +
                                    "/template.xml\n");
        EXPECT_TRUE(isFolder(folder));
        EXPECT_EQ(_ZFileDialogDownloadFolder(), ZFromUTF8(folder));
    }
}
