#pragma once

#include "JetReaderProtocol.h"
#include "OpenSsl.h"
#include "SecretBytes.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::jetreader {

// Decrypts the pages of an Access file saved with "Encrypt with Password",
// one at a time, in memory. Each page has a key or IV of its own, made from
// the file's key, the encoding key in its header and the page's number.
// The header page (page 0) is not encrypted.
class PageDecryptor
{
public:
    enum class Direction { Decrypt, Encrypt };

    // `unlock` is the payload of the program's Unlock request; ReaderFailure
    // when it makes no sense. Encrypting is for making test files.
    PageDecryptor(std::string_view unlock, std::uint32_t encodingKey, Direction direction = Direction::Decrypt);

    // Turns `size` bytes of page `number` at `page` around in place; `size`
    // is a whole number of cipher blocks.
    void apply(std::uint32_t number, unsigned char *page, std::size_t size) { apply(number, page, page, size); }
    // The same from `in` into `out`, which saves a copy of the page.
    void apply(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size);

private:
    void applyRc4(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size);
    void applyAes(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size);
    // The hash of `prefix` and the page's number mixed with the encoding
    // key, into `hash` (EVP_MAX_MD_SIZE bytes); returns its size.
    unsigned hashPage(std::uint32_t number, std::string_view prefix, unsigned char *hash);

    PageCipher m_cipher;
    std::uint32_t m_encodingKey;
    std::size_t m_keyBytes = 0;
    SecretBytes m_key;
    // Not secret: it stands in the file's header.
    std::string m_salt;
    std::size_t m_blockSize = 0;
    openssl::Cipher m_algorithm;
    openssl::Digest m_digest;
    openssl::CipherContext m_context;
    openssl::DigestContext m_hash;
};

} // namespace morvane::jetreader
