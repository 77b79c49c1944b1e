#include "ZServerPassword.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>

std::string ZServerNewSalt() {
    std::string salt(16, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size()));
    return salt;
}

std::string ZServerHashPassword(const std::string& password, const std::string& salt, int iterations) {
    std::string out(32, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                          iterations, EVP_sha256(), static_cast<int>(out.size()),
                          reinterpret_cast<unsigned char*>(out.data())) != 1)
        return std::string();
    return out;
}

bool ZServerSameBytes(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string ZServerNewGUID() {
    unsigned char bytes[16];
    RAND_bytes(bytes, sizeof(bytes));
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
        s += kHex[bytes[i] >> 4];
        s += kHex[bytes[i] & 15];
    }
    return s;
}

std::string ZServerNewKey() {
    std::string key = ZServerNewGUID();
    key.erase(std::remove(key.begin(), key.end(), '-'), key.end());
    return key;
}
