// Sends the log files of earlier runs to the service's log host on
// "UPLOADLOGFILES" and deletes each one the host took; every command ends
// with "LOGFILESUPLOADED" on the client's queue. The command may name the
// host ("Logfile-Host"); otherwise "Global_Logfile_Host" does.
//
// Threading: one thread of its own, "ZClient.ZLogfileService". The loop runs
// with the object's lock held and lets it go while it waits on the network;
// other threads reach it only through "ZLogfileService_commandQueue", and
// a command on it wakes the thread, which sleeps until then.
#pragma once

#include <string>

#include "ZThreadObject.h"

class ZInstance;

// The log-upload service.
class ZLogfileService : public ZThreadObject {
public:
    explicit ZLogfileService(ZInstance* instance);
    ~ZLogfileService() override;
    void invariantTest() override;

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    // Sends the old logs to the host (the command's own, else the stored one).
    void _upload(const std::wstring& host);
    // Sends one file; false when the host did not take it.
    bool _uploadFile(const std::wstring& host, const std::wstring& name, const std::string& bytes);

    ZInstance* _instance;
};
