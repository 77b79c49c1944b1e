// The client object: construction fills the store (settings file, then the
// command line, then defaults), starts the eight services and signs in at
// once or asks for the login; destruction takes everything down in order.
#include "ZClient.h"

#include "ZDispatchService.h"
#include "ZFileService.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZLogfileService.h"
#include "ZMegaPort.h"
#include "ZNonPortable_FileModes.h"
#include "ZPortable.h"
#include "ZSIPService.h"
#include "ZScreenService.h"
#include "ZUpgradeService.h"
#include "ZUtil.h"
#include "ZUtil_File.h"
#include "ZVideoCaptureService.h"
#include "ZVideoPlaybackService.h"

const wchar_t* const ZCLIENT_SERVICE_NAMES[8] = {
    L"ZClient.ZSIPService",    L"ZClient.ZVideoCaptureService", L"ZClient.ZVideoPlaybackService",
    L"ZClient.ZLogfileService", L"ZClient.ZUpgradeService",     L"ZClient.ZDispatchService",
    L"ZClient.ZFileService",   L"ZClient.ZScreenService",
};

namespace {

const wchar_t* const kCountries[] = {
    L"United States", L"Afghanistan", L"Albania", L"Algeria", L"American Samoa", L"Andorra", L"Angola", L"Anguilla",
    L"Antarctica", L"Antigua and Barbuda", L"Arctic Ocean", L"Argentina", L"Armenia", L"Aruba",
    L"Ashmore and Cartier Islands", L"Atlantic Ocean", L"Australia", L"Austria", L"Azerbaijan", L"Bahamas, The",
    L"Bahrain", L"Baker Island", L"Bangladesh", L"Barbados", L"Bassas da India", L"Belarus", L"Belgium", L"Belize",
    L"Benin", L"Bermuda", L"Bhutan", L"Bolivia", L"Bosnia and Herzegovina", L"Botswana", L"Bouvet Island", L"Brazil",
    L"British Indian Ocean Territory", L"British Virgin Islands", L"Brunei", L"Bulgaria", L"Burkina Faso", L"Burma",
    L"Burundi", L"Cambodia", L"Cameroon", L"Canada", L"Cape Verde", L"Cayman Islands", L"Central African Republic",
    L"Chad", L"Chile", L"China", L"Christmas Island", L"Clipperton Island", L"Cocos (Keeling) Islands", L"Colombia",
    L"Comoros", L"Congo, Democratic Republic of the", L"Congo, Republic of the", L"Cook Islands",
    L"Coral Sea Islands", L"Costa Rica", L"Cote d'Ivoire", L"Croatia", L"Cuba", L"Cyprus", L"Czech Republic",
    L"Denmark", L"Djibouti", L"Dominica", L"Dominican Republic", L"East Timor", L"Ecuador", L"Egypt", L"El Salvador",
    L"Equatorial Guinea", L"Eritrea", L"Estonia", L"Ethiopia", L"Europa Island", L"Falkland Islands (Islas Malvinas)",
    L"Faroe Islands", L"Fiji", L"Finland", L"France", L"French Guiana", L"French Polynesia",
    L"French Southern and Antarctic Lands", L"Gabon", L"Gambia, The", L"Gaza Strip", L"Georgia", L"Germany", L"Ghana",
    L"Gibraltar", L"Glorioso Islands", L"Greece", L"Greenland", L"Grenada", L"Guadeloupe", L"Guam", L"Guatemala",
    L"Guernsey", L"Guinea", L"Guinea-Bissau", L"Guyana", L"Haiti", L"Heard Island and McDonald Islands",
    L"Holy See (Vatican City)", L"Honduras", L"Hong Kong", L"Howland Island", L"Hungary", L"Iceland", L"India",
    L"Indian Ocean", L"Indonesia", L"Iran", L"Iraq", L"Ireland", L"Israel", L"Italy", L"Jamaica", L"Jan Mayen",
    L"Japan", L"Jarvis Island", L"Jersey", L"Johnston Atoll", L"Jordan", L"Juan de Nova Island", L"Kazakhstan",
    L"Kenya", L"Kingman Reef", L"Kiribati", L"Korea, North", L"Korea, South", L"Kuwait", L"Kyrgyzstan", L"Laos",
    L"Latvia", L"Lebanon", L"Lesotho", L"Liberia", L"Libya", L"Liechtenstein", L"Lithuania", L"Luxembourg", L"Macau",
    L"Macedonia, The Former Yugoslav Republic of", L"Madagascar", L"Malawi", L"Malaysia", L"Maldives", L"Mali",
    L"Malta", L"Man, Isle of", L"Marshall Islands", L"Martinique", L"Mauritania", L"Mauritius", L"Mayotte", L"Mexico",
    L"Micronesia, Federated States of", L"Midway Islands", L"Moldova", L"Monaco", L"Mongolia", L"Montserrat",
    L"Morocco", L"Mozambique", L"Namibia", L"Nauru", L"Navassa Island", L"Nepal", L"Netherlands",
    L"Netherlands Antilles", L"New Caledonia", L"New Zealand", L"Nicaragua", L"Niger", L"Nigeria", L"Niue",
    L"Norfolk Island", L"Northern Mariana Islands", L"Norway", L"Oman", L"Pacific Ocean", L"Pakistan", L"Palau",
    L"Palmyra Atoll", L"Panama", L"Papua New Guinea", L"Paracel Islands", L"Paraguay", L"Peru", L"Philippines",
    L"Pitcairn Islands", L"Poland", L"Portugal", L"Puerto Rico", L"Qatar", L"Reunion", L"Romania", L"Russia",
    L"Rwanda", L"Saint Helena", L"Saint Kitts and Nevis", L"Saint Lucia", L"Saint Pierre and Miquelon",
    L"Saint Vincent and the Grenadines", L"Samoa", L"San Marino", L"Sao Tome and Principe", L"Saudi Arabia",
    L"Senegal", L"Serbia and Montenegro", L"Seychelles", L"Sierra Leone", L"Singapore", L"Slovakia", L"Slovenia",
    L"Solomon Islands", L"Somalia", L"South Africa", L"South Georgia and the South Sandwich Islands",
    L"Southern Ocean", L"Spain", L"Spratly Islands", L"Sri Lanka", L"Sudan", L"Suriname", L"Svalbard", L"Swaziland",
    L"Sweden", L"Switzerland", L"Syria", L"Taiwan", L"Tajikistan", L"Tanzania", L"Thailand", L"Togo", L"Tokelau",
    L"Tonga", L"Trinidad and Tobago", L"Tromelin Island", L"Tunisia", L"Turkey", L"Turkmenistan",
    L"Turks and Caicos Islands", L"Tuvalu", L"Uganda", L"Ukraine", L"United Arab Emirates", L"United Kingdom",
    L"United States", L"Uruguay", L"Uzbekistan", L"Vanuatu", L"Venezuela", L"Vietnam", L"Virgin Islands",
    L"Wake Island", L"Wallis and Futuna", L"West Bank", L"Western Sahara", L"Yemen", L"Zambia", L"Zimbabwe",
};

template <class Service>
ZThreadObject* startService(Service* service, const wchar_t* threadName) {
    service->start(threadName);
    return service;
}

// The settings hold the stored password, the logs and chat logs whom the user
// talks to: whatever left them open to others, they become the user's alone.
void protectPrivateFiles(const std::wstring& settingsFile) {
    int tightened = 0;
    auto tighten = [&tightened](const std::wstring& path) {
        bool changed = false;
        if (ZFileMakePrivate(path, changed) && changed) ++tightened;
    };
    tighten(settingsFile);
    std::map<std::wstring, ZFileInfo> entries;
    if (ZDirList(L".", entries))
        for (const auto& [name, info] : entries)
            if (info.isFile && ZEndsWith(ZToLower(name), L".log")) tighten(name);
    if (ZFileGetMode(L"chatlogs") >= 0) {
        tighten(L"chatlogs");
        if (ZDirList(L"chatlogs", entries))
            for (const auto& [name, info] : entries)
                if (info.isFile) tighten(L"chatlogs/" + name);
    }
    if (tightened > 0)
        ZLOG(L"Made " << tightened << L" files and folders of settings, logs and chats readable by this user only.");
}

}  // namespace

ZClient::ZClient(const std::wstring& settingsFile, const std::wstring& avi, const std::wstring& host,
                 const std::wstring& keepLogfiles, bool upgraded, bool uploadLogfiles, bool forceTurn)
    : _sources(ZClientGetSources()) {
    ZTRACE_KIND("ZClient");
    protectPrivateFiles(settingsFile);
    _instance = ZSAFENEW(ZInstance, settingsFile);
    _port = ZSAFENEW(ZMegaPort, _instance->get(L"Local_User_GUID"));

    std::string filter = ZLogGetFilter() + ZToUTF8(_instance->get(L"Log_Filter"));
    if (!_instance->test(L"First_Run_Complete")) filter += "x";
    ZLogSetFilter(filter);

    if (!avi.empty()) _instance->set(L"avi_source", avi, false);
    if (!host.empty()) _instance->set(L"AUTHENTICATE_Host", host, false);
    if (!keepLogfiles.empty()) _instance->set(L"Keep_Logfiles", keepLogfiles, false);
    if (uploadLogfiles) _instance->set(L"Exit_When_Logfiles_Uploaded", std::int64_t{1}, false);
    if (forceTurn) {
        _instance->set(L"Pretend_Firewall", std::int64_t{1}, false);
        _instance->set(L"Disable_UDP_Recv", std::int64_t{1}, false);
    }

    _instance->set(L"Current_Version", std::int64_t{ZCLIENT_VERSION}, true);
    _instance->set(L"User_Agent_String", L"Zandrel/" + ZToString(ZCLIENT_VERSION), true);
    _instance->set(L"Video_Privacy_Options_Mode",
                   std::wstring(L"Public - Allow some people to see me, Private - Allow nobody to see me"), false);
    _instance->set(L"Video_Privacy_Options_Who", std::wstring(L"Only buddies who I can see, All my buddies"), false);
    _instance->set(L"Video_Privacy_Options_When", std::wstring(L"Always, Only when I'm talking"), false);

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } defaults[] = {
        {L"AUTHENTICATE_Host", ZCLIENT_DEFAULT_AUTH_HOST},
        {L"NAT_Refresh_Period_S", L"1"},
        {L"CPU_Log_Threshold", L"90"},
        {L"Video_Size", L"48"},
        {L"UPnP_Low_Port", L"49152"},
        {L"UPnP_High_Port", L"65535"},
        {L"Screen_Share_Fullscreen_Delay", L"1000"},
        {L"Talk_Again_Hotkey", L"CONTROL+SPACE"},
        {L"Video_Privacy_Choice_Mode", L"Public - Allow some people to see me"},
        {L"Video_Privacy_Choice_Who", L"Only buddies who I can see"},
        {L"Video_Privacy_Choice_When", L"Always"},
    };
    for (const auto& entry : defaults)
        if (!_instance->isSet(entry.name)) _instance->set(entry.name, std::wstring(entry.value), false);

    if (_instance->isSet(L"Local_User_GUID"))
        _instance->set(L"Local_User_GUID", ZNormalizeGUID(_instance->get(L"Local_User_GUID")), true);

    const std::int64_t videoSize = _instance->calc(L"Video_Size");
    if (videoSize % 16 != 0) _instance->set(L"Video_Size", std::max<std::int64_t>(videoSize / 16 * 16, 16), false);

    _instance->logDump();

    std::list<std::wstring> countries(std::begin(kCountries), std::end(kCountries));
    _instance->set(L"Country_List", countries, false);

    if (_sources.idleServices) {
        ZThreadObject** services[] = {&_sipService,     &_videoCaptureService, &_videoPlaybackService,
                                      &_logfileService, &_upgradeService,      &_dispatchService,
                                      &_fileService,    &_screenService};
        for (int i = 0; i < 8; ++i) *services[i] = startService(ZSAFENEW(ZIdleService), ZCLIENT_SERVICE_NAMES[i]);
    } else {
        _startServices();
    }
    _instance->set(L"FSM_List", std::wstring(L"Client,SIP,Dispatch"), false);
    _timer = ZTimerOpen(100000, this);
    _commandNotify = ZNotifyOpen(this);
    ZNotifyHandle* notify = _commandNotify;
    _instance->setQueueWaker(L"ZClient_commandQueue", [notify] { ZNotify(notify, 0); });
    _icon = ZIconOpen(this);
    if (upgraded) {
        std::wstring text = L"You have successfully upgraded Zandrel to version ";
        text << ZCLIENT_VERSION << L".  Click here to see what has changed.";
        _bubble(L"Update complete", text, 8);
    }
    ZSystemRegisterListener(this);
    const ZClientTemplateFactory factory = ZClientGetTemplateFactory();
    _template = factory ? factory(_instance, L"template.xml") : nullptr;
    if (!_template) _template = new ZNoSkinTemplate(_instance);

    if (_instance->isSet(L"Local_User_GUID") && _instance->isSet(L"Local_Password"))
        _onInput(0, ZHTTPHeaders(L"LOGON"));
    else
        _execute(L"(/skin/window_login?open)");
    _sources.listIPs(_localIPs);
}

void ZClient::_startServices() {
    _sipService = startService(ZSAFENEW(ZSIPService, _instance, _port), ZCLIENT_SERVICE_NAMES[0]);
    _videoCaptureService = startService(ZSAFENEW(ZVideoCaptureService, _instance, _port), ZCLIENT_SERVICE_NAMES[1]);
    _videoPlaybackService =
        startService(ZSAFENEW(ZVideoPlaybackService, _instance, _port), ZCLIENT_SERVICE_NAMES[2]);
    _logfileService = startService(ZSAFENEW(ZLogfileService, _instance), ZCLIENT_SERVICE_NAMES[3]);
    _upgradeService = startService(ZSAFENEW(ZUpgradeService, _instance), ZCLIENT_SERVICE_NAMES[4]);
    _dispatchService = startService(ZSAFENEW(ZDispatchService, _instance, _port), ZCLIENT_SERVICE_NAMES[5]);
    _fileService = startService(ZSAFENEW(ZFileService, _instance, _port), ZCLIENT_SERVICE_NAMES[6]);
    _screenService = startService(ZSAFENEW(ZScreenService, _instance, _port), ZCLIENT_SERVICE_NAMES[7]);
}

ZClient::~ZClient() {
    ZTRACE();
    ZSystemResignListener(this);
    if (_httpClient) {
        ZASSERT_PTR(_httpClient);
        delete _httpClient;
        _httpClient = nullptr;
    }
    ZIconClose(_icon);
    ZTimerClose(_timer);
    if (_signInTimer) ZTimerClose(_signInTimer);
    _signInTimer = nullptr;
    _instance->setQueueWaker(L"ZClient_commandQueue", nullptr);
    ZNotifyClose(_commandNotify);
    ZThreadObject** services[] = {&_sipService,      &_videoCaptureService, &_videoPlaybackService,
                                  &_logfileService,  &_upgradeService,      &_dispatchService,
                                  &_fileService,     &_screenService};
    for (ZThreadObject** service : services) (*service)->stop(false);
    for (ZThreadObject** service : services) {
        (*service)->stop(true);
        ZASSERT_PTR(*service);
        delete *service;
        *service = nullptr;
    }
    ZASSERT_PTR(_template);
    delete _template;
    _template = nullptr;
    ZASSERT_PTR(_port);
    delete _port;
    _port = nullptr;
    ZASSERT_PTR(_instance);
    delete _instance;
    _instance = nullptr;
    _localIPs.clear();
}

void ZClient::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZASSERT_PTR(_sipService);
    ZASSERT_PTR(_videoCaptureService);
    ZASSERT_PTR(_videoPlaybackService);
    ZASSERT_PTR(_logfileService);
    ZASSERT_PTR(_upgradeService);
    ZASSERT_PTR(_dispatchService);
    ZASSERT_PTR(_fileService);
    ZASSERT_PTR(_screenService);
    ZASSERT_PTR(_template);
    ZASSERT(_timer);
    ZASSERT(_icon);
    ZObject::invariantTest();
}

std::wstring ZClient::_context() {
    std::wstring text = L"(";
    text << _instance->get(L"Local_User_GUID") << L") [" << _getState(_state) << L"] ";
    return text;
}

std::int64_t ZClient::_now() const { return _sources.clock(); }

void ZClient::_execute(const std::wstring& command) { _template->executeCommand(command); }

void ZClient::_activity(const std::wstring& text) { ZLog(L"ACTIVITY: " + _context() + text + L"\n"); }

void ZClient::_post(const wchar_t* queue, const wchar_t* method) {
    _instance->enqueue(queue, ZHTTPHeaders(method).serialize());
}
