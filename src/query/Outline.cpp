#include "Outline.h"

#include "mdlMain.h"

namespace morvane {

namespace {

// The header test looks at exactly this many characters, and the field list
// starts right after them.
constexpr qsizetype SelectTestLength = 7;
constexpr qsizetype WhereTestLength = 6;

bool Contains(QStringView text, QStringView part)
{
    return text.indexOf(part, 0, Qt::CaseSensitive) >= 0;
}

} // namespace

// This runs on every keystroke, and a pasted statement can be megabytes long,
// so every cut below is a view into the one lower-cased copy, and every search
// starts where the previous cut left off. The remainders only ever shrink from
// the front; once trimmed at the back they stay trimmed there, so trimming
// them again costs nothing.
Outline ParseOutline(QStringView statement)
{
    Outline outline;

    const QString lowered = statement.toString().toLower();
    QStringView s = lowered;

    if (TrimSpaces(s.first(qMin(s.size(), SelectTestLength))) != u"select")
        return outline;

    outline.items.append({QStringLiteral("Fields"), true});
    s = TrimSpaces(s.sliced(qMin(s.size(), SelectTestLength)));

    // " from" without a trailing space: a column name that starts with "from"
    // after a space ends the list too.
    QStringView fieldList = TextBefore(s, u" from");
    while (!TrimSpaces(fieldList).isEmpty()) {
        QStringView field = TrimSpaces(TextBefore(fieldList, u","));
        if (Contains(field, u"(")) {
            // Commas inside the parentheses would split the expression, so
            // jump to its alias instead. Left untrimmed: "n " stays "n ".
            fieldList = TextAfter(fieldList, u" as ");
            field = TextBefore(fieldList, u",");
        }
        if (Contains(field, u" as "))
            field = TextAfter(field, u" as ");
        if (Contains(field, u"."))
            field = TextAfter(field, u".");

        const QString name = field.toString();
        outline.items.append({name, false});
        outline.fields.append(name);

        fieldList = TrimSpaces(TextAfter(fieldList, u","));
    }

    outline.items.append({QStringLiteral("Tables"), true});
    s = TrimSpaces(TextAfter(s, u" from "));
    do {
        if (TrimSpaces(s.first(qMin(s.size(), WhereTestLength))) == u"where")
            break;
        // The table is the text up to the first space and, of that, up to the
        // first comma. Cutting at the comma first gives the same text, and
        // keeps the search for a space from running past the comma to the end
        // of a statement that has none.
        const QStringView table = TrimSpaces(TextBefore(TextBefore(s, u","), u" "));
        outline.items.append({table.toString(), false});
        s = TrimSpaces(TextAfter(s, u","));
    } while (!s.isEmpty());

    return outline;
}

} // namespace morvane
