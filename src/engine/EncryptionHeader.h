#pragma once

#include "jetreader/SecretBytes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace morvane {

// What the plain header page of an Access file saved with "Encrypt with
// Password" says about its encryption: Office's agile encryption (AES, the
// key from the password by an iterated hash, its parameters in an XML
// descriptor) or the older RC4 CryptoAPI scheme. From it and the password
// comes the key to the pages, in the form the reader takes (the Unlock
// request of JetReaderProtocol.h).
//
// A Jet 4 database password is no encryption: such a file, like any file
// without "Encrypt with Password", has no EncryptionHeader.
class EncryptionHeader
{
public:
    // Nothing when `headerPage` (the file's first page, or as much of it as
    // there is) is not that of an encrypted file; Failure when it is, but its
    // description of the encryption is damaged or of a kind this program
    // cannot read.
    [[nodiscard]] static std::optional<EncryptionHeader> read(QByteArrayView headerPage);

    // The key to the pages, or nothing when `password` is not the file's.
    // The copy of the password made here is wiped before this returns;
    // `password` itself is the caller's to wipe.
    [[nodiscard]] std::optional<jetreader::SecretBytes> unlock(QStringView password) const;

private:
    struct Rc4Scheme
    {
        int keyBits = 0;
        QByteArray salt;
        QByteArray verifier;
        QByteArray verifierHash;
    };
    // The XML descriptor's two parts: how the pages are encrypted, and how
    // the key to them is encrypted with the password.
    struct KeyParameters
    {
        QByteArray salt;
        QString hashName;
        int hashSize = 0;
        int blockSize = 0;
        int keyBits = 0;
    };
    struct AgileScheme
    {
        KeyParameters pages;
        KeyParameters password;
        quint32 spinCount = 0;
        QByteArray encryptedKey;
        QByteArray encryptedVerifierInput;
        QByteArray encryptedVerifierHash;
    };

    static EncryptionHeader readRc4(QByteArrayView provider);
    static EncryptionHeader readAgile(QByteArrayView provider);
    std::optional<jetreader::SecretBytes> unlockRc4(const jetreader::SecretBytes &password) const;
    std::optional<jetreader::SecretBytes> unlockAgile(const jetreader::SecretBytes &password) const;

    std::optional<Rc4Scheme> m_rc4;
    std::optional<AgileScheme> m_agile;
};

} // namespace morvane
