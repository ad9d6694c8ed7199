#pragma once

#include <QString>

namespace morvane::bench {

// Makes a large Jet 4 file out of a small one. libmdb's writer cannot add
// pages, so the file is grown by hand: the data pages of one table are
// appended again and again, each copy with the table's key (a fixed Long
// column) shifted so that values stay distinct, the table's map of used pages
// rewritten as a reference map (type 1) pointing at bitmap pages appended
// after them, and the row count in the table's definition updated.
class JetFileGrower
{
public:
    struct Result
    {
        qint64 rows = 0;
        qint64 pages = 0;
    };

    // Writes `target` with at least `rows` rows in `table`; `keyColumn`
    // names the Long column made distinct. Throws std::runtime_error.
    static Result grow(const QString &source, const QString &target, const QString &table,
                       const QString &keyColumn, qint64 rows);
};

} // namespace morvane::bench
