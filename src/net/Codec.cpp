#include "net/Codec.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

namespace pv {

std::string Base64Encode(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return std::string();
    // EVP_DecodeBlock skips nothing and counts the padding as zero bytes: the size is corrected.
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alpha = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                           c == '/';
        const bool pad = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
        if (!alpha && !pad) return std::nullopt;
    }
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    size_t size = static_cast<size_t>(n);
    if (text.back() == '=') --size;
    if (text[text.size() - 2] == '=') --size;
    out.resize(size);
    return out;
}

std::string Base64UrlNoPad(std::string_view bytes) {
    std::string out = Base64Encode(bytes);
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char& c : out) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return out;
}

std::string Sha256(std::string_view bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return {};
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string RandomBytes(size_t count) {
    std::string out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) return {};
    return out;
}

}  // namespace pv
