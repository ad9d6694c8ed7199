// The outline scan over any text: it must not crash, and every name it
// reports is a piece of the lower-cased statement.
#include "FuzzText.h"
#include "Outline.h"

using namespace morvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = fuzz::utf16Of(data, size);
    const Outline outline = ParseOutline(text);
    const QString lowered = text.toLower();
    for (const QString &field : outline.fields) {
        if (!lowered.contains(field))
            fuzz::fail("a field name that is not in the statement");
    }
    for (const OutlineItem &item : outline.items) {
        if (!item.bold && !lowered.contains(item.text))
            fuzz::fail("an outline line that is not in the statement");
    }
    if (!outline.items.isEmpty() && !lowered.contains(u"select"))
        fuzz::fail("an outline for a text without select");
    return 0;
}
