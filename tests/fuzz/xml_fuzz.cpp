// Feeds arbitrary bytes, read as UTF-16 code units, to the XML parser. Whatever the parser
// accepts (unless it holds a character XML cannot carry, which is never serialized) must
// serialize to text it accepts again, and a second round must change nothing
// (the first round may still drop leading white space that a character reference produced).
#include "meta/XmlDocument.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t units = size / 2;
    // An exact-size copy, so a read past the end of the text is reported.
    auto text = std::make_unique<char16_t[]>(units);
    std::memcpy(text.get(), data, units * 2);

    XmlDocument document;
    if (!document.parse(QStringView(text.get(), static_cast<qsizetype>(units))))
        return 0;
    QString first;
    if (!document.serialize(first))
        return 0; // the input held a character XML cannot carry
    XmlDocument reread;
    if (!reread.parse(first))
        std::abort();
    const QString second = reread.serialize();
    XmlDocument third;
    if (!third.parse(second) || third.serialize() != second)
        std::abort();
    return 0;
}
