#pragma once

#include <openssl/evp.h>
#include <openssl/provider.h>

#include <memory>

// Handles of OpenSSL's libcrypto, freed by their owners, and the ciphers the
// Access encryption schemes use. Shared by the program (which derives keys)
// and the reader (which decrypts pages).
namespace morvane::jetreader::openssl {

struct CipherContextFree
{
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
struct CipherFree
{
    void operator()(EVP_CIPHER *cipher) const { EVP_CIPHER_free(cipher); }
};
struct DigestContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct DigestFree
{
    void operator()(EVP_MD *digest) const { EVP_MD_free(digest); }
};

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;
using Cipher = std::unique_ptr<EVP_CIPHER, CipherFree>;
using Digest = std::unique_ptr<EVP_MD, DigestFree>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// OpenSSL 3 keeps RC4 in its legacy provider. It is loaded into a library
// context of this program's own, so that nothing else in the process (libpq,
// for one) sees ciphers it did not ask for. Lives as long as the process.
inline OSSL_LIB_CTX *library()
{
    static OSSL_LIB_CTX *const context = [] {
        OSSL_LIB_CTX *made = OSSL_LIB_CTX_new();
        if (made) {
            OSSL_PROVIDER_load(made, "default");
            OSSL_PROVIDER_load(made, "legacy");
        }
        return made;
    }();
    return context;
}

// Null when the cipher or digest is not available.
inline Cipher fetchCipher(const char *name)
{
    return Cipher(library() ? EVP_CIPHER_fetch(library(), name, nullptr) : nullptr);
}

inline Digest fetchDigest(const char *name)
{
    return Digest(library() ? EVP_MD_fetch(library(), name, nullptr) : nullptr);
}

} // namespace morvane::jetreader::openssl
