#include "ZVideoCaptureService.h"

#include <list>

#include "ZImageGDI.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZLocalCapture.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZVideoCaptureStream.h"

const wchar_t* const ZVIDEOCAPTURE_NO_VIDEO = L"(none - disable video capture)";
const wchar_t* const ZVIDEOCAPTURE_NO_AUDIO = L"(none - disable audio capture)";

namespace {

const wchar_t* const kQueue = L"ZVideoCaptureService_commandQueue";
constexpr int kNoisePassMs = 50;
// While the preview is on without its noise picture, a change of
// "Disable_Preview" is seen within this.
constexpr int kPreviewWaitMs = 500;

// The stored choice first and the none entry last; without a stored choice
// the none entry leads.
std::list<std::wstring> deviceChoices(ZInstance* instance, const wchar_t* variable, std::list<std::wstring> devices,
                                      const wchar_t* none) {
    if (instance->isSet(variable)) {
        const std::wstring chosen = instance->get(variable);
        devices.remove(chosen);
        devices.push_front(chosen);
        devices.push_back(none);
    } else {
        devices.push_front(none);
    }
    return devices;
}

// The media file standing in for the camera (and, when its sound fits, the
// microphone) as the device lists show it; empty without one.
std::wstring fileChoice(ZInstance* instance) {
    const std::wstring path = instance->get(L"avi_source");
    if (path.empty()) return path;
    const std::size_t slash = path.find_last_of(L"/\\");
    return L"File: " + (slash == std::wstring::npos ? path : path.substr(slash + 1));
}

}  // namespace

ZVideoCaptureService::ZVideoCaptureService(ZInstance* instance, ZMegaPort* port) : _instance(instance), _port(port) {
    ZTRACE_KIND("ZVideoCaptureService");
    ZPRECONDITION(instance);
    ZPRECONDITION(port);
    _instance->setQueueWaker(kQueue, [this] { wake(); });
}

ZVideoCaptureService::~ZVideoCaptureService() {
    ZTRACE();
    _instance->setQueueWaker(kQueue, nullptr);
    ZWARNASSERT(!_recorder);
    ZWARNASSERT(!_localCapture);
    ZWARNASSERT(_nameStreamMap.empty( ));
}

void ZVideoCaptureService::invariantTest() {
    ZASSERT_PTR(_port);
    ZThreadObject::invariantTest();
}

void ZVideoCaptureService::_bZThreadObject_safe_onStartup() {
    ZTRACE();
    invariantTest();
    ZThreadSetPriority(2);
    ZLOGC('v', L"Enumerating audio and video devices");
    std::list<std::wstring> audioNames, videoNames;
    ZAVCaptureGetDeviceList(audioNames, videoNames);
    _instance->set(L"Available_Audio_Capture_Devices",
                   deviceChoices(_instance, L"Audio_Capture_Device", audioNames, ZVIDEOCAPTURE_NO_AUDIO), true);
    _instance->set(L"Available_Video_Capture_Devices",
                   deviceChoices(_instance, L"Video_Capture_Device", videoNames, ZVIDEOCAPTURE_NO_VIDEO), false);
    const std::wstring audio = _instance->get(L"Audio_Capture_Device");
    const std::wstring video = _instance->get(L"Video_Capture_Device");
    ZLOGC('v', L"Starting audio/video capture: audio='" << audio << L"', video='" << video << L"'");
    ZHTTPHeaders start(L"START");
    start.set(L"Video_Capture_Device", video);
    start.set(L"Audio_Capture_Device", audio);
    _instance->enqueue(kQueue, start.serialize());
    ZLOGC('v', L"Starting local capture");
    _localCapture = ZSAFENEW(ZLocalCapture, _instance);
    _localCapture->update(true);
}

int ZVideoCaptureService::_bZThreadObject_safe_onLoop() {
    ZTRACE();
    invariantTest();
    std::string command;
    while (_instance->dequeue(kQueue, command)) {
        ZHTTPHeaders headers;
        ZASSERT(headers.deserialize( command.c_str( ), command.size( ) ));
        const std::wstring method = headers.getMethod();
        ZLOGC('v', L"Processing '" << method << L"' command");
        if (ZCaseEquals(method, L"START")) {
            _onStart(headers);
            continue;
        }
        if (!_recorder) {
            ZLOG(L"WARNING Unable to execute command '" << method << L"' because recorder does not exist, ignoring.");
            continue;
        }
        if (ZCaseEquals(method, L"OPEN"))
            _onOpen(headers);
        else if (ZCaseEquals(method, L"RESET"))
            _onReset(headers);
        else if (ZCaseEquals(method, L"CLOSE"))
            _onClose(headers);
        else if (ZCaseEquals(method, L"STARTAUDIOPREVIEW"))
            _localCapture->enableAudioPreview(true);
        else if (ZCaseEquals(method, L"STOPAUDIOPREVIEW"))
            _localCapture->enableAudioPreview(false);
        else if (ZCaseEquals(method, L"STARTVIDEOPREVIEW"))
            _localCapture->enableVideoPreview(true);
        else if (ZCaseEquals(method, L"STOPVIDEOPREVIEW"))
            _localCapture->enableVideoPreview(false);
        else
            ZLOG(L"WARNING Unsupported command '" << method << L"' sent to recorder, ignoring.");
    }
    _localCapture->update(false);
    // Only the noise picture is timed work; everything else comes as a
    // message, which wakes the thread.
    if (_localCapture->showsNoise()) return kNoisePassMs;
    return _localCapture->videoPreviewOn() ? kPreviewWaitMs : ZTHREADOBJECT_UNTIL_WOKEN;
}

void ZVideoCaptureService::_bZThreadObject_safe_onShutdown() {
    ZTRACE();
    invariantTest();
    if (_recorder) {
        ZLOGC('v', L"Stopping local capture");
        ZASSERT_PTR(_localCapture);
        ZAVCaptureUnsubscribeAudio(_recorder, _localCapture);
        ZAVCaptureUnsubscribeVideo(_recorder, _localCapture);
    }
    delete _localCapture;
    _localCapture = nullptr;
    if (!_nameStreamMap.empty()) ZLOGC('v', _nameStreamMap.size() << L" capture streams on close, stopping.");
    for (auto& [name, stream] : _nameStreamMap) {
        if (_recorder) _unsubscribe(stream);
        ZASSERT_PTR(stream);
        delete stream;
    }
    _nameStreamMap.clear();
    if (_recorder) ZAVCaptureClose(_recorder);
    _recorder = nullptr;
}

void ZVideoCaptureService::_subscribe(ZVideoCaptureStream* stream) {
    ZAVCaptureSubscribeAudio(_recorder, stream);
    ZAVCaptureSubscribeVideo(_recorder, stream);
}

void ZVideoCaptureService::_unsubscribe(ZVideoCaptureStream* stream) {
    ZAVCaptureUnsubscribeAudio(_recorder, stream);
    ZAVCaptureUnsubscribeVideo(_recorder, stream);
}

// An opaque black field with a green middle line crossed by a red X.
void ZVideoCaptureService::_drawIdleAudioPicture() {
    ZTRACE();
    ZImageGDI image;
    image.resize(ZImageFormat{ZIT_BGRA32, 300, 100});
    image.clear(ZColor(L"#000000FF"));
    image.setColor(ZColor(L"#00FF00"));
    image.drawLine(0, 50, 300, 50);
    image.setColor(ZColor(L"#FF0000"));
    image.drawLine(0, 0, 300, 100);
    image.drawLine(0, 100, 300, 0);
    image.convertToRGB();
    ZImageTools_instanceWrite(_instance, L"Local_Audio_Image", ZImageFormat{ZIT_RGBA32, 300, 100}, image.getBuffer());
}

void ZVideoCaptureService::_stopRecorder() {
    ZTRACE();
    ZLOGC('v', L"Recorder already exists; stopping " << _nameStreamMap.size() << L" existing capture streams");
    for (const wchar_t* status : {L"Video_Capture_Status", L"Audio_Capture_Status", L"Video_Capture_FSM_Status"})
        _instance->set(status, std::wstring(L"Stopping..."), false);
    for (auto& [name, stream] : _nameStreamMap) _unsubscribe(stream);
    ZASSERT(_localCapture);
    ZAVCaptureUnsubscribeAudio(_recorder, _localCapture);
    ZAVCaptureUnsubscribeVideo(_recorder, _localCapture);
    _localCapture->update(true);
    ZAVCaptureClose(_recorder);
    for (const wchar_t* status : {L"Video_Capture_Status", L"Audio_Capture_Status", L"Video_Capture_FSM_Status"})
        _instance->set(status, std::wstring(L"Stopped"), false);
    _recorder = nullptr;
}

void ZVideoCaptureService::_onStart(const ZHTTPHeaders& message) {
    ZTRACE();
    _drawIdleAudioPicture();
    if (_recorder) _stopRecorder();
    _instance->set(L"Video_Capture_Status", std::wstring(L"Starting..."), false);
    _instance->set(L"Audio_Capture_Status", std::wstring(L"Starting..."), false);
    const std::int64_t size = _instance->calc(L"Video_Size");
    const std::wstring file = fileChoice(_instance);
    std::wstring video = message.get(L"Video_Capture_Device");
    if (ZCaseEquals(video, ZVIDEOCAPTURE_NO_VIDEO) || (!file.empty() && video == file)) video.clear();
    std::wstring audio = message.get(L"Audio_Capture_Device");
    if (ZCaseEquals(audio, ZVIDEOCAPTURE_NO_AUDIO) || (!file.empty() && audio == file)) audio.clear();
    const int side = static_cast<int>(size > 0 && size < 65536 ? size : 0);
    _recorder = ZAVCaptureOpen(audio, video, 2, 22000, 7, side, side, _instance->get(L"avi_source"));
    if (!_recorder) {
        ZLOG(L"WARNING Unable to open recorder, ignoring.");
        _instance->set(L"Audio_Capture_Status", std::wstring(L"Error"), false);
        _instance->set(L"Video_Capture_Status", std::wstring(L"Error"), false);
        _instance->set(L"Audio_Capture_Online", std::int64_t{0}, false);
        _instance->set(L"Video_Capture_Online", std::int64_t{0}, false);
        _instance->set(L"Audio_Capture_Device", std::wstring(ZVIDEOCAPTURE_NO_AUDIO), false);
        _instance->set(L"Video_Capture_Device", std::wstring(ZVIDEOCAPTURE_NO_VIDEO), false);
        return;
    }
    struct Kind {
        bool working;
        bool fromFile;
        const std::wstring& requested;
        const wchar_t *status, *online, *device, *none, *choices;
        bool persistChoices;
    } kinds[] = {
        {ZAVCaptureIsAudioWorking(_recorder), ZAVCaptureIsAudioFromFile(_recorder), audio, L"Audio_Capture_Status",
         L"Audio_Capture_Online", L"Audio_Capture_Device", ZVIDEOCAPTURE_NO_AUDIO, L"Available_Audio_Capture_Devices",
         true},
        {ZAVCaptureIsVideoWorking(_recorder), !file.empty(), video, L"Video_Capture_Status", L"Video_Capture_Online",
         L"Video_Capture_Device", ZVIDEOCAPTURE_NO_VIDEO, L"Available_Video_Capture_Devices", false},
    };
    for (const Kind& kind : kinds) {
        _instance->set(kind.status,
                       std::wstring(kind.working ? L"Online" : !kind.requested.empty() ? L"Error" : L"Offline"), false);
        _instance->set(kind.online, std::int64_t{kind.working ? 1 : 0}, false);
        // The file in use is what the list marks; it is no device to keep
        // for the next start.
        if (kind.working && kind.fromFile) {
            std::list<std::wstring> choices;
            _instance->get(kind.choices, choices);
            choices.remove(file);
            choices.push_front(file);
            _instance->set(kind.choices, choices, kind.persistChoices);
            _instance->set(kind.device, file, false);
        } else if (kind.working)
            _instance->set(kind.device, kind.requested, true);
        else
            _instance->set(kind.device, std::wstring(kind.none), false);
    }
    ZAVCaptureSubscribeAudio(_recorder, _localCapture);
    ZAVCaptureSubscribeVideo(_recorder, _localCapture);
    if (!_nameStreamMap.empty()) ZLOGC('v', L"Restarting " << _nameStreamMap.size() << L" existing capture streams");
    for (auto& [name, stream] : _nameStreamMap) {
        stream->reset();
        _subscribe(stream);
    }
    _instance->enqueue(L"ZSIPService_commandQueue", ZHTTPHeaders(L"UPDATECAPTURE").serialize());
}

void ZVideoCaptureService::_onOpen(const ZHTTPHeaders& message) {
    ZTRACE();
    const std::wstring key = message.get(L"Buddy-Device-GUID");
    ZLOGC('v', L"Received 'OPEN' request, beginning to capture to '" << key << L"'.");
    auto it = _nameStreamMap.find(key);
    if (it != _nameStreamMap.end()) {
        ZLOGC('v', L"Stream '" << key << L"' already open, closing so we can reopen");
        ZVideoCaptureStream* deadStream = it->second;
        _unsubscribe(deadStream);
        ZASSERT_PTR(deadStream);
        delete deadStream;
        _nameStreamMap.erase(it);
    }
    ZVideoCaptureStream* stream = ZSAFENEW(ZVideoCaptureStream, _instance, _port, message);
    stream->setFormat(message);
    _subscribe(stream);
    _nameStreamMap[key] = stream;
}

void ZVideoCaptureService::_onReset(const ZHTTPHeaders& message) {
    ZTRACE();
    const std::wstring key = message.get(L"Buddy-Device-GUID");
    auto it = _nameStreamMap.find(key);
    if (it == _nameStreamMap.end()) {
        ZLOG(L"WARNING Received 'RESET' request, but no stream named '" << key << L"'; ignoring.");
        return;
    }
    ZLOGC('v', L"Received 'RESET' request on stream '" << key << L"'.");
    it->second->setFormat(message);
    ZLOGC('v', L"Completed 'RESET' request on stream '" << key << L"'.");
}

void ZVideoCaptureService::_onClose(const ZHTTPHeaders& message) {
    ZTRACE();
    const std::wstring key = message.get(L"Buddy-Device-GUID");
    auto it = _nameStreamMap.find(key);
    if (it == _nameStreamMap.end()) {
        ZLOGC('v', L"Received 'CLOSE' request, but no stream named '" << key << L"'; ignoring.");
        return;
    }
    ZLOGC('v', L"Received 'CLOSE' request, stopping broadcast on stream '" << key << L"'.");
    ZVideoCaptureStream* stream = it->second;
    _unsubscribe(stream);
    _nameStreamMap.erase(it);
    ZASSERT_PTR(stream);
    delete stream;
}
