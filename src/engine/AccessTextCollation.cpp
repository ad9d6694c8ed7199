#include "AccessTextCollation.h"

#include "Failure.h"

#include <QChar>

#include <sqlite3.h>

#include <array>
#include <utility>
#include <vector>

namespace morvane {

namespace {

constexpr std::array<unsigned char, 128> asciiFolds = [] {
    std::array<unsigned char, 128> folds{};
    for (int c = 0; c < 128; ++c)
        folds[std::size_t(c)] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return folds;
}();

// Reads one character of UTF-8 at `p` and moves past it. Bytes that are not
// UTF-8 stand for themselves.
char32_t decode(const unsigned char *&p, const unsigned char *end)
{
    const unsigned char lead = *p++;
    if (lead < 0x80)
        return lead;
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t c = more == 3 ? lead & 0x07 : more == 2 ? lead & 0x0F : lead & 0x1F;
    if (more == 0 || end - p < more)
        return lead;
    for (; more > 0; --more)
        c = (c << 6) | (*p++ & 0x3F);
    return c;
}

// The next character, case-folded.
char32_t nextFolded(const unsigned char *&p, const unsigned char *end)
{
    if (*p < 0x80)
        return asciiFolds[*p++];
    return QChar::toCaseFolded(decode(p, end));
}

// A Like pattern, read once per statement.
struct Pattern
{
    enum class Kind { Character, One, Digit, Any, Set };
    struct Element
    {
        Kind kind;
        char32_t character = 0;
        std::size_t set = 0; // into sets
    };
    struct Range
    {
        char32_t from;
        char32_t to;
    };
    struct Set
    {
        std::vector<Range> ranges;
        bool negated = false;
    };

    std::vector<Element> elements;
    std::vector<Set> sets;
    bool valid = true;

    explicit Pattern(QByteArrayView text)
    {
        const auto *p = reinterpret_cast<const unsigned char *>(text.data());
        const unsigned char *end = p + text.size();
        while (p < end) {
            const char32_t c = nextFolded(p, end);
            switch (c) {
            case U'*':
            case U'%':
                // Runs of stars are one star.
                if (elements.empty() || elements.back().kind != Kind::Any)
                    elements.push_back({Kind::Any});
                break;
            case U'?':
            case U'_':
                elements.push_back({Kind::One});
                break;
            case U'#':
                elements.push_back({Kind::Digit});
                break;
            case U'[':
                readSet(p, end);
                break;
            default:
                elements.push_back({Kind::Character, c});
            }
        }
    }

    void readSet(const unsigned char *&p, const unsigned char *end)
    {
        Set set;
        if (p < end && *p == '!') {
            set.negated = true;
            ++p;
        }
        bool first = true;
        while (p < end && (*p != ']' || first)) {
            first = false;
            const char32_t from = nextFolded(p, end);
            char32_t to = from;
            if (p + 1 < end && *p == '-' && p[1] != ']') {
                ++p;
                to = nextFolded(p, end);
            }
            set.ranges.push_back({from, to});
        }
        if (p >= end) {
            valid = false;
            return;
        }
        ++p;
        // [] matches nothing in Access; [!] any one character.
        sets.push_back(std::move(set));
        elements.push_back({Kind::Set, 0, sets.size() - 1});
    }

    bool inSet(const Set &set, char32_t c) const
    {
        bool found = false;
        for (const Range &range : set.ranges)
            found = found || (c >= range.from && c <= range.to);
        return found != set.negated;
    }

    bool matchesOne(const Element &element, char32_t c) const
    {
        switch (element.kind) {
        case Kind::Character:
            return element.character == c;
        case Kind::One:
            return true;
        case Kind::Digit:
            return c >= U'0' && c <= U'9';
        case Kind::Set:
            return inSet(sets[element.set], c);
        case Kind::Any:
            break;
        }
        return false;
    }

    // Greedy with one point to go back to: the last star. Linear for the
    // usual patterns, at worst the text's length times the pattern's.
    bool matches(QByteArrayView text) const
    {
        const auto *p = reinterpret_cast<const unsigned char *>(text.data());
        const unsigned char *end = p + text.size();
        std::size_t e = 0;
        std::size_t starElement = SIZE_MAX;
        const unsigned char *starText = nullptr;
        while (p < end) {
            if (e < elements.size() && elements[e].kind == Kind::Any) {
                starElement = e++;
                starText = p;
                continue;
            }
            const unsigned char *at = p;
            if (e < elements.size() && matchesOne(elements[e], nextFolded(at, end))) {
                p = at;
                ++e;
                continue;
            }
            if (starElement == SIZE_MAX)
                return false;
            // Let the last star take one more character and try again.
            e = starElement + 1;
            nextFolded(starText, end);
            p = starText;
        }
        while (e < elements.size() && elements[e].kind == Kind::Any)
            ++e;
        return e == elements.size();
    }
};

int collate(void *, int leftBytes, const void *left, int rightBytes, const void *right)
{
    return AccessTextCollation::compare(QByteArrayView(static_cast<const char *>(left), leftBytes),
                                        QByteArrayView(static_cast<const char *>(right), rightBytes));
}

QByteArrayView bytesOf(sqlite3_value *value)
{
    const auto *text = reinterpret_cast<const char *>(sqlite3_value_text(value));
    return QByteArrayView(text, text ? sqlite3_value_bytes(value) : 0);
}

void deletePattern(void *pattern)
{
    delete static_cast<Pattern *>(pattern);
}

// like(pattern, text), as SQLite calls it for "text LIKE pattern".
void likeFunction(sqlite3_context *context, int, sqlite3_value **argv)
{
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    auto *pattern = static_cast<Pattern *>(sqlite3_get_auxdata(context, 0));
    if (!pattern) {
        try {
            pattern = new Pattern(bytesOf(argv[0]));
        } catch (const std::bad_alloc &) {
            sqlite3_result_error_nomem(context);
            return;
        }
        // SQLite keeps it for the next rows while the pattern stays the same,
        // and frees it; after this call the pointer may be gone already.
        sqlite3_set_auxdata(context, 0, pattern, deletePattern);
        pattern = static_cast<Pattern *>(sqlite3_get_auxdata(context, 0));
        if (!pattern) {
            const Pattern once(bytesOf(argv[0]));
            if (!once.valid)
                sqlite3_result_error(context, "Invalid pattern string in Like", -1);
            else
                sqlite3_result_int(context, once.matches(bytesOf(argv[1])) ? 1 : 0);
            return;
        }
    }
    if (!pattern->valid) {
        sqlite3_result_error(context, "Invalid pattern string in Like", -1);
        return;
    }
    sqlite3_result_int(context, pattern->matches(bytesOf(argv[1])) ? 1 : 0);
}

} // namespace

int AccessTextCollation::compare(QByteArrayView left, QByteArrayView right)
{
    const auto *a = reinterpret_cast<const unsigned char *>(left.data());
    const auto *b = reinterpret_cast<const unsigned char *>(right.data());
    const unsigned char *aEnd = a + left.size();
    const unsigned char *bEnd = b + right.size();
    while (a < aEnd && b < bEnd) {
        const char32_t x = nextFolded(a, aEnd);
        const char32_t y = nextFolded(b, bEnd);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return (a < aEnd) - (b < bEnd);
}

bool AccessTextCollation::like(QByteArrayView pattern, QByteArrayView text, bool &valid)
{
    const Pattern compiled(pattern);
    valid = compiled.valid;
    return valid && compiled.matches(text);
}

void AccessTextCollation::install(sqlite3 *db)
{
    if (sqlite3_create_collation_v2(db, name, SQLITE_UTF8, nullptr, collate, nullptr) != SQLITE_OK
        || sqlite3_create_function_v2(db, "like", 2, SQLITE_UTF8 | SQLITE_INNOCUOUS | SQLITE_DETERMINISTIC, nullptr,
                                      likeFunction, nullptr, nullptr, nullptr)
            != SQLITE_OK) {
        throw Failure(QString::fromUtf8(sqlite3_errmsg(db)));
    }
}

} // namespace morvane
