#pragma once

#include "Database.h"
#include "QueryResult.h"

#include <QString>
#include <QStringList>

#include <atomic>

namespace morvane {


// One Get, from the statement to what the grid shows, without any widget.
// It opens the statement, picks the columns, reads at most rowLimit rows into
// one block and words the count message; a result that runs past the limit is
// counted by the engine. Runs on whichever thread owns the database; the
// `cancelled` flag may be raised from any thread and ends the run as a failure.
class QueryRun
{
public:
    static constexpr int rowLimit = 1000;
    // The grid shows no more of a cell than its widest column and a tooltip
    // can: a longer text is kept as its start, followed by how long it was
    // ("... (4000000 characters)"), so that neither memory nor the window's
    // drawing grows with what the database holds. The first cells of a Get
    // keep up to longestCellText characters each, until the Get has kept
    // cellTextBudget; later ones keep what their column can show.
    static constexpr qsizetype longestCellText = 2000;
    static constexpr qsizetype cellTextBudget = 16'000'000;

    // Parameters the statement needs are asked for through `prompt`, once
    // each for the run and its count.
    QueryRun(Database &database, const std::atomic_bool &cancelled, ParameterPrompt prompt = {});

    // `outlineFields` are the output column names the outline read from the
    // statement. Failures end up in the result, never thrown.
    [[nodiscard]] QueryResult run(const QString &select, const QStringList &outlineFields);

    // "12 items found.", "1 item found.": the wording follows the 16-bit copy.
    [[nodiscard]] static QString countMessage(qint64 count);

private:
    struct Column
    {
        int field;
        QString header;
    };

    [[nodiscard]] std::vector<Column> columns(const Recordset &result, const QStringList &outlineFields) const;
    void readRows(Recordset &result, const std::vector<Column> &columns, QueryResult &block);
    [[nodiscard]] QString overLimitMessage(const QString &select);
    void throwIfCancelled() const;

    Database &m_database;
    const std::atomic_bool &m_cancelled;
    ParameterPrompt m_prompt;
};

} // namespace morvane
