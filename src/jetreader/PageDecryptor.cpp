#include "PageDecryptor.h"

#include "JetReaderProtocol.h"
#include "ReaderFailure.h"

#include <algorithm>
#include <string>

namespace morvane::jetreader {

namespace {

[[noreturn]] void badKey()
{
    throw ReaderFailure("The key to the encrypted file makes no sense.");
}

void check(int ok)
{
    if (!ok)
        throw ReaderFailure("The encrypted file could not be decrypted.");
}

} // namespace

PageDecryptor::PageDecryptor(std::string_view unlock, std::uint32_t encodingKey, Direction direction)
    : m_encodingKey(encodingKey), m_context(EVP_CIPHER_CTX_new()), m_hash(EVP_MD_CTX_new())
{
    PayloadReader fields(unlock.data(), unlock.size());
    m_cipher = PageCipher(fields.u8());
    if (m_cipher == PageCipher::Rc4CryptoApi) {
        m_keyBytes = fields.u8();
        const std::string_view baseHash = fields.text();
        m_key = SecretBytes(baseHash.data(), baseHash.size());
        m_algorithm = openssl::fetchCipher("RC4");
        m_digest = openssl::fetchDigest("SHA1");
        if (!fields.ok() || !fields.atEnd() || m_keyBytes < 5 || m_keyBytes > 16)
            badKey();
        // The cipher and the key's length stay; each page brings its key.
        if (m_algorithm && m_context) {
            check(EVP_CipherInit_ex2(m_context.get(), m_algorithm.get(), nullptr, nullptr, 0, nullptr));
            check(EVP_CIPHER_CTX_set_key_length(m_context.get(), m_keyBytes == 5 ? 16 : int(m_keyBytes)));
        }
    } else if (m_cipher == PageCipher::AgileAes) {
        const std::string_view key = fields.text();
        const std::string_view salt = fields.text();
        const std::string digest(fields.text());
        m_blockSize = fields.u16();
        if (!fields.ok() || !fields.atEnd() || (key.size() != 16 && key.size() != 24 && key.size() != 32)
            || m_blockSize != 16)
            badKey();
        m_key = SecretBytes(key.data(), key.size());
        m_salt = salt;
        m_algorithm = openssl::fetchCipher(("AES-" + std::to_string(key.size() * 8) + "-CBC").c_str());
        m_digest = openssl::fetchDigest(digest.c_str());
        if (m_algorithm && m_context) {
            // The key stays; each page brings only its IV.
            check(EVP_CipherInit_ex2(m_context.get(), m_algorithm.get(), m_key.data(), nullptr,
                                     direction == Direction::Encrypt ? 1 : 0, nullptr));
            check(EVP_CIPHER_CTX_set_padding(m_context.get(), 0));
        }
    } else {
        badKey();
    }
    if (!m_algorithm || !m_digest || !m_context || !m_hash)
        throw ReaderFailure("The ciphers of the encrypted file are not available.");
}

unsigned PageDecryptor::hashPage(std::uint32_t number, std::string_view prefix, unsigned char *hash)
{
    const std::uint32_t mixed = number ^ m_encodingKey;
    const unsigned char bytes[4] = {std::uint8_t(mixed), std::uint8_t(mixed >> 8), std::uint8_t(mixed >> 16),
                                    std::uint8_t(mixed >> 24)};
    unsigned int size = 0;
    check(EVP_DigestInit_ex2(m_hash.get(), m_digest.get(), nullptr)
          && EVP_DigestUpdate(m_hash.get(), prefix.data(), prefix.size())
          && EVP_DigestUpdate(m_hash.get(), bytes, sizeof bytes) && EVP_DigestFinal_ex(m_hash.get(), hash, &size));
    return size;
}

void PageDecryptor::apply(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size)
{
    if (m_cipher == PageCipher::Rc4CryptoApi)
        applyRc4(number, in, out, size);
    else
        applyAes(number, in, out, size);
}

void PageDecryptor::applyRc4(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size)
{
    unsigned char hash[EVP_MAX_MD_SIZE];
    check(hashPage(number, m_key.view(), hash) >= m_keyBytes);
    // A 40-bit key is used as 128 bits, zeros after it.
    std::fill(hash + m_keyBytes, hash + 16, 0);
    int written = 0;
    const bool done = EVP_CipherInit_ex2(m_context.get(), nullptr, hash, nullptr, -1, nullptr)
        && EVP_CipherUpdate(m_context.get(), out, &written, in, int(size));
    OPENSSL_cleanse(hash, sizeof hash);
    check(done && written == int(size));
}

void PageDecryptor::applyAes(std::uint32_t number, const unsigned char *in, unsigned char *out, std::size_t size)
{
    unsigned char iv[EVP_MAX_MD_SIZE];
    const unsigned ivSize = hashPage(number, m_salt, iv);
    // A hash shorter than a block is padded, as Office pads it.
    if (ivSize < m_blockSize)
        std::fill(iv + ivSize, iv + m_blockSize, 0x36);
    int written = 0;
    check(EVP_CipherInit_ex2(m_context.get(), nullptr, nullptr, iv, -1, nullptr)
          && EVP_CipherUpdate(m_context.get(), out, &written, in, int(size)) && written == int(size));
}

} // namespace morvane::jetreader
