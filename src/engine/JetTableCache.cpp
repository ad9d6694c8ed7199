#include "JetTableCache.h"

#include <utility>

namespace morvane::jet {

std::shared_ptr<const TableRows> TableCache::find(std::size_t table, proto::ColumnMask columns) const
{
    for (const Entry &entry : m_entries) {
        if (entry.table == table && proto::covers(entry.columns, columns))
            return entry.rows;
    }
    return nullptr;
}

void TableCache::store(std::size_t table, proto::ColumnMask columns, std::shared_ptr<const TableRows> rows)
{
    for (auto entry = m_entries.begin(); entry != m_entries.end();) {
        if (entry->table == table && proto::covers(columns, entry->columns))
            entry = forget(entry);
        else
            ++entry;
    }
    while (m_bytes + rows->bytes > cacheBudget && !m_entries.empty())
        forget(m_entries.begin());
    m_bytes += rows->bytes;
    m_entries.push_back({table, columns, std::move(rows)});
}

void TableCache::clear()
{
    while (!m_entries.empty())
        forget(m_entries.begin());
}

std::deque<TableCache::Entry>::iterator TableCache::forget(std::deque<Entry>::iterator entry)
{
    m_bytes -= entry->rows->bytes;
    m_retire(std::move(entry->rows));
    return m_entries.erase(entry);
}

void TableSource::retire(std::shared_ptr<const TableRows> rows)
{
    if (rows)
        m_graveyard.push_back(std::move(rows));
}

void TableSource::statementClosed()
{
    if (--m_statements > 0)
        return;
    m_parked.clear();
    m_graveyard.clear();
}

void TableSource::park(std::size_t table, Stream stream)
{
    const auto found = m_parked.find(table);
    if (found != m_parked.end()) {
        retire(std::move(found->second.collected));
        m_parked.erase(found);
    }
    m_parked.emplace(table, std::move(stream));
}

void TableSource::dropParked()
{
    for (auto &[table, stream] : m_parked)
        retire(std::move(stream.collected));
    m_parked.clear();
}

std::optional<Stream> TableSource::unpark(std::size_t table, proto::ColumnMask columns)
{
    const auto found = m_parked.find(table);
    if (found == m_parked.end() || !proto::covers(found->second.columns, columns))
        return std::nullopt;
    Stream stream = std::move(found->second);
    m_parked.erase(found);
    return stream;
}

} // namespace morvane::jet
