// The program body of zandrel: builds the client object from the command
// line, runs the message loop until the quit message and takes the client
// down again. A stop signal signs off first (the exit road).
#include "ZClient.h"
#include "ZClientSkin.h"
#include "ZNonPortable.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZWinMain.h"

namespace {

void onStopSignal(void* context) { static_cast<ZClient*>(context)->requestStop(); }

}  // namespace

int ZWinMain(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd) {
    ZTRACE();
    ZPRECONDITION(!hPrevInstance);
    (void)nShowCmd;
    ZSystemSetInstance(hInstance);
    ZOptionMap options(lpCmdLine ? lpCmdLine : "");
    std::string property;
    if (!options.get("property", property)) property = "settings.ini";
    std::string avi;
    std::string host;
    std::string keepLogfiles;
    options.get("avi", avi);
    options.get("host", host);
    options.get("keepLogfiles", keepLogfiles);
    if (options.isSet("reset")) ZFileDelete(ZFromUTF8(property));

    ZClientUseSkin();
    ZClient* client0 = ZSAFENEW(ZClient, ZFromUTF8(property), ZFromUTF8(avi), ZFromUTF8(host), ZFromUTF8(keepLogfiles),
                                options.isSet("upgraded"), options.isSet("uploadlogfiles"), options.isSet("forceturn"));
    ZSystemSetStopHandler(onStopSignal, client0);
    bool restart = false;
    while (ZWinUpdate(&restart)) {
    }
    ZSystemSetStopHandler(nullptr, nullptr);
    ZASSERT_PTR(client0);
    delete client0;
    return restart ? 1 : 0;
}

int main(int argc, char** argv) { return ZProcessMain(argc, argv); }
