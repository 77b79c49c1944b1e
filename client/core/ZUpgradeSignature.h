// Ed25519 signatures of upgrade files: the release tool signs a file with
// the private key (kept out of the repository), and the client verifies the
// detached signature with the public key built into it.
//
// Threading: any thread; nothing is shared.
#pragma once

#include <string>

// A new key pair: the private key as PEM text, the public key as 64 hex digits.
bool ZUpgradeGenerateKey(std::string& privatePem, std::string& publicHex);
// The 64-byte signature of data under the PEM private key; false when the
// key cannot be read.
bool ZUpgradeSign(const std::string& data, const std::string& privatePem, std::string& signature);
// True when signature is a valid signature of data under the hex public key.
bool ZUpgradeVerify(const std::string& data, const std::string& signature, const std::string& publicHex);
