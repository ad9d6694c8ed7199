#pragma once

#include "ComplexColumns.h"
#include "DecryptedStream.h"
#include "JetTable.h"
#include "PageReader.h"
#include "ReplyChannel.h"
#include "RowDecoder.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <mdbtools.h>

namespace morvane::jetreader {

// One Access file opened through libmdb, read-only, and the requests served
// on it. Every failure is raised as ReaderFailure with a description for the
// user.
class ReaderSession
{
public:
    // Hands over the key to an encrypted file's pages (the payload of the
    // program's Unlock request), or raises ReaderFailure when there is none.
    using KeySource = std::function<SecretBytes()>;

    // Checks the file on `fd` (a regular file with Jet's or ACE's signature)
    // before libmdb sees it, maps it read-only and reads its catalog. An
    // encrypted file asks `key` for its key first.
    ReaderSession(int fd, const KeySource &key);
    ~ReaderSession();
    ReaderSession(const ReaderSession &) = delete;
    ReaderSession &operator=(const ReaderSession &) = delete;

    [[nodiscard]] std::string hello() const;
    // Reads every table's definition; `channel` hears that work goes on.
    [[nodiscard]] std::string catalog(ReplyChannel &channel);
    // Streams every row of the table from row `skip` on into `channel`, the
    // columns `mask` does not want as Null, then returns the number of rows
    // sent. On failure, rows already sent stay sent.
    std::uint64_t scan(std::string_view tableName, std::size_t expectedColumns, ColumnMask mask,
                       std::uint64_t skip, ReplyChannel &channel);

private:
    struct Mapping
    {
        void *address = nullptr;
        std::size_t size = 0;
        ~Mapping();
    };
    struct HandleCloser
    {
        void operator()(MdbHandle *mdb) const;
    };

    // The steps of opening: the file's size once it is known to be an
    // Access file, its mapping, libmdb's handle on the mapping, the code page
    // of names, and the list of user tables.
    static std::size_t checkedFileSize(int fd);
    void mapFile(int fd, std::size_t size);
    void openMapping();
    void decryptPages(const KeySource &key);
    void useJet3CodePage();
    void readTableList();

    // Reads the table's columns, and what its complex columns hold.
    void readDefinition(Table &table, ReplyChannel &channel);
    // Reads what is not read yet; a system table that cannot be read is left
    // out, a user table fails.
    void readAllDefinitions(ReplyChannel &channel);
    // scan() for one of the file's own tables.
    std::uint64_t scanTable(Table &table, std::size_t expectedColumns, ColumnMask mask, std::uint64_t skip,
                            ReplyChannel &channel);
    // The type the column's values travel as.
    static std::uint8_t shownType(const Column &column);
    // A table of its own for each attachment column: one row per attached
    // file, with the row of the table it belongs to (that table's rowid), its
    // name, its type and its bytes.
    struct AttachmentTable
    {
        std::string name;
        std::size_t table = 0;
        std::size_t column = 0;
    };
    void addAttachmentTables(ReplyChannel &channel);

    std::vector<AttachmentTable> m_attachmentTables;
    bool m_attachmentTablesAdded = false;
    Mapping m_mapping;
    // Read by libmdb's stream as long as the handle is open.
    std::unique_ptr<PageDecryptor> m_decryptor;
    // Its own: OpenSSL's contexts are not shared between threads.
    std::unique_ptr<PageDecryptor> m_readAheadDecryptor;
    std::unique_ptr<MdbHandle, HandleCloser> m_mdb;
    std::unique_ptr<PageReader> m_pages;
    std::unique_ptr<RowDecoder> m_decoder;
    std::unique_ptr<ComplexColumns> m_complex;
    std::vector<Table> m_tables;
    bool m_jet3 = false;
    std::uint8_t m_version = 0;
    int m_codePage = 0;
};

} // namespace morvane::jetreader
