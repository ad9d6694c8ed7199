#pragma once

#include "JetReaderProtocol.h"
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

// ACE's complex columns: a row keeps only a key into a hidden table, which
// holds the column's values (multi-valued fields), its attached files or its
// earlier versions (memo history). MSysComplexColumns says which hidden table
// belongs to which column.
class ComplexColumns
{
public:
    // Reads a table's definition as the session does, complex columns
    // included.
    using DefinitionReader = std::function<void(Table &table, ReplyChannel &channel)>;

    // `catalog` is libmdb's list of every object in the file; it, `pages` and
    // `decoder` outlive this object. `fileSize` bounds how large an
    // attachment can claim to be.
    ComplexColumns(GPtrArray *catalog, PageReader &pages, RowDecoder &decoder, DefinitionReader readDefinition,
                   std::size_t fileSize);

    // Finds, for each complex column of `table`, its hidden table and what
    // its values are shown as.
    void identify(Table &table, ReplyChannel &channel);
    // Reads the hidden table of `column` into the column: per key, the
    // values joined, or the number of versions.
    void loadValues(Column &column, ReplyChannel &channel);
    // Streams the files attached in `column` of `table`, from file `skip`
    // on, as rows of the owning row's number, the name, the type and the
    // bytes; returns the number of rows sent.
    std::uint64_t scanAttachments(const Table &table, const Column &column, ColumnMask mask, std::uint64_t skip,
                                  ReplyChannel &channel);

    // One value of a decoded row, as the protocol encodes it; known only
    // inside.
    struct Decoded;

private:
    // Where the attachment fields are in the hidden table: the key back to
    // the owning row, then FileName, FileType and FileData (the table's
    // column count when not wanted), and the mask that reads them.
    struct AttachmentColumns
    {
        std::size_t key = 0;
        std::size_t fields[3] = {};
        ColumnMask mask = 0;
    };

    // MSysComplexColumns, read when the first complex column needs it.
    const Table &directoryTable(const std::string &damage, ReplyChannel &channel);
    // The catalog entry of any table, system tables included, by its
    // definition page or its name.
    MdbCatalogEntry *entryAt(std::uint32_t page) const;
    MdbCatalogEntry *entryNamed(std::string_view name) const;
    Table readFlatTable(const Column &column, ReplyChannel &channel);
    std::vector<Decoded> decodeRowValues(const Table &table, const unsigned char *page, std::size_t start,
                                         std::size_t end, ColumnMask mask, ReplyChannel &channel);
    // For each complex key of `column`, the row of `table` that holds it.
    std::unordered_map<std::uint32_t, std::int64_t> rowsOfComplexKeys(const Table &table, const Column &column,
                                                                     ReplyChannel &channel);
    static AttachmentColumns attachmentColumns(const Table &flat, ColumnMask mask);
    void encodeAttachment(std::int64_t ownerRow, const std::vector<Decoded> &values,
                          const AttachmentColumns &columns, std::string &out) const;
    // The bytes of an attached file as the hidden table keeps them: a flag
    // (deflated or not), the length, then a header and the file.
    void decodeAttachment(std::string_view stored, std::string &out) const;

    GPtrArray *m_catalog;
    PageReader &m_pages;
    RowDecoder &m_decoder;
    DefinitionReader m_readDefinition;
    std::size_t m_fileSize;
    std::unique_ptr<Table> m_directory;
    std::string m_row;
};

} // namespace morvane::jetreader
