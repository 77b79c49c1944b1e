// zandrel-sign: makes the release key pair and signs upgrade files.
//   zandrel-sign genkey <private.pem> <public.hex>   a new key pair
//   zandrel-sign sign <private.pem> <file>           writes <file>.sig
// The private key stays with whoever makes releases, never in the
// repository; the public file is what the build option ZAN_UPGRADE_PUBLIC_KEY
// names. zandrel-server offers <file> and serves <file>.sig beside it.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ZUpgradeSignature.h"

namespace {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out && chmod(path.c_str(), mode) == 0;
}

int usage() {
    std::fprintf(stderr,
                 "Usage: zandrel-sign genkey <private.pem> <public.hex>\n"
                 "       zandrel-sign sign <private.pem> <file>   (writes <file>.sig)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return usage();
    const std::string verb = argv[1];
    if (verb == "genkey") {
        std::string privatePem;
        std::string publicHex;
        if (!ZUpgradeGenerateKey(privatePem, publicHex) || !writeFile(argv[2], privatePem, 0600) ||
            !writeFile(argv[3], publicHex + "\n", 0644)) {
            std::fprintf(stderr, "zandrel-sign: cannot make the key pair\n");
            return 1;
        }
        return 0;
    }
    if (verb == "sign") {
        std::string privatePem;
        std::string data;
        std::string signature;
        if (!readFile(argv[2], privatePem) || !readFile(argv[3], data) ||
            !ZUpgradeSign(data, privatePem, signature) ||
            !writeFile(std::string(argv[3]) + ".sig", signature, 0644)) {
            std::fprintf(stderr, "zandrel-sign: cannot sign '%s'\n", argv[3]);
            return 1;
        }
        return 0;
    }
    return usage();
}
