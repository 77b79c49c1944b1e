#include <gtest/gtest.h>

#include "ZPortable_Bytes.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

TEST(ZSerialize, WritesIntegersLittleEndian) {
    std::string out;
    ZSerialize(1, out);
    ZSerialize(static_cast<std::int64_t>(-2), out);
    EXPECT_EQ(out, std::string("\x01\x00\x00\x00\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12));
}

TEST(ZSerialize, RefusesANullValueAsAPrecondition) {
    ZLogCapture log;
    std::string out;
    EXPECT_ZABORT(ZSerialize(nullptr, 4, out));
    EXPECT_TRUE(log.contains(L"[ZSerialize] ERROR: Precondition failed, aborting. (value && valueSize >= 0)"));
}

TEST(ZDeserialize, ReadsBackWhatWasWrittenAndRefusesShortInput) {
    std::string buffer;
    ZSerialize(-7, buffer);
    ZSerialize(static_cast<std::int64_t>(1) << 40, buffer);
    int i = 99;
    std::int64_t l = 0;
    EXPECT_EQ(ZDeserialize(buffer.data(), 3u, i), 0);
    EXPECT_EQ(i, 99);
    ASSERT_EQ(ZDeserialize(buffer.data(), static_cast<unsigned>(buffer.size()), i), 4);
    EXPECT_EQ(i, -7);
    EXPECT_EQ(ZDeserialize(buffer.data() + 4, 7u, l), 0);
    ASSERT_EQ(ZDeserialize(buffer.data() + 4, 8u, l), 8);
    EXPECT_EQ(l, static_cast<std::int64_t>(1) << 40);
    const char* run = nullptr;
    EXPECT_EQ(ZDeserialize(buffer.data(), 12, run, 12), 12);
    EXPECT_EQ(run, buffer.data());
    run = nullptr;
    EXPECT_EQ(ZDeserialize(buffer.data(), 12, run, 13), 0);
    EXPECT_EQ(ZDeserialize(buffer.data(), 12, run, -1), 0);
    EXPECT_EQ(run, nullptr);
}

TEST(ZConsume, DropsFromTheFrontAndRefusesCountsOutsideTheBuffer) {
    std::string b = "abcdef";
    ZConsume(b, 0);
    EXPECT_EQ(b, "abcdef");
    ZConsume(b, 2);
    EXPECT_EQ(b, "cdef");
    ZConsume(b, 4);
    EXPECT_EQ(b, "");
    ZLogCapture log;
    b = "xy";
    EXPECT_ZABORT(ZConsume(b, 3));
    EXPECT_ZABORT(ZConsume(b, -1));
    EXPECT_EQ(b, "xy");  // neither count emptied the buffer
    EXPECT_EQ(log.count(L"[ZConsume] ERROR: Assertion failed, aborting. (num <= (int)buffer.size( ))"), 2);
}

TEST(BitMaps, NumberBitsFromTheTopOfTheFirstByte) {
    unsigned char one[1] = {0x80};
    EXPECT_TRUE(ZBitTest(one, 1, 0));
    for (int n = 1; n < 8; ++n) EXPECT_FALSE(ZBitTest(one, 1, n));
    unsigned char full[1] = {0xFF};
    EXPECT_FALSE(ZBitTest(full, 1, 8));
    unsigned char map[2] = {0, 0};
    ZBitSet(map, 2, 9);
    EXPECT_EQ(map[1], 0x40);
    const unsigned char count[2] = {0xFF, 0x01};
    EXPECT_EQ(ZBitCount(count, 2), 9);
    EXPECT_EQ(ZBitCount(count, 0), 0);
}

TEST(ZFileSHA1, DigestsTheFileOrGivesEmptyWhenMissing) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("empty"), "");
    ZTestWriteFile(dir.file("abc"), "abc");
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.file("empty"))),
              std::string("\xda\x39\xa3\xee\x5e\x6b\x4b\x0d\x32\x55\xbf\xef\x95\x60\x18\x90\xaf\xd8\x07\x09", 20));
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.file("abc"))),
              std::string("\xa9\x99\x3e\x36\x47\x06\x81\x6a\xba\x3e\x25\x71\x78\x50\xc2\x6c\x9c\xd0\xd8\x9d", 20));
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.file("missing"))), "");
    // A folder opens but cannot be read: no digest, not that of no bytes.
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.path())), "");
}

TEST(ZFileSHA1, ReadsInPiecesAndGivesUpWhenStopped) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("million"), std::string(1000000, 'a'));
    const std::atomic<bool> go{false}, stop{true};
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.file("million")), go),
              std::string("\x34\xaa\x97\x3c\xd4\xc4\xda\xa4\xf6\x1e\xeb\x2b\xdb\xad\x27\x31\x65\x34\x01\x6f", 20));
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(dir.file("million")), stop), "");
}
