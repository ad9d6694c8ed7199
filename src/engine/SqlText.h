#pragma once

#include <QString>
#include <QStringView>

namespace morvane {

// What SQL's own tokenizer sees in a statement's text, for the few places the
// program must edit a statement rather than hand it over as typed.
class SqlText
{
public:
    // The statement without what trails its last token: white space,
    // semicolons and comments, including a block comment left open at the
    // end. Quoted strings and names are skipped whole, so a "--" or ";" inside
    // them is not taken for the end. Linear in the text's length.
    [[nodiscard]] static QStringView withoutTrailingTrivia(QStringView sql);

    // Where the quoted string, quoted name or comment that starts at `at`
    // ends (the end of the text when it is never closed); `at` itself when
    // none starts there. A doubled closing quote belongs to the quote.
    [[nodiscard]] static qsizetype skipQuotedOrComment(QStringView sql, qsizetype at);

    // A name in double quotes, a text in single quotes, each with its own
    // quote doubled inside.
    [[nodiscard]] static QString quotedName(QString name);
    [[nodiscard]] static QString quotedText(QString text);
};

} // namespace morvane
