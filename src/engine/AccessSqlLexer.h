#pragma once

#include <QStringView>

#include <vector>

namespace morvane {

// One token of an Access SQL statement: a view into the statement's text.
struct AccessSqlToken
{
    enum class Kind {
        End,
        Word,    // a bare name or keyword: letters, digits and "_"
        Name,    // [Name With Spaces] or `name`: always a name
        Text,    // 'text' or "text" (Access reads double quotes as text)
        Number,  // 12, 1.5, .5, 1e3, 0x1F
        Date,    // #1/31/1995#: the text between the hashes
        Symbol,  // an operator or punctuation: ( ) , . ! ; = <> <= ...
    };

    Kind kind = Kind::End;
    // The token as typed, quotes and brackets included.
    QStringView text;
    // Where it starts in the statement, for messages.
    qsizetype position = 0;

    [[nodiscard]] bool isWord(QStringView word) const
    {
        return kind == Kind::Word && text.compare(word, Qt::CaseInsensitive) == 0;
    }
    [[nodiscard]] bool isSymbol(QStringView symbol) const { return kind == Kind::Symbol && text == symbol; }
};

// Splits a statement into tokens, skipping white space and comments (-- and
// /* */, which SQLite users type). Linear in the statement's length; the
// tokens point into the text, which must outlive them. A text, name or date
// left open, or a character no token starts with, is a Failure that names
// it and where it stands.
class AccessSqlLexer
{
public:
    [[nodiscard]] static std::vector<AccessSqlToken> tokens(QStringView sql);

    // The value of a Text token: the quotes removed, doubled quotes single.
    [[nodiscard]] static QString textValue(const AccessSqlToken &token);
    // The name in a Word or Name token, without brackets or back quotes.
    [[nodiscard]] static QStringView nameOf(const AccessSqlToken &token);
};

} // namespace morvane
