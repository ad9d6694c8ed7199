#include "EncryptionHeader.h"

#include "Failure.h"
#include "jetreader/JetReaderProtocol.h"
#include "jetreader/OpenSsl.h"

#include <QXmlStreamReader>

#include <openssl/crypto.h>

#include <algorithm>
#include <initializer_list>
#include <string_view>

namespace morvane {

using jetreader::SecretBytes;
namespace openssl = jetreader::openssl;

namespace {

// Where the header page keeps what matters here. Bytes 0x18 to 0x98 are
// masked with RC4 under a fixed key; the key the pages are encoded with lies
// among them. The description of the encryption follows, unmasked.
constexpr qsizetype versionOffset = 0x14;
constexpr qsizetype maskedOffset = 0x18;
constexpr qsizetype encodingKeyOffset = 0x3e;
constexpr qsizetype providerOffset = 0x299;
constexpr unsigned char headerMask[4] = {0xc7, 0xda, 0x39, 0x6b};
// ACE (Access 2007 and later) is the first version with Office encryption.
constexpr unsigned char firstAceVersion = 0x02;

// The verifier is hashed with SHA-1 and sealed with RC4, 16 and 20 bytes.
constexpr int rc4SaltSize = 16;
constexpr int sha1Size = 20;
constexpr unsigned cryptoApiFlag = 0x04;
constexpr unsigned aesFlag = 0x20;
constexpr unsigned rc4Algorithm = 0x6801;
constexpr unsigned sha1Algorithm = 0x8004;

// Office's own bounds: a longer password is cut, a larger spin count is no
// file of Office's.
constexpr qsizetype maxPasswordLength = 255;
constexpr quint32 maxSpinCount = 10'000'000;

// The block keys that tell the agile scheme's three derived keys apart.
constexpr unsigned char verifierInputBlock[8] = {0xfe, 0xa7, 0xd2, 0x76, 0x3b, 0x4b, 0x9e, 0x79};
constexpr unsigned char verifierHashBlock[8] = {0xd7, 0xaa, 0x0f, 0x6d, 0x30, 0x61, 0x34, 0x4e};
constexpr unsigned char keyValueBlock[8] = {0x14, 0x6e, 0x0b, 0xe7, 0xab, 0xac, 0xd0, 0xd6};

const QString passwordKeyEncryptor = QStringLiteral("http://schemas.microsoft.com/office/2006/keyEncryptor/password");

[[noreturn]] void damagedDescription()
{
    throw Failure(QStringLiteral("the description of its password encryption is damaged."));
}

[[noreturn]] void unsupported(const QString &what)
{
    throw Failure(QStringLiteral("it is encrypted with a password in a way this program cannot read (%1).").arg(what));
}

quint32 u32At(QByteArrayView bytes, qsizetype at)
{
    if (at < 0 || at + 4 > bytes.size())
        damagedDescription();
    return jetreader::getU32(reinterpret_cast<const unsigned char *>(bytes.data() + at));
}

quint16 u16At(QByteArrayView bytes, qsizetype at)
{
    if (at < 0 || at + 2 > bytes.size())
        damagedDescription();
    return jetreader::getU16(reinterpret_cast<const unsigned char *>(bytes.data() + at));
}

QByteArray bytesAt(QByteArrayView bytes, qsizetype at, qsizetype size)
{
    if (at < 0 || size < 0 || at + size > bytes.size())
        damagedDescription();
    return bytes.sliced(at, size).toByteArray();
}

// RC4 over `size` bytes of `in`, in one stream.
bool rc4(const unsigned char *key, int keySize, const unsigned char *in, int size, unsigned char *out)
{
    const openssl::Cipher cipher = openssl::fetchCipher("RC4");
    const openssl::CipherContext context(EVP_CIPHER_CTX_new());
    int written = 0;
    return cipher && context && EVP_DecryptInit_ex2(context.get(), cipher.get(), nullptr, nullptr, nullptr)
        && EVP_CIPHER_CTX_set_key_length(context.get(), keySize)
        && EVP_DecryptInit_ex2(context.get(), nullptr, key, nullptr, nullptr)
        && EVP_DecryptUpdate(context.get(), out, &written, in, size) && written == size;
}

// The key the pages are encoded with, unmasked; zero in a file whose pages
// are plain.
quint32 encodingKey(QByteArrayView page)
{
    constexpr int masked = int(encodingKeyOffset - maskedOffset) + 4;
    unsigned char plain[masked];
    if (!rc4(headerMask, sizeof headerMask, reinterpret_cast<const unsigned char *>(page.data() + maskedOffset),
             masked, plain))
        unsupported(QStringLiteral("RC4 is not available"));
    return jetreader::getU32(plain + masked - 4);
}

// The hash of the parts one after the other.
SecretBytes digest(const EVP_MD *md, std::initializer_list<std::string_view> parts)
{
    const openssl::DigestContext context(EVP_MD_CTX_new());
    SecretBytes result(std::size_t(EVP_MD_get_size(md)));
    unsigned int size = 0;
    bool ok = context && EVP_DigestInit_ex2(context.get(), md, nullptr);
    for (std::string_view part : parts)
        ok = ok && EVP_DigestUpdate(context.get(), part.data(), part.size());
    if (!ok || !EVP_DigestFinal_ex(context.get(), result.data(), &size) || size != result.size())
        unsupported(QStringLiteral("hashing failed"));
    return result;
}

std::string_view view(const QByteArray &bytes)
{
    return {bytes.constData(), std::size_t(bytes.size())};
}

std::string_view view(const unsigned char *bytes, std::size_t size)
{
    return {reinterpret_cast<const char *>(bytes), size};
}

// The first `size` bytes of `bytes`, padded with `pad` when it is shorter.
SecretBytes resized(const SecretBytes &bytes, std::size_t size, unsigned char pad)
{
    SecretBytes result(size);
    std::fill_n(result.data(), size, pad);
    std::copy_n(bytes.data(), std::min(size, bytes.size()), result.data());
    return result;
}

// AES in CBC mode without padding; `data` is whole blocks.
SecretBytes aesDecrypt(const SecretBytes &key, const QByteArray &iv, const QByteArray &data)
{
    const QByteArray name = "AES-" + QByteArray::number(key.size() * 8) + "-CBC";
    const openssl::Cipher cipher = openssl::fetchCipher(name.constData());
    const openssl::CipherContext context(EVP_CIPHER_CTX_new());
    if (!cipher || !context || iv.size() < EVP_CIPHER_get_iv_length(cipher.get()) || data.size() % 16 != 0)
        damagedDescription();
    SecretBytes plain(std::size_t(data.size()));
    int written = 0;
    if (!EVP_DecryptInit_ex2(context.get(), cipher.get(), key.data(),
                             reinterpret_cast<const unsigned char *>(iv.constData()), nullptr)
        || !EVP_CIPHER_CTX_set_padding(context.get(), 0)
        || !EVP_DecryptUpdate(context.get(), plain.data(), &written,
                              reinterpret_cast<const unsigned char *>(data.constData()), int(data.size())))
        damagedDescription();
    return plain;
}

openssl::Digest digestNamed(const QString &name, int size)
{
    // Office names them SHA1, SHA256, SHA384 and SHA512, as OpenSSL does.
    static const QStringList known = {QStringLiteral("SHA1"), QStringLiteral("SHA256"), QStringLiteral("SHA384"),
                                      QStringLiteral("SHA512")};
    if (!known.contains(name))
        unsupported(QStringLiteral("hash %1").arg(name));
    openssl::Digest md = openssl::fetchDigest(name.toLatin1().constData());
    if (!md || EVP_MD_get_size(md.get()) != size)
        damagedDescription();
    return md;
}

// The password hashed with the salt and then `spinCount` times more, each
// round over the round's number and the last hash: the slow part of the agile
// scheme, shared by the keys made from it. One context and one buffer serve
// every round.
SecretBytes spunHash(const SecretBytes &password, const EVP_MD *md, const QByteArray &salt, quint32 spinCount)
{
    SecretBytes hash = digest(md, {view(salt), password.view()});
    const openssl::DigestContext context(EVP_MD_CTX_new());
    unsigned int size = 0;
    bool ok = bool(context);
    for (quint32 i = 0; ok && i < spinCount; ++i) {
        const unsigned char counter[4] = {std::uint8_t(i), std::uint8_t(i >> 8), std::uint8_t(i >> 16),
                                          std::uint8_t(i >> 24)};
        ok = EVP_DigestInit_ex2(context.get(), md, nullptr) && EVP_DigestUpdate(context.get(), counter, 4)
            && EVP_DigestUpdate(context.get(), hash.data(), hash.size())
            && EVP_DigestFinal_ex(context.get(), hash.data(), &size) && size == hash.size();
    }
    if (!ok)
        unsupported(QStringLiteral("hashing failed"));
    return hash;
}

// The key for one purpose, told apart by its block key.
SecretBytes agileKey(const SecretBytes &spun, const unsigned char (&block)[8], const EVP_MD *md, int keyBytes)
{
    return resized(digest(md, {spun.view(), view(block, 8)}), std::size_t(keyBytes), 0x36);
}

// Writes the Unlock payload front to back into a buffer made to its size,
// so that the key is never copied by a growing string.
class SecretWriter
{
public:
    explicit SecretWriter(std::size_t size) : m_bytes(size) {}
    void u8(std::uint8_t value) { put(&value, 1); }
    void u16(std::uint16_t value)
    {
        const unsigned char bytes[2] = {std::uint8_t(value), std::uint8_t(value >> 8)};
        put(bytes, 2);
    }
    void text(std::string_view value)
    {
        const auto size = std::uint32_t(value.size());
        const unsigned char bytes[4] = {std::uint8_t(size), std::uint8_t(size >> 8), std::uint8_t(size >> 16),
                                        std::uint8_t(size >> 24)};
        put(bytes, 4);
        put(value.data(), value.size());
    }
    SecretBytes take() { return std::move(m_bytes); }

private:
    void put(const void *data, std::size_t size)
    {
        std::copy_n(static_cast<const unsigned char *>(data), size, m_bytes.data() + m_at);
        m_at += size;
    }
    SecretBytes m_bytes;
    std::size_t m_at = 0;
};

SecretBytes utf16Password(QStringView password)
{
    const QStringView cut = password.left(maxPasswordLength);
    SecretBytes bytes(std::size_t(cut.size()) * 2);
    for (qsizetype i = 0; i < cut.size(); ++i) {
        bytes.data()[2 * i] = std::uint8_t(cut[i].unicode());
        bytes.data()[2 * i + 1] = std::uint8_t(cut[i].unicode() >> 8);
    }
    return bytes;
}

} // namespace

std::optional<EncryptionHeader> EncryptionHeader::read(QByteArrayView page)
{
    if (page.size() < providerOffset + 2 || quint8(page[versionOffset]) < firstAceVersion || encodingKey(page) == 0)
        return std::nullopt;
    const quint16 length = u16At(page, providerOffset);
    const QByteArray provider = bytesAt(page, providerOffset + 2, length);
    const quint16 major = u16At(provider, 0);
    const quint16 minor = u16At(provider, 2);
    if (major == 4 && minor == 4)
        return readAgile(provider);
    if ((major == 2 || major == 3 || major == 4) && minor == 2) {
        const quint32 flags = u32At(provider, 4);
        if ((flags & cryptoApiFlag) && !(flags & aesFlag))
            return readRc4(provider);
    }
    unsupported(QStringLiteral("version %1.%2").arg(major).arg(minor));
}

EncryptionHeader EncryptionHeader::readRc4(QByteArrayView provider)
{
    // The version and flags, the length of the header, the header (flags,
    // size, algorithm, hash, key size, provider type, two reserved fields
    // and the provider's name), then the verifier: salt size, salt,
    // encrypted verifier, hash size, encrypted hash.
    const quint32 headerLength = u32At(provider, 8);
    const qsizetype header = 12;
    const quint32 algorithm = u32At(provider, header + 8);
    const quint32 hash = u32At(provider, header + 12);
    quint32 keyBits = u32At(provider, header + 16);
    if ((algorithm != 0 && algorithm != rc4Algorithm) || (hash != 0 && hash != sha1Algorithm))
        unsupported(QStringLiteral("algorithm %1, hash %2").arg(algorithm, 0, 16).arg(hash, 0, 16));
    // Without a key size, the provider's name says it: the base provider's
    // keys are 40 bits long, the others' 128.
    if (keyBits == 0) {
        const QByteArray name = bytesAt(provider, header + 32, qsizetype(headerLength) - 32);
        const QString provider16 = QString::fromUtf16(reinterpret_cast<const char16_t *>(name.constData()),
                                                      name.size() / 2);
        keyBits = provider16.contains(QStringLiteral(" Base "), Qt::CaseInsensitive) || provider16.trimmed().isEmpty()
            ? 40
            : 128;
    }
    if (keyBits < 40 || keyBits > 128 || keyBits % 8 != 0)
        damagedDescription();
    const qsizetype verifier = header + qsizetype(headerLength);
    if (u32At(provider, verifier) != rc4SaltSize || u32At(provider, verifier + 36) != sha1Size)
        damagedDescription();
    EncryptionHeader result;
    result.m_rc4 = Rc4Scheme{int(keyBits), bytesAt(provider, verifier + 4, rc4SaltSize),
                             bytesAt(provider, verifier + 20, 16), bytesAt(provider, verifier + 40, sha1Size)};
    return result;
}

EncryptionHeader EncryptionHeader::readAgile(QByteArrayView provider)
{
    // The version, a reserved 0x40, then the XML descriptor.
    if (u32At(provider, 4) != 0x40)
        damagedDescription();
    QXmlStreamReader xml(provider.sliced(8).toByteArray());
    AgileScheme scheme;
    bool pages = false;
    bool password = false;
    const auto readParameters = [](const QXmlStreamAttributes &attributes, KeyParameters &into) {
        into.salt = QByteArray::fromBase64(attributes.value(QStringLiteral("saltValue")).toLatin1());
        into.hashName = attributes.value(QStringLiteral("hashAlgorithm")).toString();
        into.hashSize = attributes.value(QStringLiteral("hashSize")).toInt();
        into.blockSize = attributes.value(QStringLiteral("blockSize")).toInt();
        into.keyBits = attributes.value(QStringLiteral("keyBits")).toInt();
        if (attributes.value(QStringLiteral("cipherAlgorithm")) != QStringLiteral("AES"))
            unsupported(attributes.value(QStringLiteral("cipherAlgorithm")).toString());
        if (attributes.value(QStringLiteral("cipherChaining")) != QStringLiteral("ChainingModeCBC"))
            unsupported(attributes.value(QStringLiteral("cipherChaining")).toString());
        if ((into.keyBits != 128 && into.keyBits != 192 && into.keyBits != 256) || into.blockSize != 16
            || into.salt.size() < into.blockSize)
            damagedDescription();
    };
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.name() == QStringLiteral("keyData")) {
            readParameters(attributes, scheme.pages);
            pages = true;
        } else if (xml.name() == QStringLiteral("encryptedKey") && xml.namespaceUri() == passwordKeyEncryptor) {
            readParameters(attributes, scheme.password);
            bool ok = false;
            scheme.spinCount = attributes.value(QStringLiteral("spinCount")).toUInt(&ok);
            if (!ok || scheme.spinCount > maxSpinCount)
                damagedDescription();
            const auto base64 = [&](const char *name) {
                return QByteArray::fromBase64(attributes.value(QLatin1StringView(name)).toLatin1());
            };
            scheme.encryptedKey = base64("encryptedKeyValue");
            scheme.encryptedVerifierInput = base64("encryptedVerifierHashInput");
            scheme.encryptedVerifierHash = base64("encryptedVerifierHashValue");
            password = true;
        }
    }
    if (xml.hasError() || !pages || !password)
        damagedDescription();
    // The hashes must exist now, not first when the password is tried.
    digestNamed(scheme.pages.hashName, scheme.pages.hashSize);
    digestNamed(scheme.password.hashName, scheme.password.hashSize);
    EncryptionHeader result;
    result.m_agile = std::move(scheme);
    return result;
}

std::optional<SecretBytes> EncryptionHeader::unlock(QStringView password) const
{
    const SecretBytes bytes = utf16Password(password);
    return m_agile ? unlockAgile(bytes) : unlockRc4(bytes);
}

std::optional<SecretBytes> EncryptionHeader::unlockRc4(const SecretBytes &password) const
{
    const openssl::Digest sha1 = openssl::fetchDigest("SHA1");
    if (!sha1)
        unsupported(QStringLiteral("SHA-1 is not available"));
    SecretBytes baseHash = digest(sha1.get(), {view(m_rc4->salt), password.view()});
    // The verifier is sealed with the key of block 0; a 40-bit key is used
    // as 128 bits with zeros after it.
    const unsigned char block0[4] = {0, 0, 0, 0};
    const int keyBytes = m_rc4->keyBits / 8;
    const SecretBytes key = resized(resized(digest(sha1.get(), {baseHash.view(), view(block0, 4)}),
                                            std::size_t(keyBytes), 0),
                                    keyBytes == 5 ? 16 : std::size_t(keyBytes), 0);
    const QByteArray sealed = m_rc4->verifier + m_rc4->verifierHash;
    SecretBytes opened(std::size_t(sealed.size()));
    if (!rc4(key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(sealed.constData()),
             int(sealed.size()), opened.data()))
        unsupported(QStringLiteral("RC4 is not available"));
    const SecretBytes expected = digest(sha1.get(), {view(opened.data(), 16)});
    if (CRYPTO_memcmp(expected.data(), opened.data() + 16, sha1Size) != 0)
        return std::nullopt;
    SecretWriter payload(2 + 4 + baseHash.size());
    payload.u8(std::uint8_t(jetreader::PageCipher::Rc4CryptoApi));
    payload.u8(std::uint8_t(keyBytes));
    payload.text(baseHash.view());
    return payload.take();
}

std::optional<SecretBytes> EncryptionHeader::unlockAgile(const SecretBytes &password) const
{
    const AgileScheme &scheme = *m_agile;
    const KeyParameters &sealing = scheme.password;
    const openssl::Digest md = digestNamed(sealing.hashName, sealing.hashSize);
    const int keyBytes = sealing.keyBits / 8;
    const SecretBytes spun = spunHash(password, md.get(), sealing.salt, scheme.spinCount);
    const auto open = [&](const unsigned char (&block)[8], const QByteArray &sealed) {
        const SecretBytes key = agileKey(spun, block, md.get(), keyBytes);
        return aesDecrypt(key, sealing.salt.first(sealing.blockSize), sealed);
    };
    const SecretBytes input = open(verifierInputBlock, scheme.encryptedVerifierInput);
    const SecretBytes hash = open(verifierHashBlock, scheme.encryptedVerifierHash);
    if (input.size() < std::size_t(sealing.salt.size()) || hash.size() < std::size_t(sealing.hashSize))
        damagedDescription();
    const SecretBytes expected = digest(md.get(), {view(input.data(), std::size_t(sealing.salt.size()))});
    if (CRYPTO_memcmp(expected.data(), hash.data(), std::size_t(sealing.hashSize)) != 0)
        return std::nullopt;
    const SecretBytes key = open(keyValueBlock, scheme.encryptedKey);
    const std::size_t pageKeyBytes = std::size_t(scheme.pages.keyBits / 8);
    if (key.size() < pageKeyBytes)
        damagedDescription();
    const QByteArray hashName = scheme.pages.hashName.toLatin1();
    SecretWriter payload(1 + 4 + pageKeyBytes + 4 + std::size_t(scheme.pages.salt.size()) + 4
                         + std::size_t(hashName.size()) + 2);
    payload.u8(std::uint8_t(jetreader::PageCipher::AgileAes));
    payload.text(view(key.data(), pageKeyBytes));
    payload.text(view(scheme.pages.salt));
    payload.text(view(hashName));
    payload.u16(std::uint16_t(scheme.pages.blockSize));
    return payload.take();
}

} // namespace morvane
