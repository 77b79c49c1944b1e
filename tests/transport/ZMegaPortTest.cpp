#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZTestRelay.h"
#include "ZTestSupport.h"

using namespace transporttest;

namespace {

std::string rtpPacket(int payloadType, int sequence, const std::string& payload = "data") {
    std::string packet(12, '\0');
    packet[0] = static_cast<char>(0x80);
    packet[1] = static_cast<char>(payloadType);
    packet[2] = static_cast<char>(sequence >> 8);
    packet[3] = static_cast<char>(sequence);
    return packet + payload;
}

// What a filer does with a received buffer: RTP by type, everything else to signalling.
void file(ZMegaPort& port, const std::string& buffer, const std::wstring& from = L"10.0.0.2:5000") {
    ZMegaPortBucket* bucket = port.getEmtpyBucket();
    bucket->to = L"10.0.0.1:4000";
    bucket->from = from;
    bucket->buffer = buffer;
    if (ZIsRTP(buffer))
        port.fillRTPBucket(bucket);
    else
        port.fillSIPBucket(bucket);
}

// Takes every bucket of the list, returning each to the pool; their buffers in order.
std::vector<std::string> drainRTP(ZMegaPort& port, int payloadType) {
    std::vector<std::string> buffers;
    while (ZMegaPortBucket* bucket = port.getRTPBucket(static_cast<std::uint8_t>(payloadType))) {
        buffers.push_back(bucket->buffer);
        port.returnEmptyBucket(bucket);
    }
    return buffers;
}

std::vector<std::string> drainSIP(ZMegaPort& port) {
    std::vector<std::string> buffers;
    while (ZMegaPortBucket* bucket = port.getSIPBucket()) {
        buffers.push_back(bucket->buffer);
        port.returnEmptyBucket(bucket);
    }
    return buffers;
}

// A thread's count of voluntary context switches: how often it went to
// sleep, and so, for a thread parked in one wait, how often it was woken.
long wakeUpsOf(long tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1;
}

// Whether the thread is asleep (in a wait) right now.
bool isSleeping(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
}

const wchar_t* const kUnsupportedType =
    L"WARNING Attempting to fill RTP bucket for unsupported payload type #";

}  // namespace

TEST(ZMegaPort, FilesEachPacketInTheListOfItsKindAndKeepsThePoolAccounted) {
    struct Row {
        const char* what;
        std::string buffer;
        int list;  // an RTP payload type, 0 for signalling, -1 for dropped
    };
    const std::vector<Row> rows = {
        {"audio", rtpPacket(ZRTP_AUDIO, 1), ZRTP_AUDIO},
        {"video", rtpPacket(ZRTP_VIDEO, 2), ZRTP_VIDEO},
        {"file transfer", rtpPacket(ZRTP_FILE, 3), ZRTP_FILE},
        {"screen", rtpPacket(ZRTP_SCREEN, 4), ZRTP_SCREEN},
        {"sender report", rtpPacket(ZRTCP_SENDER_REPORT, 5), ZRTP_AUDIO},
        {"type 5", rtpPacket(5, 6), -1},
        {"type 255", rtpPacket(255, 7), -1},
        {"11 bytes starting 0x80", std::string("\x80\x01", 2) + std::string(9, 'x'), 0},
        {"a text message", "PING / HTTP/1.1\r\nCSeq: 7\r\n\r\n", 0},
        {"an empty datagram", "", 0},
    };
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me@zandrel"));
    ZMegaPort& port = *portOwner;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZLogCapture log;
        file(port, row.buffer);
        std::vector<std::string> expected{row.buffer};
        for (const int type : {ZRTP_AUDIO, ZRTP_VIDEO, ZRTP_FILE, ZRTP_SCREEN})
            EXPECT_EQ(drainRTP(port, type), type == row.list ? expected : std::vector<std::string>());
        if (row.list == -1) {
            EXPECT_TRUE(drainRTP(port, static_cast<unsigned char>(row.buffer[1])).empty());
        }
        EXPECT_EQ(drainSIP(port), row.list == 0 ? expected : std::vector<std::string>());
        EXPECT_EQ(log.count(kUnsupportedType), row.list == -1 ? 1 : 0);
        EXPECT_EQ(port.getNumEmptyBuckets(), port.getNumBucketsCreated());
    }
    // One bucket served every row: nothing leaked out of the pool.
    EXPECT_EQ(port.getNumBucketsCreated(), 1);
}

TEST(ZMegaPort, DropsAnUnsupportedTypeWithItsNumberAndTheBucketReturnsToThePool) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me@zandrel"));
    ZMegaPort& port = *portOwner;
    ZMegaPortBucket* held = port.getEmtpyBucket();  // a consumer's bucket, still in use
    ZLogCapture log;
    file(port, rtpPacket(5, 1));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(L"[ZMegaPort::fillRTPBucket] (me@zandrel) WARNING Attempting to fill RTP bucket "
                                  L"for unsupported payload type #5, ignoring.\n"),
              std::wstring::npos)
        << ZToUTF8(log.lines()[0]);
    EXPECT_EQ(port.getNumEmptyBuckets() + 1, port.getNumBucketsCreated());
    port.returnEmptyBucket(held);
}

TEST(ZMegaPort, RefusesAMalformedRTPBufferAndReturnsItsBucket) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L""));
    ZMegaPort& port = *portOwner;
    ZLogCapture log;
    ZMegaPortBucket* bucket = port.getEmtpyBucket();
    bucket->buffer = std::string("\x80\x01", 2) + std::string(9, 'x');
    port.fillRTPBucket(bucket);
    EXPECT_EQ(log.count(L"((unknown)) WARNING Trying to fill bucket with malformed RTP buffer; ignoring.\n"), 1);
    EXPECT_EQ(port.getNumEmptyBuckets(), 1);
    EXPECT_EQ(port.getRTPBucket(ZRTP_AUDIO), nullptr);
}

TEST(ZMegaPort, ReusesReturnedBucketsWithTheirOldContentsAndGrowsOnlyWhenThePoolIsEmpty) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    ZMegaPortBucket* a = port.getEmtpyBucket();
    ZMegaPortBucket* b = port.getEmtpyBucket();
    EXPECT_NE(a, b);
    EXPECT_TRUE(a->to.empty() && a->from.empty() && a->buffer.empty());
    a->buffer = "old";
    port.returnEmptyBucket(a);
    ZMegaPortBucket* again = port.getEmtpyBucket();
    EXPECT_EQ(again, a);
    EXPECT_EQ(again->buffer, "old");
    EXPECT_EQ(port.getNumBucketsCreated(), 2);
    port.returnEmptyBucket(again);
    port.returnEmptyBucket(b);
}

TEST(ZMegaPort, ThreeFillsBeforeAWaitWakeItOnceAndAreTakenInArrivalOrder) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    for (int i = 0; i < 3; ++i) file(port, rtpPacket(ZRTP_VIDEO, i));
    port.waitForRTPBucket(60000000, ZRTP_VIDEO);  // signalled: returns at once
    const std::vector<std::string> taken = drainRTP(port, ZRTP_VIDEO);
    ASSERT_EQ(taken.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(taken[static_cast<std::size_t>(i)], rtpPacket(ZRTP_VIDEO, i));
    EXPECT_EQ(port.getRTPBucket(ZRTP_VIDEO), nullptr);
}

TEST(ZMegaPort, AFillFromAnotherThreadWakesAWaitingConsumer) {
    struct Case {
        const char* what;
        int fillType;  // 0: signalling
        void (*wait)(ZMegaPort&);
    };
    const Case cases[] = {
        {"signalling", 0, [](ZMegaPort& p) { p.waitForSIPBucket(60000000); }},
        {"screen", ZRTP_SCREEN, [](ZMegaPort& p) { p.waitForRTPBucket(60000000, ZRTP_SCREEN); }},
        {"either of file and screen", ZRTP_FILE,
         [](ZMegaPort& p) { p.waitForRTPBucket(60000000, ZRTP_SCREEN, ZRTP_FILE); }},
        {"audio beside a type without list", ZRTP_AUDIO,
         [](ZMegaPort& p) { p.waitForRTPBucket(60000000, ZRTP_AUDIO, 9); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
        ZMegaPort& port = *portOwner;
        const std::int64_t start = ZTimeNow();
        std::thread filler([&] {
            file(port, c.fillType ? rtpPacket(c.fillType, 1) : std::string("PING / HTTP/1.1\r\n\r\n"));
        });
        c.wait(port);
        filler.join();
        // Woken by the fill, long before the minute the wait allows.
        EXPECT_LT(ZTimeNow() - start, 30000000);
        if (c.fillType)
            EXPECT_EQ(drainRTP(port, c.fillType).size(), 1u);
        else
            EXPECT_EQ(drainSIP(port).size(), 1u);
    }
}

TEST(ZMegaPort, WaitingOnTypesWithoutAListWarnsAndSleepsTheWholeTimeOut) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    file(port, rtpPacket(ZRTP_AUDIO, 1));  // a signalled event must not shorten these waits
    {
        ZLogCapture log;
        const std::int64_t start = ZTimeNow();
        port.waitForRTPBucket(20000, 9);
        EXPECT_GE(ZTimeNow() - start, 20000);
        EXPECT_EQ(log.count(L"(me) WARNING Trying to wait on unsupported RTP payload type #9, ignoring.\n"), 1);
    }
    {
        ZLogCapture log;
        const std::int64_t start = ZTimeNow();
        port.waitForRTPBucket(20000, 9, 200);
        EXPECT_GE(ZTimeNow() - start, 20000);
        EXPECT_EQ(log.count(L"(me) WARNING Trying to wait on unsupported RTP payload types #9 and #200, ignoring.\n"),
                  1);
    }
    EXPECT_EQ(drainRTP(port, ZRTP_AUDIO).size(), 1u);
}

TEST(ZMegaPort, AWaitBelowOneMillisecondOnlyPolls) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    ZLogCapture log;
    port.waitForSIPBucket(999);
    port.waitForRTPBucket(999, ZRTP_AUDIO);
    port.waitForRTPBucket(0, ZRTP_AUDIO, ZRTP_VIDEO);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ZMegaPort, BadWaitArgumentsStopTheProgramWithTheCheckText) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    struct Case {
        void (*call)(ZMegaPort&);
        const wchar_t* text;
    };
    const Case cases[] = {
        {[](ZMegaPort& p) { p.waitForSIPBucket(-1); }, L"(timeout >= 0)"},
        {[](ZMegaPort& p) { p.waitForRTPBucket(-1, 1); }, L"(timeout >= 0)"},
        {[](ZMegaPort& p) { p.waitForRTPBucket(0, 256); }, L"(ZWITHIN( 0, payloadType, 255 ))"},
        {[](ZMegaPort& p) { p.waitForRTPBucket(0, -1); }, L"(ZWITHIN( 0, payloadType, 255 ))"},
        {[](ZMegaPort& p) { p.waitForRTPBucket(0, 1, 256); },
         L"(ZWITHIN( 0, payloadTypeA, 255 ) && ZWITHIN( 0, payloadTypeB, 255 ))"},
        {[](ZMegaPort& p) { p.setUDPPort(nullptr); }, L"(udpPort)"},
        {[](ZMegaPort& p) { p.setTCPSocket(nullptr, L"1.2.3.4:5"); }, L"(tcpSocket)"},
    };
    for (const Case& c : cases) {
        ZLogCapture log;
        EXPECT_ZABORT(c.call(port));
        EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. " + std::wstring(c.text) + L"\n"), 1)
            << ZToUTF8(c.text);
    }
}

TEST(ZMegaPort, ResetEmptiesTheListsIntoThePoolAndADestructionAfterItIsQuiet) {
    ZLogCapture log;
    {
        std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
        ZMegaPort& port = *portOwner;
        for (const int type : {ZRTP_AUDIO, ZRTP_VIDEO, ZRTP_FILE, ZRTP_SCREEN}) file(port, rtpPacket(type, 1));
        file(port, "PING / HTTP/1.1\r\n\r\n");
        EXPECT_EQ(port.getNumBucketsCreated(), 5);
        port.reset();
        EXPECT_EQ(port.getNumEmptyBuckets(), 5);
        EXPECT_EQ(port.getSIPBucket(), nullptr);
        EXPECT_EQ(port.getLocalHost(), L"0.0.0.0:0");
        EXPECT_EQ(port.getGlobalHost(), L"0.0.0.0:0");
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST(ZMegaPort, ADestructionWhileAConsumerHoldsABucketWarnsOfTheMissingBucket) {
    ZMegaPortBucket* held = nullptr;
    ZLogCapture log;
    {
        std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
        ZMegaPort& port = *portOwner;
        held = port.getEmtpyBucket();
    }
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (_numBucketsCreated == (int)_emptyBucketList.size( ))\n"), 1);
    delete held;
}

TEST(ZMegaPort, AMessageOnAWatchedQueueEndsItsConsumersWaitAndTheWaitClearsIt) {
    ZTempDir dir;
    ZInstance store(ZFromUTF8(dir.file("settings.ini")));
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    ZMegaPortQueueWake wake(&store, &port);
    wake.watch(L"Screen_commandQueue");
    wake.watch(L"Buddy_commandQueue");
    struct Case {
        const char* what;
        void (*wait)(ZMegaPort&, ZMegaPortEvent*);
    };
    const Case cases[] = {
        {"signalling", [](ZMegaPort& p, ZMegaPortEvent* w) { p.waitForSIPBucket(600000000, w); }},
        {"one type", [](ZMegaPort& p, ZMegaPortEvent* w) { p.waitForRTPBucket(600000000, ZRTP_SCREEN, w); }},
        {"two types", [](ZMegaPort& p, ZMegaPortEvent* w) { p.waitForRTPBucket(600000000, ZRTP_AUDIO, ZRTP_VIDEO, w); }},
    };
    for (const Case& c : cases) {
        for (const wchar_t* queue : {L"SCREEN_commandQueue", L"Buddy_commandQueue"}) {
            SCOPED_TRACE(c.what);
            // Posted while the consumer waits: the wait ends long before its ten minutes.
            const std::int64_t start = ZTimeNow();
            std::thread consumer([&] { c.wait(port, wake.event()); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            store.enqueue(queue, "command");
            consumer.join();
            EXPECT_LT(ZTimeNow() - start, 300000000);
            // Posted before the wait: it returns at once, and clears the wake-up.
            store.enqueue(queue, "command");
            c.wait(port, wake.event());
            EXPECT_FALSE(wake.event()->signalled);
        }
    }
    // Other queues, and a queue no longer watched, leave it alone.
    wake.unwatch(L"Buddy_commandQueue");
    store.enqueue(L"Other_commandQueue", "command");
    store.enqueue(L"Buddy_commandQueue", "command");
    EXPECT_FALSE(wake.event()->signalled);
    EXPECT_EQ(store.length(L"Screen_commandQueue"), 6u);
}

TEST(ZMegaPort, AFilledBucketWakesOnlyTheConsumerOfItsKind) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    ZMegaPortEvent stop;
    std::atomic<long> screenThread{0};
    std::thread screen([&] {
        screenThread = syscall(SYS_gettid);
        port.waitForRTPBucket(600000000, ZRTP_SCREEN, &stop);
    });
    while (!screenThread || !isSleeping(screenThread)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long before = wakeUpsOf(screenThread);
    constexpr int kDatagrams = 200;
    for (int i = 0; i < kDatagrams; ++i) {
        file(port, rtpPacket(ZRTP_FILE, i));
        port.waitForRTPBucket(0, ZRTP_FILE);
        EXPECT_EQ(drainRTP(port, ZRTP_FILE).size(), 1u);
        std::this_thread::yield();
    }
    // A few wake-ups are the machine's own doing; one per datagram is ours.
    EXPECT_LT(wakeUpsOf(screenThread) - before, kDatagrams / 10);
    port.signalWake(&stop);
    screen.join();
}
