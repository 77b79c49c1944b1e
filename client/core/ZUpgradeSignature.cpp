// Ed25519 through OpenSSL's EVP interface.
#include "ZUpgradeSignature.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

// 64 hex digits to 32 bytes; false for anything else.
bool keyBytes(const std::string& hex, unsigned char out[32]) {
    if (hex.size() != 64) return false;
    for (int i = 0; i < 32; ++i) {
        unsigned int value = 0;
        for (int j = 0; j < 2; ++j) {
            const char c = hex[2 * i + j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return false;
            value = value * 16 + static_cast<unsigned int>(digit);
        }
        out[i] = static_cast<unsigned char>(value);
    }
    return true;
}

}  // namespace

bool ZUpgradeGenerateKey(std::string& privatePem, std::string& publicHex) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) return false;
    unsigned char raw[32];
    std::size_t length = sizeof raw;
    bool ok = EVP_PKEY_get_raw_public_key(key, raw, &length) == 1 && length == sizeof raw;
    BIO* bio = BIO_new(BIO_s_mem());
    ok = ok && bio && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (ok) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        privatePem.assign(data, static_cast<std::size_t>(size));
        static const char digits[] = "0123456789abcdef";
        publicHex.clear();
        for (unsigned char byte : raw) {
            publicHex += digits[byte >> 4];
            publicHex += digits[byte & 15];
        }
    }
    BIO_free(bio);
    EVP_PKEY_free(key);
    return ok;
}

bool ZUpgradeSign(const std::string& data, const std::string& privatePem, std::string& signature) {
    BIO* bio = BIO_new_mem_buf(privatePem.data(), static_cast<int>(privatePem.size()));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!key) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char out[64];
    std::size_t length = sizeof out;
    const bool ok = ctx && EVP_PKEY_get_id(key) == EVP_PKEY_ED25519 &&
                    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                    EVP_DigestSign(ctx, out, &length, reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (ok) signature.assign(reinterpret_cast<const char*>(out), length);
    return ok;
}

bool ZUpgradeVerify(const std::string& data, const std::string& signature, const std::string& publicHex) {
    unsigned char key[32];
    if (signature.size() != 64 || !keyBytes(publicHex, key)) return false;
    EVP_PKEY* pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, sizeof key);
    if (!pkey) return false;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = ctx && EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, pkey) == 1 &&
                    EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    return ok;
}
