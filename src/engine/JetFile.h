#pragma once

#include "JetTableCache.h"
#include "PasswordPrompt.h"
#include "jetreader/SecretBytes.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <optional>

#include <sys/stat.h>

namespace morvane::jet {

// One Access file being read: the file opened, or a back end its links
// point to. Opened once, read-only, and handed to every reader: all of them
// read the very file that was checked here, whatever happens to its name
// later.
class JetFile
{
public:
    // Opens the file and reads its catalog through a first reader. A file
    // encrypted with a password is opened with what `askPassword` answers.
    // Failure says why it cannot be read, in words that follow "Could not
    // open 'path': ".
    JetFile(QString path, int readerSilenceLimitMs, const PasswordPrompt &askPassword = {});

    [[nodiscard]] const QString &path() const { return m_path; }
    // The tables, readers and cached rows the virtual tables read from.
    [[nodiscard]] TableSource &source() { return m_source; }

    // Rows kept from before the file changed would be stale: when it has,
    // they are dropped.
    void noticeChanges();

    // The table of that name, letter case aside.
    [[nodiscard]] std::optional<std::size_t> table(const QString &name) const;

private:
    struct Identity
    {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        timespec changed{};

        bool operator==(const Identity &other) const;
    };

    static Identity identityOf(const struct stat &info);
    // Returns the file's first page, read once for its signature and its
    // encryption header.
    [[nodiscard]] QByteArray openFile();
    [[nodiscard]] jetreader::SecretBytes unlockPages(const QByteArray &firstPage,
                                                     const PasswordPrompt &askPassword) const;

    QString m_path;
    UniqueFd m_fd;
    Identity m_identity;
    TableSource m_source;
};

} // namespace morvane::jet
