#pragma once

#include <QString>

#include <utility>

struct sqlite3;

namespace morvane {

// What a typed statement may do on an SQLite connection, enforced by SQLite's
// authorizer while the statement is compiled and while it runs.
//
// Get only reads: no writes, no schema changes, no transactions, no attached
// files, no settings changed. Execute runs one action in autocommit: no
// transaction may outlive it, and nothing may weaken the settings that keep
// the file safe for the rest of the session. Neither may call a function that
// hands out memory addresses or loads code.
class SqliteGuard
{
public:
    enum class Rule {
        // The program's own set-up statements: everything is allowed.
        Internal,
        // A select typed for Get, while it is compiled.
        Get,
        // The same statement while it runs: what SQLite or a module does
        // for it (a full-text function that merges its index) is still
        // only allowed to read.
        GetRunning,
        // An action statement typed for Execute, while it is compiled.
        Execute,
        // The same statement while it runs: VACUUM then works through
        // statements of SQLite's own (attach, begin, writes), which are
        // allowed; settings and functions are still checked.
        ExecuteRunning,
    };

    // Installs the authorizer on `db`, which must outlive the guard; starts
    // with the Internal rule.
    explicit SqliteGuard(sqlite3 *db);
    ~SqliteGuard();

    SqliteGuard(const SqliteGuard &) = delete;
    SqliteGuard &operator=(const SqliteGuard &) = delete;

    // The rule for the statements from now on; forgets the last refusal.
    void use(Rule rule);

    // Why the guard refused the last statement, in words for the user; empty
    // when it refused nothing since use().
    [[nodiscard]] const QString &refusal() const { return m_refusal; }

    // Whether the statements compiled since use() only read a setting
    // ("pragma journal_mode"), which SQLite does not count as read-only.
    [[nodiscard]] bool onlyReadASetting() const { return m_checks == 1 && m_settingRead; }

    // True once an Execute has changed the journal mode, whose sync setting
    // then has to follow it.
    [[nodiscard]] bool takeJournalModeChange() { return std::exchange(m_journalModeChanged, false); }

    // Functions no typed statement may call, on any SQLite connection of the
    // program: fts3_tokenizer hands out and takes raw memory addresses, and
    // load_extension runs foreign code.
    [[nodiscard]] static bool isForbiddenFunction(const char *name);

    // Turns off the parts of SQLite that a typed statement could use to read
    // or write memory behind its back. Returns SQLite's result code.
    static int disableUnsafeFeatures(sqlite3 *db);

private:
    static int authorize(void *self, int action, const char *first, const char *second, const char *database,
                         const char *trigger);
    int check(int action, const char *first, const char *second);
    int checkPragma(const char *name, const char *value);
    int refuse(QString why);
    [[nodiscard]] bool reading() const { return m_rule == Rule::Get || m_rule == Rule::GetRunning; }

    sqlite3 *m_db;
    Rule m_rule = Rule::Internal;
    QString m_refusal;
    bool m_journalModeChanged = false;
    int m_checks = 0;
    bool m_settingRead = false;
};

} // namespace morvane
