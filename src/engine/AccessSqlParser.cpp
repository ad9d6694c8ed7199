#include "AccessSqlParser.h"

#include "AccessDateLiteral.h"
#include "Failure.h"

#include <QStringList>

#include <algorithm>

namespace morvane {

using namespace accesssql;
using Kind = AccessSqlToken::Kind;

namespace {

// Words that end a name or an expression: a column cannot be called this
// without brackets, as in Access.
constexpr QStringView reserved[] = {
    u"ALL",      u"AND",    u"AS",     u"ASC",      u"BETWEEN", u"BY",       u"CASE",   u"CAST",
    u"COLLATE",  u"CROSS",  u"DESC",   u"DISTINCT", u"DISTINCTROW", u"ELSE", u"END",    u"EQV",
    u"ESCAPE",   u"EXCEPT", u"EXISTS", u"FROM",     u"FULL",    u"GLOB",     u"GROUP",  u"HAVING",
    u"IMP",      u"IN",     u"INNER",  u"INTERSECT", u"INTO",   u"IS",       u"JOIN",   u"LEFT",
    u"LIKE",     u"LIMIT",  u"MOD",    u"NATURAL",  u"NOT",     u"NULL",     u"OFFSET", u"ON",
    u"OR",       u"ORDER",  u"OUTER",  u"OVER",     u"PARAMETERS", u"PERCENT", u"PIVOT", u"RIGHT",
    u"SELECT",   u"THEN",   u"TOP",    u"TRANSFORM", u"UNION",  u"USING",    u"WHEN",   u"WHERE",
    u"WITH",     u"XOR",
};

bool isReserved(QStringView word)
{
    if (word.size() < 2 || word.size() > 11)
        return false;
    return std::any_of(std::begin(reserved), std::end(reserved),
                       [word](QStringView r) { return r.compare(word, Qt::CaseInsensitive) == 0; });
}

// Access 97 wrote a sub-select in FROM as [SELECT ...]. AS alias: such a
// name and its point become the sub-select's own tokens in parentheses.
std::vector<AccessSqlToken> openBracketedSelects(QStringView sql, std::vector<AccessSqlToken> tokens)
{
    const auto isBracketedSelect = [](const AccessSqlToken &t, const AccessSqlToken &next) {
        return t.kind == AccessSqlToken::Kind::Name && t.text.front() == u'[' && next.isSymbol(u".")
            && t.text.sliced(1).trimmed().startsWith(u"select", Qt::CaseInsensitive);
    };
    if (std::none_of(tokens.begin(), tokens.end() - 1, [&](const AccessSqlToken &t) {
            return isBracketedSelect(t, *(&t + 1));
        })) {
        return tokens;
    }
    std::vector<AccessSqlToken> opened;
    opened.reserve(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const AccessSqlToken &t = tokens[i];
        if (i + 1 >= tokens.size() || !isBracketedSelect(t, tokens[i + 1])) {
            opened.push_back(t);
            continue;
        }
        const qsizetype innerStart = t.position + 1;
        const QStringView inner = sql.sliced(innerStart, t.text.size() - 2);
        opened.push_back({AccessSqlToken::Kind::Symbol, u"(", t.position});
        std::vector<AccessSqlToken> innerTokens = AccessSqlLexer::tokens(inner);
        innerTokens.pop_back(); // its End
        for (AccessSqlToken &innerToken : innerTokens) {
            innerToken.position += innerStart;
            opened.push_back(innerToken);
        }
        opened.push_back({AccessSqlToken::Kind::Symbol, u")", t.position + t.text.size() - 1});
        ++i; // the point
    }
    return opened;
}

} // namespace

class AccessSqlParser::Private
{
public:
    Private(QStringView sql, const QStringList &extraParameters)
        : m_sql(sql), m_tokens(openBracketedSelects(sql, AccessSqlLexer::tokens(sql))),
          m_extraParameters(extraParameters)
    {
    }

    const Statement &parse()
    {
        if (peek().isWord(u"PARAMETERS"))
            parameters();
        if (accept(u"TRANSFORM")) {
            m_statement.transform = std::make_unique<Transform>();
            m_statement.transform->value = expression();
            // Access names the value (AS CountOfid); its columns are named
            // by the pivot's values instead.
            if (accept(u"AS"))
                name();
            m_statement.query = query();
            if (m_statement.query->parts.size() != 1)
                refuse(QStringLiteral("a crosstab over a union"));
            m_statement.query->parts.front()->crosstab = true;
            pivot();
        } else {
            m_statement.query = query();
        }
        if (accept(u"WITH")) {
            // WITH OWNERACCESS OPTION only concerns Access's permissions.
            expectWord(u"OWNERACCESS");
            expectWord(u"OPTION");
        }
        while (peek().isSymbol(u";"))
            ++m_at;
        if (peek().kind != Kind::End)
            unexpected();
        if (m_stars != m_itemStars)
            refuse(QStringLiteral("* inside an expression"));
        return m_statement;
    }

private:
    // --- tokens

    const AccessSqlToken &peek(int ahead = 0) const
    {
        const std::size_t at = std::min(m_at + std::size_t(ahead), m_tokens.size() - 1);
        return m_tokens[at];
    }

    const AccessSqlToken &next() { return m_tokens[std::min(m_at++, m_tokens.size() - 1)]; }

    bool accept(QStringView word)
    {
        if (!peek().isWord(word))
            return false;
        ++m_at;
        return true;
    }

    bool acceptSymbol(QStringView symbol)
    {
        if (!peek().isSymbol(symbol))
            return false;
        ++m_at;
        return true;
    }

    void expectWord(QStringView word)
    {
        if (!accept(word))
            unexpected(word.toString());
    }

    void expectSymbol(QStringView symbol)
    {
        if (!acceptSymbol(symbol))
            unexpected(u'"' + symbol.toString() + u'"');
    }

    [[noreturn]] void refuse(const QString &what) const
    {
        throw Failure(QStringLiteral("Access SQL that Morvane does not run: %1.").arg(what));
    }

    [[noreturn]] void unexpected(const QString &wanted = {}) const
    {
        const AccessSqlToken &token = peek();
        const QString found = token.kind == Kind::End ? QStringLiteral("the end of the statement")
                                                      : u'\'' + token.text.left(40).toString() + u'\'';
        QString message = QStringLiteral("Syntax error: %1 at character %2").arg(found).arg(token.position + 1);
        if (!wanted.isEmpty())
            message += QStringLiteral(" where %1 was expected").arg(wanted);
        throw Failure(message + u'.');
    }

    // The text from `start` to the end of the last token read.
    QStringView spanFrom(qsizetype start) const
    {
        const AccessSqlToken &last = m_tokens[std::max<std::size_t>(m_at, 1) - 1];
        return m_sql.sliced(start, std::max<qsizetype>(last.position + last.text.size() - start, 0));
    }

    Expr *make(Expr::Kind kind, qsizetype start)
    {
        Expr &e = m_exprs.emplace_back();
        e.kind = kind;
        e.source = m_sql.sliced(start, 0);
        return &e;
    }

    Expr *finish(Expr *e, qsizetype start)
    {
        e->source = spanFrom(start);
        return e;
    }

    bool isNameToken(const AccessSqlToken &token) const
    {
        return token.kind == Kind::Name || (token.kind == Kind::Word && !isReserved(token.text));
    }

    // Where only a name can stand (a table, a qualifier, an alias), SQLite's
    // "quoted name" is one; elsewhere double quotes make a text, as in Access.
    static bool isQuotedName(const AccessSqlToken &token)
    {
        return token.kind == Kind::Text && token.text.front() == u'"';
    }

    QStringView name()
    {
        if (isQuotedName(peek())) {
            const AccessSqlToken &token = next();
            return token.text.sliced(1, token.text.size() - 2);
        }
        if (!isNameToken(peek()))
            unexpected(QStringLiteral("a name"));
        return AccessSqlLexer::nameOf(next());
    }

    // --- statement parts

    void parameters()
    {
        ++m_at;
        do {
            Parameter p;
            const AccessSqlToken &token = next();
            if (token.kind != Kind::Name && token.kind != Kind::Word)
                unexpected(QStringLiteral("a parameter's name"));
            p.name = AccessSqlLexer::nameOf(token).toString();
            // The type is one or two words, with a size for Text: "Text (255)".
            const qsizetype start = peek().position;
            while (peek().kind == Kind::Word || peek().isSymbol(u"(") || peek().kind == Kind::Number
                   || peek().isSymbol(u")")) {
                ++m_at;
            }
            p.type = m_sql.sliced(start, peek().position - start).trimmed().toString();
            m_statement.parameters.push_back(std::move(p));
        } while (acceptSymbol(u","));
        expectSymbol(u";");
    }

    void pivot()
    {
        expectWord(u"PIVOT");
        Transform &t = *m_statement.transform;
        // Below comparisons, so that the IN that follows is not read as one.
        t.pivot = concatenation();
        if (accept(u"IN")) {
            t.hasValues = true;
            expectSymbol(u"(");
            do
                t.pivotValues.push_back(expression());
            while (acceptSymbol(u","));
            expectSymbol(u")");
        }
    }

    Query *query()
    {
        const Nesting nesting(*this);
        Query &q = m_queries.emplace_back();
        if (accept(u"WITH")) {
            q.recursive = accept(u"RECURSIVE");
            do {
                CommonTable table;
                table.name = name();
                if (acceptSymbol(u"(")) {
                    do
                        table.columns.push_back(name());
                    while (acceptSymbol(u","));
                    expectSymbol(u")");
                }
                expectWord(u"AS");
                expectSymbol(u"(");
                table.query = query();
                expectSymbol(u")");
                q.with.push_back(table);
            } while (acceptSymbol(u","));
        }
        q.parts.push_back(selectPart());
        for (;;) {
            QString op;
            if (accept(u"UNION"))
                op = accept(u"ALL") ? QStringLiteral("UNION ALL") : QStringLiteral("UNION");
            else if (accept(u"INTERSECT"))
                op = QStringLiteral("INTERSECT");
            else if (accept(u"EXCEPT"))
                op = QStringLiteral("EXCEPT");
            else
                break;
            q.operators.push_back(op);
            q.parts.push_back(selectPart());
        }
        if (accept(u"ORDER")) {
            expectWord(u"BY");
            do {
                OrderTerm term;
                term.expr = expression();
                if (accept(u"DESC"))
                    term.descending = true;
                else
                    accept(u"ASC");
                q.orderBy.push_back(term);
            } while (acceptSymbol(u","));
        }
        if (accept(u"LIMIT")) {
            q.limit = expression();
            if (accept(u"OFFSET"))
                q.offset = expression();
            else if (acceptSymbol(u",")) {
                // SQLite's "LIMIT offset, count".
                q.offset = q.limit;
                q.limit = expression();
            }
        }
        return &q;
    }

    // One SELECT, a parenthesised query in a union, or Access's TABLE name.
    Select *selectPart()
    {
        if (peek().isSymbol(u"(") && peek(1).isWord(u"SELECT")) {
            refuse(QStringLiteral("a parenthesised select in a union"));
        }
        if (peek().isWord(u"TABLE")) {
            ++m_at;
            Select &s = m_selects.emplace_back();
            Expr *star = make(Expr::Kind::Star, peek().position);
            ++m_stars;
            ++m_itemStars;
            s.items.push_back({star, {}});
            s.from.push_back(tableSource());
            return &s;
        }
        if (!peek().isWord(u"SELECT")) {
            if (peek().kind == Kind::Word)
                refuse(QStringLiteral("a statement that begins with %1 (only select statements are run here)")
                           .arg(peek().text.toString().toUpper()));
            unexpected(QStringLiteral("SELECT"));
        }
        ++m_at;
        Select &s = m_selects.emplace_back();
        if (accept(u"DISTINCT"))
            s.distinct = true;
        else if (!accept(u"DISTINCTROW"))
            accept(u"ALL");
        if (accept(u"TOP")) {
            if (peek().kind != Kind::Number)
                unexpected(QStringLiteral("a number after TOP"));
            const qsizetype start = peek().position;
            Expr *count = make(Expr::Kind::Number, start);
            count->value = next().text.toString();
            s.top = finish(count, start);
            s.percent = accept(u"PERCENT");
        }
        do
            s.items.push_back(selectItem());
        while (acceptSymbol(u","));
        if (accept(u"INTO"))
            refuse(QStringLiteral("SELECT ... INTO (a make-table query): the file is opened read-only"));
        if (accept(u"FROM")) {
            do
                s.from.push_back(joinedSource());
            while (acceptSymbol(u","));
        }
        if (accept(u"WHERE"))
            s.where = expression();
        if (accept(u"GROUP")) {
            expectWord(u"BY");
            do
                s.groupBy.push_back(expression());
            while (acceptSymbol(u","));
        }
        if (accept(u"HAVING"))
            s.having = expression();
        return &s;
    }

    SelectItem selectItem()
    {
        SelectItem item;
        if (peek().isSymbol(u"*")) {
            item.expr = make(Expr::Kind::Star, peek().position);
            ++m_at;
            ++m_stars;
            ++m_itemStars;
            return item;
        }
        item.expr = expression();
        if (item.expr->kind == Expr::Kind::Star) {
            ++m_itemStars;
            return item;
        }
        if (accept(u"AS"))
            item.alias = aliasName();
        else if (isNameToken(peek()))
            item.alias = aliasName();
        return item;
    }

    QStringView aliasName()
    {
        if (peek().kind == Kind::Text) {
            // SQLite takes a quoted text as an alias too.
            const AccessSqlToken &token = next();
            return token.text.sliced(1, token.text.size() - 2);
        }
        return name();
    }

    Source *joinedSource()
    {
        Source *left = primarySource();
        for (;;) {
            QString type;
            if (accept(u"NATURAL"))
                refuse(QStringLiteral("NATURAL JOIN"));
            if (accept(u"INNER")) {
                type = QStringLiteral("INNER JOIN");
            } else if (accept(u"LEFT")) {
                accept(u"OUTER");
                type = QStringLiteral("LEFT JOIN");
            } else if (accept(u"RIGHT")) {
                accept(u"OUTER");
                type = QStringLiteral("RIGHT JOIN");
            } else if (accept(u"FULL")) {
                accept(u"OUTER");
                type = QStringLiteral("FULL JOIN");
            } else if (accept(u"CROSS")) {
                type = QStringLiteral("CROSS JOIN");
            } else if (peek().isWord(u"JOIN")) {
                type = QStringLiteral("INNER JOIN");
            } else {
                return left;
            }
            expectWord(u"JOIN");
            Source &join = m_sources.emplace_back();
            join.kind = Source::Kind::Join;
            join.left = left;
            join.joinType = type;
            join.right = primarySource();
            if (accept(u"ON")) {
                join.on = expression();
            } else if (accept(u"USING")) {
                expectSymbol(u"(");
                do
                    join.usingColumns.push_back(name());
                while (acceptSymbol(u","));
                expectSymbol(u")");
            } else if (type != QStringLiteral("CROSS JOIN")) {
                unexpected(QStringLiteral("ON"));
            }
            left = &join;
        }
    }

    Source *primarySource()
    {
        const Nesting nesting(*this);
        if (acceptSymbol(u"(")) {
            if (peek().isWord(u"SELECT") || peek().isWord(u"WITH")) {
                Source &derived = m_sources.emplace_back();
                derived.kind = Source::Kind::Derived;
                derived.query = query();
                expectSymbol(u")");
                derived.alias = optionalAlias();
                return &derived;
            }
            // Access nests its join chains in parentheses.
            Source *inner = joinedSource();
            if (peek().isSymbol(u","))
                refuse(QStringLiteral("a list of tables in parentheses"));
            expectSymbol(u")");
            inner->parenthesised = true;
            return inner;
        }
        return tableSource();
    }

    Source *tableSource()
    {
        Source &table = m_sources.emplace_back();
        table.kind = Source::Kind::Table;
        table.names.push_back(name());
        while (acceptSymbol(u"."))
            table.names.push_back(name());
        if (peek().isWord(u"IN") && (peek(1).kind == Kind::Text || peek(1).kind == Kind::Name))
            refuse(QStringLiteral("IN %1 (a table in another database file)").arg(peek(1).text.toString()));
        table.alias = optionalAlias();
        return &table;
    }

    QStringView optionalAlias()
    {
        if (accept(u"AS"))
            return name();
        if (isQuotedName(peek()))
            return name();
        if (isNameToken(peek()))
            return name();
        return {};
    }

    // Each level of nesting costs stack; a statement nested deeper than any
    // person writes is refused rather than allowed to exhaust it.
    class Nesting
    {
    public:
        explicit Nesting(Private &parser) : m_parser(parser)
        {
            if (++m_parser.m_depth > maximumDepth)
                m_parser.refuse(QStringLiteral("a statement nested more than %1 levels deep").arg(maximumDepth));
        }
        ~Nesting() { --m_parser.m_depth; }
        Nesting(const Nesting &) = delete;
        Nesting &operator=(const Nesting &) = delete;

    private:
        Private &m_parser;
    };
    static constexpr int maximumDepth = 200;

    // --- expressions, loosest first: Imp, Eqv, Xor, Or, And, Not,
    // comparison, &, + -, Mod, \, * /, unary -, ^.

    Expr *expression()
    {
        const Nesting nesting(*this);
        return binaryLevel(0);
    }

    static bool isOperatorAt(const AccessSqlToken &token, int level)
    {
        static const std::initializer_list<QStringView> levels[] = {
            {u"IMP"}, {u"EQV"}, {u"XOR"}, {u"OR"}, {u"AND"},
        };
        for (QStringView op : levels[level]) {
            if (token.isWord(op))
                return true;
        }
        return false;
    }

    Expr *binaryLevel(int level)
    {
        if (level == 5)
            return notLevel();
        const qsizetype start = peek().position;
        Expr *left = binaryLevel(level + 1);
        while (isOperatorAt(peek(), level)) {
            Expr *e = make(Expr::Kind::Binary, start);
            e->op = next().text;
            e->value = e->op.toString().toUpper();
            e->args = {left, binaryLevel(level + 1)};
            left = finish(e, start);
        }
        return left;
    }

    Expr *notLevel()
    {
        const Nesting nesting(*this);
        const qsizetype start = peek().position;
        if (accept(u"NOT")) {
            Expr *e = make(Expr::Kind::Unary, start);
            e->value = QStringLiteral("NOT");
            e->args = {notLevel()};
            return finish(e, start);
        }
        return comparison();
    }

    Expr *comparison()
    {
        const qsizetype start = peek().position;
        Expr *left = concatenation();
        for (;;) {
            const AccessSqlToken &token = peek();
            if (token.kind == Kind::Symbol
                && (token.text == u"=" || token.text == u"<>" || token.text == u"<" || token.text == u">"
                    || token.text == u"<=" || token.text == u">=" || token.text == u"==" || token.text == u"!=")) {
                Expr *e = make(Expr::Kind::Binary, start);
                e->op = next().text;
                e->value = e->op == u"==" ? QStringLiteral("=") : e->op == u"!=" ? QStringLiteral("<>") : e->op.toString();
                e->args = {left, concatenation()};
                left = finish(e, start);
                continue;
            }
            const bool negated = token.isWord(u"NOT")
                && (peek(1).isWord(u"LIKE") || peek(1).isWord(u"BETWEEN") || peek(1).isWord(u"IN")
                    || peek(1).isWord(u"GLOB"));
            if (negated)
                ++m_at;
            if (accept(u"LIKE")) {
                Expr *e = make(Expr::Kind::Like, start);
                e->negated = negated;
                e->args = {left, concatenation()};
                if (accept(u"ESCAPE"))
                    e->args.push_back(concatenation());
                left = finish(e, start);
            } else if (accept(u"GLOB")) {
                Expr *e = make(Expr::Kind::Binary, start);
                e->value = negated ? QStringLiteral("NOT GLOB") : QStringLiteral("GLOB");
                e->args = {left, concatenation()};
                left = finish(e, start);
            } else if (accept(u"BETWEEN")) {
                Expr *e = make(Expr::Kind::Between, start);
                e->negated = negated;
                Expr *low = concatenation();
                expectWord(u"AND");
                e->args = {left, low, concatenation()};
                left = finish(e, start);
            } else if (accept(u"IN")) {
                Expr *e = make(Expr::Kind::In, start);
                e->negated = negated;
                e->args = {left};
                expectSymbol(u"(");
                if (peek().isWord(u"SELECT") || peek().isWord(u"WITH")) {
                    e->query = query();
                } else if (!peek().isSymbol(u")")) {
                    do
                        e->args.push_back(expression());
                    while (acceptSymbol(u","));
                }
                expectSymbol(u")");
                left = finish(e, start);
            } else if (accept(u"IS")) {
                const bool isNot = accept(u"NOT");
                if (accept(u"NULL")) {
                    Expr *e = make(Expr::Kind::IsNull, start);
                    e->negated = isNot;
                    e->args = {left};
                    left = finish(e, start);
                } else {
                    Expr *e = make(Expr::Kind::Is, start);
                    e->negated = isNot;
                    e->args = {left, concatenation()};
                    left = finish(e, start);
                }
            } else {
                if (negated)
                    unexpected();
                return left;
            }
        }
    }

    // The arithmetic levels, loosest first: each operator as typed and the
    // operator it stands for. SQLite's || keeps Null; Access's & does not.
    struct Operator
    {
        QStringView typed;
        QStringView meaning;
        bool word = false;
    };

    static constexpr int arithmeticLevels = 5;

    static const Operator *operatorAt(const AccessSqlToken &token, int level)
    {
        static constexpr Operator concatenation[] = {{u"&", u"&"}, {u"||", u"||"}};
        static constexpr Operator additive[] = {{u"+", u"+"}, {u"-", u"-"}};
        static constexpr Operator modulo[] = {{u"MOD", u"MOD", true}, {u"%", u"MOD"}};
        static constexpr Operator integerDivision[] = {{u"\\", u"\\"}};
        static constexpr Operator multiplicative[] = {{u"*", u"*"}, {u"/", u"/"}};
        static constexpr std::pair<const Operator *, int> levels[arithmeticLevels] = {
            {concatenation, 2}, {additive, 2}, {modulo, 2}, {integerDivision, 1}, {multiplicative, 2}};
        const auto [operators, count] = levels[level];
        for (int i = 0; i < count; ++i) {
            const Operator &op = operators[i];
            if (op.word ? token.isWord(op.typed) : token.isSymbol(op.typed))
                return &op;
        }
        return nullptr;
    }

    Expr *concatenation() { return arithmetic(0); }

    Expr *arithmetic(int level)
    {
        if (level == arithmeticLevels)
            return unary();
        const qsizetype start = peek().position;
        Expr *left = arithmetic(level + 1);
        while (const Operator *op = operatorAt(peek(), level)) {
            Expr *e = make(Expr::Kind::Binary, start);
            e->op = next().text;
            e->value = op->meaning.toString();
            e->args = {left, arithmetic(level + 1)};
            left = finish(e, start);
        }
        return left;
    }

    Expr *unary()
    {
        const Nesting nesting(*this);
        const qsizetype start = peek().position;
        if (peek().isSymbol(u"-") || peek().isSymbol(u"+")) {
            Expr *e = make(Expr::Kind::Unary, start);
            e->op = next().text;
            e->value = e->op.toString();
            e->args = {unary()};
            return finish(e, start);
        }
        return power();
    }

    Expr *power()
    {
        const qsizetype start = peek().position;
        Expr *left = postfix();
        while (acceptSymbol(u"^")) {
            Expr *e = make(Expr::Kind::Binary, start);
            e->value = QStringLiteral("^");
            // 2 ^ -1 is allowed: the exponent may carry a sign.
            Expr *right = nullptr;
            const qsizetype signStart = peek().position;
            if (peek().isSymbol(u"-") || peek().isSymbol(u"+")) {
                right = make(Expr::Kind::Unary, signStart);
                right->value = next().text.toString();
                right->args = {postfix()};
                finish(right, signStart);
            } else {
                right = postfix();
            }
            e->args = {left, right};
            left = finish(e, start);
        }
        return left;
    }

    Expr *postfix()
    {
        const qsizetype start = peek().position;
        Expr *e = primary();
        while (accept(u"COLLATE")) {
            Expr *c = make(Expr::Kind::Collate, start);
            c->op = name();
            c->args = {e};
            e = finish(c, start);
        }
        return e;
    }

    Expr *primary()
    {
        const AccessSqlToken &token = peek();
        const qsizetype start = token.position;
        switch (token.kind) {
        case Kind::Number: {
            Expr *e = make(Expr::Kind::Number, start);
            e->value = next().text.toString();
            return finish(e, start);
        }
        case Kind::Text: {
            if (isQuotedName(token) && (peek(1).isSymbol(u".") || peek(1).isSymbol(u"!")))
                return nameOrCall(start);
            Expr *e = make(Expr::Kind::Text, start);
            e->value = AccessSqlLexer::textValue(next());
            return finish(e, start);
        }
        case Kind::Date: {
            Expr *e = make(Expr::Kind::Date, start);
            const QStringView inside = token.text.sliced(1, token.text.size() - 2);
            e->value = AccessDateLiteral::toIso(inside);
            if (e->value.isEmpty())
                throw Failure(QStringLiteral("Syntax error in date %1 at character %2.")
                                  .arg(token.text.toString())
                                  .arg(start + 1));
            ++m_at;
            return finish(e, start);
        }
        case Kind::Symbol:
            if (acceptSymbol(u"(")) {
                if (peek().isWord(u"SELECT") || peek().isWord(u"WITH")) {
                    Expr *e = make(Expr::Kind::Subquery, start);
                    e->query = query();
                    expectSymbol(u")");
                    return finish(e, start);
                }
                Expr *inner = expression();
                if (peek().isSymbol(u","))
                    refuse(QStringLiteral("a list of values in parentheses"));
                expectSymbol(u")");
                // The parentheses only group; the span keeps them for names.
                return inner;
            }
            unexpected(QStringLiteral("a value"));
        case Kind::End:
            unexpected(QStringLiteral("a value"));
        case Kind::Word:
        case Kind::Name:
            break;
        }
        if (token.kind == Kind::Word)
            if (Expr *e = keywordValue(start))
                return e;
        return nameOrCall(start);
    }

    Expr *keywordValue(qsizetype start)
    {
        const AccessSqlToken &token = peek();
        static constexpr QStringView truths[] = {u"TRUE", u"YES", u"ON"};
        static constexpr QStringView falsehoods[] = {u"FALSE", u"NO", u"OFF"};
        for (QStringView word : truths) {
            if (token.isWord(word)) {
                Expr *e = make(Expr::Kind::Boolean, start);
                e->value = QStringLiteral("-1");
                ++m_at;
                return finish(e, start);
            }
        }
        for (QStringView word : falsehoods) {
            if (token.isWord(word)) {
                Expr *e = make(Expr::Kind::Boolean, start);
                e->value = QStringLiteral("0");
                ++m_at;
                return finish(e, start);
            }
        }
        if (accept(u"NULL"))
            return finish(make(Expr::Kind::Null, start), start);
        if (accept(u"EXISTS")) {
            Expr *e = make(Expr::Kind::Exists, start);
            expectSymbol(u"(");
            e->query = query();
            expectSymbol(u")");
            return finish(e, start);
        }
        if (accept(u"CASE"))
            return caseExpression(start);
        if (accept(u"CAST")) {
            Expr *e = make(Expr::Kind::Cast, start);
            expectSymbol(u"(");
            e->args = {expression()};
            expectWord(u"AS");
            const qsizetype typeStart = peek().position;
            while (peek().kind == Kind::Word || peek().kind == Kind::Number || peek().isSymbol(u",")
                   || (peek().isSymbol(u"(") && peek(1).kind == Kind::Number)) {
                if (peek().isSymbol(u"(")) {
                    while (!peek().isSymbol(u")") && peek().kind != Kind::End)
                        ++m_at;
                }
                ++m_at;
            }
            e->value = m_sql.sliced(typeStart, peek().position - typeStart).trimmed().toString();
            expectSymbol(u")");
            return finish(e, start);
        }
        // Left(, Right( and Asc( are functions; elsewhere the words belong
        // to joins and to ORDER BY.
        const bool call = (token.isWord(u"LEFT") || token.isWord(u"RIGHT") || token.isWord(u"ASC"))
            && peek(1).isSymbol(u"(");
        if (isReserved(token.text) && !call)
            unexpected(QStringLiteral("a value"));
        return nullptr;
    }

    Expr *caseExpression(qsizetype start)
    {
        Expr *e = make(Expr::Kind::Case, start);
        if (!peek().isWord(u"WHEN")) {
            e->hasOperand = true;
            e->args.push_back(expression());
        }
        if (!peek().isWord(u"WHEN"))
            unexpected(QStringLiteral("WHEN"));
        while (accept(u"WHEN")) {
            e->args.push_back(expression());
            expectWord(u"THEN");
            e->args.push_back(expression());
        }
        if (accept(u"ELSE")) {
            e->hasElse = true;
            e->args.push_back(expression());
        }
        expectWord(u"END");
        return finish(e, start);
    }

    void window(Expr &e)
    {
        e.window = true;
        if (!acceptSymbol(u"("))
            refuse(QStringLiteral("OVER with a named window"));
        if (accept(u"PARTITION")) {
            expectWord(u"BY");
            do
                e.partition.push_back(expression());
            while (acceptSymbol(u","));
        }
        if (accept(u"ORDER")) {
            expectWord(u"BY");
            do {
                Expr *key = expression();
                const bool descending = accept(u"DESC");
                if (!descending)
                    accept(u"ASC");
                e.windowOrder.emplace_back(key, descending);
            } while (acceptSymbol(u","));
        }
        if (!peek().isSymbol(u")"))
            refuse(QStringLiteral("a window frame (%1)").arg(peek().text.toString()));
        ++m_at;
    }

    Expr *nameOrCall(qsizetype start)
    {
        const AccessSqlToken &first = next();
        if (peek().isSymbol(u"(") && first.kind == Kind::Word) {
            ++m_at;
            Expr *e = make(Expr::Kind::Call, start);
            e->op = first.text;
            if (acceptSymbol(u"*")) {
                e->star = true;
            } else if (!peek().isSymbol(u")")) {
                e->distinct = accept(u"DISTINCT");
                do
                    e->args.push_back(expression());
                while (acceptSymbol(u","));
            }
            expectSymbol(u")");
            if (accept(u"OVER"))
                window(*e);
            return finish(e, start);
        }
        Expr *e = make(Expr::Kind::Column, start);
        e->names.push_back(first.kind == Kind::Text ? first.text.sliced(1, first.text.size() - 2)
                                                    : AccessSqlLexer::nameOf(first));
        // Access writes Table!Column as well as Table.Column.
        while (peek().isSymbol(u".") || peek().isSymbol(u"!")) {
            ++m_at;
            if (acceptSymbol(u"*")) {
                // Only a whole select item may be t.*; parse() checks.
                ++m_stars;
                e->kind = Expr::Kind::Star;
                return finish(e, start);
            }
            e->names.push_back(name());
        }
        // A qualified name no table provides is a parameter too: Access
        // asks for Table3.col1 in a select without a FROM.
        if (e->names.size() == 1)
            e->parameter = parameterIndex(e->names.front());
        else if (!m_extraParameters.isEmpty())
            e->parameter = extraParameterIndex(qualifiedName(e->names));
        if (e->parameter >= 0)
            e->kind = Expr::Kind::Parameter;
        return finish(e, start);
    }

    int parameterIndex(QStringView name)
    {
        auto &declared = m_statement.parameters;
        for (std::size_t i = 0; i < declared.size(); ++i) {
            if (declared[i].name.compare(name, Qt::CaseInsensitive) == 0)
                return int(i);
        }
        return extraParameterIndex(name);
    }

    int extraParameterIndex(QStringView name)
    {
        auto &declared = m_statement.parameters;
        for (const QString &extra : m_extraParameters) {
            if (extra.compare(name, Qt::CaseInsensitive) == 0) {
                declared.push_back({extra, {}});
                return int(declared.size() - 1);
            }
        }
        return -1;
    }

    // As SQLite names a column it cannot find.
    static QString qualifiedName(const std::vector<QStringView> &names)
    {
        QString joined;
        for (QStringView part : names) {
            if (!joined.isEmpty())
                joined += u'.';
            joined += part;
        }
        return joined;
    }

    QStringView m_sql;
    std::vector<AccessSqlToken> m_tokens;
    std::size_t m_at = 0;
    int m_depth = 0;
    int m_stars = 0;
    int m_itemStars = 0;
    QStringList m_extraParameters;
    Statement m_statement;
    std::deque<Expr> m_exprs;
    std::deque<Source> m_sources;
    std::deque<Select> m_selects;
    std::deque<Query> m_queries;
};

AccessSqlParser::AccessSqlParser(QStringView sql, const QStringList &extraParameters)
    : d(std::make_unique<Private>(sql, extraParameters))
{
}

AccessSqlParser::~AccessSqlParser() = default;

const Statement &AccessSqlParser::parse()
{
    return d->parse();
}

} // namespace morvane
