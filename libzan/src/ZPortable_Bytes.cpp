// Byte-buffer serialisation, bit maps and file digests.
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "ZPortable_Bytes.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

void ZSerialize(const void* value, int valueSize, std::string& out) {
    ZPRECONDITION(value && valueSize >= 0);
    if (!value || valueSize < 0) return;
    out.append(static_cast<const char*>(value), static_cast<std::size_t>(valueSize));
}

void ZSerialize(int value, std::string& out) {
    const std::int32_t v = value;
    ZSerialize(&v, 4, out);
}

void ZSerialize(std::int64_t value, std::string& out) { ZSerialize(&value, 8, out); }

void ZConsume(std::string& buffer, int num) {
    // A negative count is as much a programming error as one past the end.
    ZASSERT_T(num >= 0 && num <= (int)buffer.size(), "num <= (int)buffer.size( )");
    if (num <= 0 || num > static_cast<int>(buffer.size())) return;
    buffer.erase(0, static_cast<std::size_t>(num));
}

int ZDeserialize(const char* buffer, int length, const char*& data, int dataLength) {
    if (dataLength < 0 || dataLength > length) return 0;
    data = buffer;
    return dataLength;
}

int ZDeserialize(const char* buffer, unsigned int length, int& value) {
    if (length < 4) return 0;
    std::int32_t v;
    std::memcpy(&v, buffer, 4);
    value = v;
    return 4;
}

int ZDeserialize(const char* buffer, unsigned int length, std::int64_t& value) {
    if (length < 8) return 0;
    std::memcpy(&value, buffer, 8);
    return 8;
}

void ZBufferAppend(std::string& buffer, const char* data, int count) {
    if (count <= 0) return;
    buffer.append(data, static_cast<std::size_t>(count));
}

bool ZBitTest(const unsigned char* bits, int byteCount, int n) {
    if (n < 0 || n / 8 >= byteCount) return false;
    return (bits[n / 8] & (0x80 >> (n % 8))) != 0;
}

void ZBitSet(unsigned char* bits, int /*byteCount*/, int n) { bits[n / 8] |= static_cast<unsigned char>(0x80 >> (n % 8)); }

int ZBitCount(const unsigned char* bits, int byteCount) {
    int count = 0;
    for (int i = 0; i < byteCount; ++i) count += __builtin_popcount(bits[i]);
    return count;
}

std::string ZFileSHA1(const std::wstring& path) {
    const std::atomic<bool> never{false};
    return ZFileSHA1(path, never);
}

std::string ZFileSHA1(const std::wstring& path, const std::atomic<bool>& stop) {
    std::unique_ptr<FILE, int (*)(FILE*)> fp(std::fopen(ZToUTF8(path).c_str(), "rbe"), std::fclose);
    if (!fp) return "";
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr);
    // Large reads straight into one buffer: the stdio buffer would only add
    // a copy.
    constexpr std::size_t kPiece = 1 << 20;
    std::unique_ptr<char[]> piece(new char[kPiece]);
    std::setvbuf(fp.get(), nullptr, _IONBF, 0);
    std::size_t n;
    while ((n = std::fread(piece.get(), 1, kPiece, fp.get())) > 0) {
        if (stop.load(std::memory_order_relaxed)) return "";
        EVP_DigestUpdate(ctx.get(), piece.get(), n);
    }
    if (std::ferror(fp.get())) return "";
    std::string digest(20, '\0');
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(digest.data()), &size);
    return digest;
}
