// The service thread that owns the local camera and microphone: it lists
// the capture devices, keeps the choice and its status in the store, runs
// one capture (the "recorder") with the chosen devices, and feeds the local
// preview and one capture stream per buddy device that receives our audio
// and video. All its work comes as messages on
// "ZVideoCaptureService_commandQueue":
//
//   START  (Video_Capture_Device, Audio_Capture_Device)  (re)open the recorder
//   OPEN   (Buddy-Device-GUID, Send-To, Send-From, Video-FPS, Audio-Enable,
//           Video-Enable)                                 a stream to a device
//   RESET  (Buddy-Device-GUID, Video-FPS, Audio-Enable, Video-Enable)
//   CLOSE  (Buddy-Device-GUID)
//   STARTAUDIOPREVIEW, STOPAUDIOPREVIEW, STARTVIDEOPREVIEW, STOPVIDEOPREVIEW
//
// Every method but START needs a running recorder. After each START that
// opens the recorder it posts "UPDATECAPTURE" to "ZSIPService_commandQueue".
// When "avi_source" names a media file, the file stands in for the camera
// (and for the microphone when it holds 16-bit mono 22000 Hz sound).
//
// Threading: the service thread handles every message under the object
// lock. Captured units reach the preview and the streams on the capture
// sources' threads; each listener is unsubscribed (which waits for a
// running call) before it is deleted and before the recorder is closed.
// A message on the queue wakes the thread at once; between messages it
// sleeps until the next one, unless the video preview is on (the noise
// picture every 50 ms, else up to half a second).
#pragma once

#include <map>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable_Capture.h"
#include "ZThreadObject.h"

class ZInstance;
class ZMegaPort;
class ZLocalCapture;
class ZVideoCaptureStream;

extern const wchar_t* const ZVIDEOCAPTURE_NO_VIDEO;  // "(none - disable video capture)"
extern const wchar_t* const ZVIDEOCAPTURE_NO_AUDIO;  // "(none - disable audio capture)"

// The capture devices, the preview and the outgoing media streams.
class ZVideoCaptureService : public ZThreadObject {
public:
    ZVideoCaptureService(ZInstance* instance, ZMegaPort* port);
    ~ZVideoCaptureService() override;
    void invariantTest() override;

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    void _onStart(const ZHTTPHeaders& message);
    void _onOpen(const ZHTTPHeaders& message);
    void _onReset(const ZHTTPHeaders& message);
    void _onClose(const ZHTTPHeaders& message);
    void _stopRecorder();
    void _drawIdleAudioPicture();
    void _subscribe(ZVideoCaptureStream* stream);
    void _unsubscribe(ZVideoCaptureStream* stream);

    ZInstance* _instance;
    ZMegaPort* _port;
    ZAVCapture _recorder = nullptr;
    ZLocalCapture* _localCapture = nullptr;
    std::map<std::wstring, ZVideoCaptureStream*> _nameStreamMap;
};
