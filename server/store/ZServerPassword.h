// Salted, slow password hashes (PBKDF2-HMAC-SHA256 through OpenSSL) and the
// random identifiers of the service.
//
// Stateless: any thread.
#pragma once

#include <string>

// A fresh random salt of 16 bytes.
std::string ZServerNewSalt();
// The 32-byte PBKDF2-HMAC-SHA256 of the password; empty when OpenSSL fails.
std::string ZServerHashPassword(const std::string& password, const std::string& salt, int iterations);
// Compares in time independent of where the texts differ.
bool ZServerSameBytes(const std::string& a, const std::string& b);
// 32 random lower-case hex digits in the 8-4-4-4-12 layout of a GUID.
std::string ZServerNewGUID();
// 128 random bits as 32 lower-case hex digits.
std::string ZServerNewKey();
