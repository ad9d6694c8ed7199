#pragma once

#include <QByteArrayView>

struct sqlite3;

namespace morvane {

// How Access compares and matches text: without regard to letter case, for
// every alphabet (each character case-folded as Unicode folds it), and Like
// with Access's wildcards.
//
// The collation ACCESS_TEXT is declared on the text columns of an Access
// file's tables, so =, <, In, joins, Group By, Distinct and Order By on them
// follow it in every statement. like(pattern, text) replaces SQLite's:
//   * or %   any run of characters (also none)
//   ? or _   any one character
//   #        any one digit
//   [abc] [a-c] [!a-c]   one character of (or not of) the set
// A wildcard character in brackets stands for itself: [*] [?] [#] [%] [_] [[].
// Both work on UTF-8; texts of ASCII letters take a fast path.
class AccessTextCollation
{
public:
    static constexpr const char *name = "ACCESS_TEXT";

    // Failure when SQLite refuses them.
    static void install(sqlite3 *db);

    // <0, 0 or >0, as a collation answers.
    [[nodiscard]] static int compare(QByteArrayView left, QByteArrayView right);
    // True when `text` matches the Like `pattern`; false and `valid` false
    // when the pattern has a bracket left open.
    [[nodiscard]] static bool like(QByteArrayView pattern, QByteArrayView text, bool &valid);
};

} // namespace morvane
