// TextBefore and TextAfter against the plainest reference: a search one
// position at a time.
#include "FuzzText.h"
#include "mdlMain.h"

using namespace morvane;

namespace {

qsizetype plainFind(QStringView text, QStringView part)
{
    for (qsizetype at = 0; at + part.size() <= text.size(); ++at) {
        if (text.sliced(at, part.size()) == part)
            return at;
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte splits the rest into the text and the delimiter.
    const QString all = fuzz::utf16Of(data + 1, size - 1);
    const qsizetype split = qMin<qsizetype>(data[0] % 16, all.size());
    const QStringView delimiter = QStringView(all).first(split);
    const QStringView text = QStringView(all).sliced(split);

    const qsizetype at = plainFind(text, delimiter);
    const QStringView before = at < 0 ? text : text.first(at);
    const QStringView after = at < 0 ? QStringView() : text.sliced(at + delimiter.size());
    if (TextBefore(text, delimiter) != before)
        fuzz::fail("TextBefore differs from the reference");
    if (TextAfter(text, delimiter) != after)
        fuzz::fail("TextAfter differs from the reference");
    if (TrimSpaces(text) != QStringView(text.toString().trimmed()) && !text.contains(u'\t') && !text.contains(u'\n')
        && !text.contains(u'\r') && !text.contains(u'\v') && !text.contains(u'\f')) {
        // trimmed() takes more than spaces; only texts of plain spaces compare.
        bool onlySpacesAsWhite = true;
        for (const QChar c : text)
            onlySpacesAsWhite = onlySpacesAsWhite && (c == u' ' || !c.isSpace());
        if (onlySpacesAsWhite)
            fuzz::fail("TrimSpaces differs from the reference");
    }
    return 0;
}
