// Byte buffers: a std::string used as a growable run of bytes. Integers are
// written little-endian (least significant byte first); bit n of a block map
// lies in byte n / 8 at mask 0x80 >> (n % 8).
//
// Stateless: every function may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

void ZSerialize(const void* value, int valueSize, std::string& out);
void ZSerialize(int value, std::string& out);
void ZSerialize(std::int64_t value, std::string& out);
void ZConsume(std::string& buffer, int num);
int ZDeserialize(const char* buffer, int length, const char*& data, int dataLength);
int ZDeserialize(const char* buffer, unsigned int length, int& value);
int ZDeserialize(const char* buffer, unsigned int length, std::int64_t& value);
void ZBufferAppend(std::string& buffer, const char* data, int count);
bool ZBitTest(const unsigned char* bits, int byteCount, int n);
void ZBitSet(unsigned char* bits, int byteCount, int n);
int ZBitCount(const unsigned char* bits, int byteCount);
// The raw 20-byte SHA-1 digest of a file, "" when it cannot be opened.
std::string ZFileSHA1(const std::wstring& path);
// The same, giving up with "" as soon as it sees stop set (it looks between
// reads of 1 MB), so a digest of a large file can be abandoned.
std::string ZFileSHA1(const std::wstring& path, const std::atomic<bool>& stop);
