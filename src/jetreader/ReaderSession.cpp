#include "ReaderSession.h"

#include "Damage.h"
#include "JetReaderProtocol.h"
#include "ReaderFailure.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <iconv.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace morvane::jetreader {

namespace {

constexpr char jetSignature[16] = {'S', 't', 'a', 'n', 'd', 'a', 'r', 'd', ' ', 'J', 'e', 't', ' ', 'D', 'B', '\0'};
constexpr char aceSignature[16] = {'S', 't', 'a', 'n', 'd', 'a', 'r', 'd', ' ', 'A', 'C', 'E', ' ', 'D', 'B', '\0'};
constexpr std::size_t signatureOffset = 4;
// The smallest page size; no real file is shorter than two pages.
constexpr off_t smallestFile = 2 * 2048;
constexpr std::size_t prefaultLimit = 16 * 1024 * 1024;

} // namespace

ReaderSession::Mapping::~Mapping()
{
    if (address)
        munmap(address, size);
}

void ReaderSession::HandleCloser::operator()(MdbHandle *mdb) const
{
    mdb_close(mdb);
}

ReaderSession::ReaderSession(int fd, const KeySource &key)
{
    mapFile(fd, checkedFileSize(fd));
    openMapping();
    decryptPages(key);
    useJet3CodePage();
    m_pages = std::make_unique<PageReader>(m_mdb.get(), m_mapping.address, m_mapping.size);
    m_decoder = std::make_unique<RowDecoder>(*m_pages, m_jet3, m_codePage, m_mapping.size);
    readTableList();
}

std::size_t ReaderSession::checkedFileSize(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw ReaderFailure("It is not a regular file.");
    if (info.st_size < smallestFile)
        throw ReaderFailure("The file is too short to be an Access database.");
    unsigned char header[signatureOffset + sizeof jetSignature];
    if (pread(fd, header, sizeof header, 0) != ssize_t(sizeof header))
        throw ReaderFailure("The file could not be read.");
    if (std::memcmp(header + signatureOffset, jetSignature, sizeof jetSignature) != 0
        && std::memcmp(header + signatureOffset, aceSignature, sizeof aceSignature) != 0)
        throw ReaderFailure("It is not an Access database file.");
    return std::size_t(info.st_size);
}

void ReaderSession::mapFile(int fd, std::size_t size)
{
    // Read-only and private: nothing libmdb does can reach the file. A small
    // file is mapped in full now, while the program is not waiting for rows.
    m_mapping.size = size;
    const int populate = m_mapping.size <= prefaultLimit ? MAP_POPULATE : 0;
    void *address = mmap(nullptr, m_mapping.size, PROT_READ, MAP_PRIVATE | populate, fd, 0);
    if (address == MAP_FAILED)
        throw ReaderFailure("The file could not be read.");
    m_mapping.address = address;
}

void ReaderSession::openMapping()
{
    m_mdb.reset(mdb_open_buffer(m_mapping.address, m_mapping.size, MDB_NOFLAGS));
    MdbHandle *mdb = m_mdb.get();
    if (!mdb || !mdb->f || !mdb->fmt)
        throw ReaderFailure("The file is not an Access database this program can read.");
    m_version = std::uint8_t(mdb->f->jet_version);
    m_jet3 = mdb->f->jet_version == MDB_VER_JET3;
    m_codePage = mdb->f->code_page;
    const auto pageSize = std::size_t(mdb->fmt->pg_size);
    if (pageSize != 2048 && pageSize != 4096)
        throw ReaderFailure("The file is not an Access database this program can read.");
}

void ReaderSession::decryptPages(const KeySource &key)
{
    // An ACE file with an encoding key was saved with "Encrypt with
    // Password" (a Jet 4 file's key is libmdb's to undo). libmdb then reads
    // through a stream that decrypts each page as it is read, and must not
    // apply its own decoding on top.
    MdbFile *file = m_mdb->f;
    if (file->jet_version < MDB_VER_ACCDB_2007 || file->db_key == 0)
        return;
    const SecretBytes unlock = key();
    m_decryptor = std::make_unique<PageDecryptor>(unlock.view(), file->db_key);
    m_readAheadDecryptor = std::make_unique<PageDecryptor>(unlock.view(), file->db_key);
    FILE *stream = DecryptedStream::open(static_cast<const unsigned char *>(m_mapping.address), m_mapping.size,
                                         std::size_t(m_mdb->fmt->pg_size), *m_decryptor, *m_readAheadDecryptor);
    if (!stream)
        throw ReaderFailure("There is not enough memory to read this file.");
    std::fclose(file->stream);
    file->stream = stream;
    file->db_key = 0;
}

void ReaderSession::useJet3CodePage()
{
    // Names are converted by libmdb; a Jet 3 file that declares a code page
    // other than Windows' default gets its names read in that code page too.
    // A code page iconv does not know leaves Windows-1252 in place.
    if (!m_jet3 || m_codePage == 0 || m_codePage == 1252)
        return;
    const std::string charset = "CP" + std::to_string(m_codePage);
    const iconv_t probe = iconv_open("UTF-8", charset.c_str());
    if (probe == iconv_t(-1))
        return;
    iconv_close(probe);
    setenv("MDB_JET3_CHARSET", charset.c_str(), 1);
    mdb_iconv_close(m_mdb.get());
    mdb_iconv_init(m_mdb.get());
}

void ReaderSession::readTableList()
{
    GPtrArray *catalog = mdb_read_catalog(m_mdb.get(), MDB_TABLE);
    if (!catalog)
        throw ReaderFailure("The list of tables in the file is damaged.");
    m_complex = std::make_unique<ComplexColumns>(
        catalog, *m_pages, *m_decoder, [this](Table &table, ReplyChannel &channel) { readDefinition(table, channel); },
        m_mapping.size);
    for (guint i = 0; i < catalog->len; ++i) {
        auto *entry = static_cast<MdbCatalogEntry *>(g_ptr_array_index(catalog, i));
        if (!entry || !(mdb_is_user_table(entry) || mdb_is_system_table(entry)))
            continue;
        Table table;
        table.entry = entry;
        table.system = !mdb_is_user_table(entry);
        table.name = objectName(entry->object_name, sizeof entry->object_name);
        // Of the system tables, the catalog's own (MSysObjects, MSysQueries,
        // ...) are offered; the hidden tables behind multi-valued fields and
        // attachments are read through their columns.
        if (table.system && table.name.rfind("MSys", 0) != 0)
            continue;
        if (table.name.empty())
            throw ReaderFailure("The list of tables in the file is damaged.");
        m_tables.push_back(std::move(table));
    }
}

ReaderSession::~ReaderSession()
{
    // Table definitions refer to the handle; they go first.
    m_tables.clear();
    m_complex.reset();
    m_mdb.reset();
}

std::string ReaderSession::hello() const
{
    std::string payload;
    putU32(payload, protocolVersion);
    putU8(payload, m_version);
    putU16(payload, std::uint16_t(m_codePage));
    return payload;
}

void ReaderSession::readDefinition(Table &table, ReplyChannel &channel)
{
    const std::string damage = "The definition of table '" + table.name + "' is damaged.";
    MdbTableDef *def = mdb_read_table(table.entry);
    if (!def)
        throw ReaderFailure(damage);
    table.def.reset(def);
    GPtrArray *columns = mdb_read_columns(def);
    if (!columns || def->num_cols == 0 || def->num_cols > MDB_MAX_COLS || columns->len != def->num_cols)
        throw ReaderFailure(damage);
    table.columns.clear();
    table.hasVariableColumns = false;
    bool complex = false;
    for (guint i = 0; i < columns->len; ++i) {
        const auto *source = static_cast<const MdbColumn *>(g_ptr_array_index(columns, i));
        if (!source)
            throw ReaderFailure(damage);
        Column column;
        column.name = objectName(source->name, sizeof source->name);
        column.type = source->col_type;
        column.rowNumber = source->col_num;
        column.fixed = source->is_fixed != 0;
        column.fixedOffset = source->fixed_offset;
        column.varIndex = int(source->var_col_num);
        column.size = source->col_size;
        // libmdb versions disagree on which byte holds the precision; the
        // scale is never the larger of the two.
        column.scale = std::min(source->col_scale, source->col_prec);
        if (mdb_col_get_prop(source, "Expression")) {
            column.calculated = true;
            const char *result = mdb_col_get_prop(source, "ResultType");
            column.resultType = result ? std::atoi(result) : 0;
            if (column.resultType <= 0 || column.resultType > 0xff)
                column.resultType = column.type;
        }
        if (column.name.empty() || column.rowNumber < 0 || column.fixedOffset < 0 || column.size < 0)
            throw ReaderFailure(damage);
        table.hasVariableColumns = table.hasVariableColumns || !column.fixed;
        complex = complex || column.type == column::complex;
        table.columns.push_back(std::move(column));
    }
    table.rowEstimate = def->num_rows;
    if (complex)
        m_complex->identify(table, channel);
}

void ReaderSession::readAllDefinitions(ReplyChannel &channel)
{
    for (auto table = m_tables.begin(); table != m_tables.end();) {
        try {
            if (!table->def)
                readDefinition(*table, channel);
        } catch (const ReaderFailure &) {
            if (!table->system)
                throw;
            table = m_tables.erase(table);
            continue;
        }
        channel.keepAlive();
        ++table;
    }
}

std::uint8_t ReaderSession::shownType(const Column &column)
{
    if (column.calculated)
        return std::uint8_t(column.resultType == 20 ? column::numeric : column.resultType);
    switch (column.complex) {
    case Complex::MultiValue:
    case Complex::Attachments:
        return column::text;
    case Complex::Versions:
        return column::longInteger;
    case Complex::None:
        break;
    }
    return std::uint8_t(column.type);
}

std::string ReaderSession::catalog(ReplyChannel &channel)
{
    readAllDefinitions(channel);
    addAttachmentTables(channel);
    std::string payload;
    putU32(payload, std::uint32_t(m_tables.size() + m_attachmentTables.size()));
    for (const Table &table : m_tables) {
        putText(payload, table.name);
        putU32(payload, table.rowEstimate);
        putU16(payload, std::uint16_t(table.columns.size()));
        for (const Column &column : table.columns) {
            putText(payload, column.name);
            putU8(payload, shownType(column));
        }
    }
    for (const AttachmentTable &files : m_attachmentTables) {
        putText(payload, files.name);
        putU32(payload, 0);
        putU16(payload, 4);
        for (const auto &[name, type] : {std::pair{"row", column::longInteger}, std::pair{"FileName", column::text},
                                         std::pair{"FileType", column::text}, std::pair{"FileData", column::ole}}) {
            putText(payload, name);
            putU8(payload, type);
        }
    }
    return payload;
}

void ReaderSession::addAttachmentTables(ReplyChannel &channel)
{
    if (m_attachmentTablesAdded)
        return;
    // Which columns hold attachments is known once every definition is read.
    readAllDefinitions(channel);
    m_attachmentTablesAdded = true;
    for (std::size_t t = 0; t < m_tables.size(); ++t) {
        for (std::size_t c = 0; c < m_tables[t].columns.size(); ++c) {
            if (m_tables[t].columns[c].complex == Complex::Attachments)
                m_attachmentTables.push_back({m_tables[t].name + "." + m_tables[t].columns[c].name, t, c});
        }
    }
}

std::uint64_t ReaderSession::scan(std::string_view tableName, std::size_t expectedColumns, ColumnMask mask,
                                  std::uint64_t skip, ReplyChannel &channel)
{
    auto found = std::find_if(m_tables.begin(), m_tables.end(),
                              [&](const Table &table) { return table.name == tableName; });
    if (found != m_tables.end()) {
        return scanReportingDamage(channel, "The table '" + found->name + "'",
                                   [&] { return scanTable(*found, expectedColumns, mask, skip, channel); });
    }
    addAttachmentTables(channel);
    for (const AttachmentTable &files : m_attachmentTables) {
        if (files.name == tableName && expectedColumns == 4)
            return m_complex->scanAttachments(m_tables[files.table], m_tables[files.table].columns[files.column],
                                              mask, skip, channel);
    }
    throw ReaderFailure("The table '" + std::string(tableName) + "' is no longer in the file.");
}

std::uint64_t ReaderSession::scanTable(Table &table, std::size_t expectedColumns, ColumnMask mask,
                                       std::uint64_t skip, ReplyChannel &channel)
{
    if (!table.def)
        readDefinition(table, channel);
    if (table.columns.size() != expectedColumns)
        throw ReaderFailure("The table '" + table.name
                            + "' has changed since the database was opened; open the database again.");
    for (std::size_t index = 0; index < table.columns.size(); ++index) {
        Column &column = table.columns[index];
        if (column.complex != Complex::None && !column.complexLoaded && wanted(mask, index))
            m_complex->loadValues(column, channel);
    }
    std::uint64_t passed = 0;
    std::uint64_t rows = 0;
    m_pages->forEachRow(table.def.get(), channel, [&](const unsigned char *page, std::size_t start, std::size_t end) {
        if (passed < skip) {
            ++passed;
            return;
        }
        channel.beginRow();
        m_decoder->decodeRow(table, page, start, end, mask, channel.rowData(), channel);
        channel.endRow();
        ++rows;
    });
    channel.flushRows();
    return rows;
}

} // namespace morvane::jetreader
