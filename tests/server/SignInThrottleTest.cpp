// Password guessing and sign-in capacity: the throttle by account and
// address on a clock of the test's own, then the real program under a burst
// of guesses, a flood of new accounts and one address's queue.
#include <gtest/gtest.h>

#include <memory>

#include "ZPortable_Text.h"
#include "ZSignInThrottle.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

constexpr std::int64_t kSecond = 1000000;
constexpr std::uint32_t kGuesser = 2;
constexpr std::uint32_t kOwner = 1;

ZSignInThrottle::Limits limits() {
    ZSignInThrottle::Limits l;
    l.freeFailures = 5;
    l.delay = 60 * kSecond;
    l.maxDelay = 600 * kSecond;
    l.accountFailures = 20;
    l.sourceFailures = 50;
    l.memory = 3600 * kSecond;
    return l;
}

std::unique_ptr<TCPClient> sendAuthenticate(int port, const std::string& from, const std::wstring& user,
                                            const std::wstring& password, const std::wstring& email = L"") {
    auto c = std::make_unique<TCPClient>(port, from);
    c->send(request(L"AUTHENTICATE", {{L"From", user}, {L"Password", password}, {L"Email", email},
                                      {L"Version", L"764"}}));
    return c;
}

int answerOf(TCPClient& c, int timeoutMs = 30000) {
    ZHTTPHeaders answer;
    return c.receive(answer, timeoutMs) ? answer.getResponse() : 0;
}

}  // namespace

TEST(SignInThrottle, DelaysAPairAfterItsFreeFailuresDoublingUpToTheCap) {
    ZSignInThrottle t(limits());
    std::int64_t now = 1000 * kSecond;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(t.admit("ann", kGuesser, now), 0) << i;
    EXPECT_EQ(t.admit("ann", kGuesser, now), 60 * kSecond);
    // The owner, from an address of their own, is not held back.
    EXPECT_EQ(t.admit("ann", kOwner, now), 0);
    t.succeeded("ann", kOwner, now);
    struct Step {
        std::int64_t after;
        std::int64_t wait;
    };
    // Each further failure doubles the wait: 120 s, 240 s, 480 s, then the 600 s cap.
    const Step steps[] = {{60, 120}, {120, 240}, {240, 480}, {480, 600}, {600, 600}};
    for (const Step& s : steps) {
        now += s.after * kSecond;
        EXPECT_EQ(t.admit("ann", kGuesser, now), 0) << s.after;
        EXPECT_EQ(t.admit("ann", kGuesser, now), s.wait * kSecond) << s.after;
    }
    // A right password clears the pair; an hour of quiet forgets it.
    now += 600 * kSecond;
    EXPECT_EQ(t.admit("ann", kGuesser, now), 0);
    t.succeeded("ann", kGuesser, now);
    EXPECT_EQ(t.pairFailures("ann", kGuesser, now), 0);
    for (int i = 0; i < 5; ++i) t.admit("bob", kGuesser, now);
    EXPECT_EQ(t.pairFailures("bob", kGuesser, now + 3600 * kSecond), 0);
    EXPECT_EQ(t.admit("bob", kGuesser, now + 3600 * kSecond), 0);
}

TEST(SignInThrottle, QueuesAnAddressBehindCleanOnesOnlyOnceItHasFailed) {
    ZSignInThrottle t(limits());
    const std::int64_t now = 1000 * kSecond;
    EXPECT_FALSE(t.suspect("ann", kGuesser, now));
    ASSERT_EQ(t.admit("ann", kGuesser, now), 0);
    ASSERT_EQ(t.admit("ann", kGuesser, now), 0);
    // Attempts still being checked are no failures yet.
    EXPECT_FALSE(t.suspect("ann", kGuesser, now));
    t.failed("ann", kGuesser, now);
    EXPECT_TRUE(t.suspect("ann", kGuesser, now));
    EXPECT_TRUE(t.suspect("bob", kGuesser, now)) << "the address has failed, whatever the account";
    EXPECT_FALSE(t.suspect("ann", kOwner, now));
    // An attempt the service never checked is taken back.
    t.withdrawn("ann", kGuesser, now);
    EXPECT_EQ(t.pairFailures("ann", kGuesser, now), 1);
    EXPECT_EQ(t.accountFailures("ann", now), 1);
    EXPECT_EQ(t.waiting("ann", kGuesser, now), 0);
}

TEST(SignInThrottle, GivesANewAddressOneTryOnAnAccountUnderAttackAndSlowsAnAddressGuessingEverywhere) {
    ZSignInThrottle t(limits());
    const std::int64_t now = 1000 * kSecond;
    // Eight addresses of one guesser, each taking its free failures.
    int admitted = 0;
    for (std::uint32_t a = 10; a < 18; ++a)
        for (int i = 0; i < 10; ++i) admitted += t.admit("ann", a, now) == 0;
    // 20 failures put the account under attack; the last four addresses get one try each.
    EXPECT_EQ(admitted, 4 * 5 + 4 * 1);
    // So does the owner, whose one try is right.
    EXPECT_EQ(t.admit("ann", kOwner, now), 0);
    t.succeeded("ann", kOwner, now);
    EXPECT_EQ(t.admit("ann", kOwner, now), 0);
    // One address trying many accounts waits once it has failed 50 times.
    int tried = 0;
    for (int i = 0; i < 100; ++i) tried += t.admit("user" + std::to_string(i), 99, now) == 0;
    EXPECT_EQ(tried, 50);
    EXPECT_GT(t.unknownAccount(99, now), 0);
}

TEST(SignInUnderAttack, GuessesFromOneAddressNeverLockTheOwnerOut) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    ASSERT_EQ(authenticate(server.port(0), L"kim", L"secret", L"k@example.org").getResponse(), 200);
    for (int i = 0; i < 6; ++i) {
        auto guess = sendAuthenticate(server.port(0), "127.0.0.2", L"kim@zandrel.net", L"guess" + ZToString(i));
        EXPECT_EQ(answerOf(*guess), i < 5 ? 403 : 429) << i;
    }
    auto guesserRight = sendAuthenticate(server.port(0), "127.0.0.2", L"kim@zandrel.net", L"secret");
    EXPECT_EQ(answerOf(*guesserRight), 429);
    auto owner = sendAuthenticate(server.port(0), "127.0.0.1", L"kim@zandrel.net", L"secret");
    EXPECT_EQ(answerOf(*owner), 200);
    EXPECT_NE(server.log().find("after wrong passwords, answering 429."), std::string::npos);
}

TEST(SignInUnderAttack, ABurstOfGuessesIsCountedBeforeItIsHashed) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    ASSERT_EQ(authenticate(server.port(0), L"lou", L"secret", L"l@example.org").getResponse(), 200);
    // 320 guesses sent at once from 8 addresses, the right one 300th.
    std::vector<std::unique_ptr<TCPClient>> guesses;
    for (int i = 0; i < 320; ++i)
        guesses.push_back(sendAuthenticate(server.port(0), "127.0.0." + std::to_string(2 + i % 8), L"lou@zandrel.net",
                                           i == 299 ? std::wstring(L"secret") : L"guess" + ZToString(i)));
    int hashed = 0;
    int refused = 0;
    int right = 0;
    for (int i = 0; i < 320; ++i) {
        const int status = answerOf(*guesses[i]);
        hashed += status == 403;
        // Told to wait, or beyond the address's share of the queue.
        refused += status == 429 || status == 503;
        if (i == 299) right = status;
    }
    EXPECT_NE(right, 200);
    // 20 failures put the account under attack; after that each address
    // has one more try before it waits.
    EXPECT_LE(hashed, 20 + 8);
    EXPECT_EQ(hashed + refused, 320);
}

TEST(SignInUnderAttack, OneAddressMayQueueOnlyItsShareAndCreateOnlySoManyAccounts) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--workers", "1"});
    ASSERT_TRUE(server.start());
    // 21 new accounts from one address: the 21st of the hour is refused,
    // another address still creates one.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(authenticate(server.port(0), L"new" + ZToString(i), L"pw", L"n@example.org").getResponse(), 200)
            << i;
    auto twentyFirst = sendAuthenticate(server.port(0), "127.0.0.1", L"new20", L"pw", L"n@example.org");
    EXPECT_EQ(answerOf(*twentyFirst), 429);
    auto elsewhere = sendAuthenticate(server.port(0), "127.0.0.5", L"new21", L"pw", L"n@example.org");
    EXPECT_EQ(answerOf(*elsewhere), 200);
    EXPECT_NE(server.log().find("Too many new accounts from (127.0.0.1:"), std::string::npos);

    // 20 right sign-ins to 20 accounts sent at once from one address: eight
    // at most are queued, the rest are told the service is busy.
    std::vector<std::unique_ptr<TCPClient>> burst;
    for (int i = 0; i < 20; ++i)
        burst.push_back(sendAuthenticate(server.port(0), "127.0.0.6", L"new" + ZToString(i) + L"@zandrel.net", L"pw"));
    int ok = 0;
    int busy = 0;
    for (auto& c : burst) {
        const int status = answerOf(*c);
        ok += status == 200;
        busy += status == 503;
    }
    EXPECT_GE(ok, 8);
    EXPECT_GT(busy, 0);
    EXPECT_EQ(ok + busy, 20);
}

TEST(SignInUnderAttack, SignInsOfExistingAccountsGoAheadOfNewAccounts) {
    ZTempDir dir;
    // Each hash takes long beside the owner's TLS handshake, which the worker
    // keeps hashing through: on a busy machine a cheap hash let a few more
    // creations finish before the owner's request was even read.
    ServerProcess server(dir.file("data"), {"--workers", "1", "--pbkdf2-iterations", "100000"});
    ASSERT_TRUE(server.start());
    ASSERT_EQ(authenticate(server.port(0), L"mia", L"secret", L"m@example.org").getResponse(), 200);
    // 32 new accounts from four addresses, queued behind one worker.
    std::vector<std::unique_ptr<TCPClient>> creators;
    for (int i = 0; i < 32; ++i)
        creators.push_back(sendAuthenticate(server.port(0), "127.0.0." + std::to_string(10 + i % 4),
                                            L"crowd" + ZToString(i), L"pw", L"c@example.org"));
    // Once the first is answered, the others have long been read and queued.
    ASSERT_EQ(answerOf(*creators[0]), 200);
    auto owner = sendAuthenticate(server.port(0), "127.0.0.20", L"mia@zandrel.net", L"secret");
    EXPECT_EQ(answerOf(*owner), 200);
    // The creations answered by then: those the worker had started, not the queue.
    int before = 0;
    std::vector<int> status(creators.size(), 0);
    for (std::size_t i = 1; i < creators.size(); ++i) {
        ZHTTPHeaders answer;
        if (creators[i]->receive(answer, 1)) {
            ++before;
            status[i] = answer.getResponse();
        }
    }
    EXPECT_LE(before, 3);
    for (std::size_t i = 1; i < creators.size(); ++i)
        EXPECT_EQ(status[i] ? status[i] : answerOf(*creators[i]), 200) << i;
}
