#include "meta/ImageInfo.h"

#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <limits>

bool loadInfoText(HANDLE handle, QString& text)
{
    PVOID buffer = nullptr;
    DWORD bytes = 0;
    if (!WIMGetImageInformation(handle, &buffer, &bytes))
        return false;
    // Whole code units only, and only up to the first NUL.
    const auto* units = static_cast<const char16_t*>(buffer);
    const qsizetype available = buffer ? bytes / 2 : 0;
    qsizetype length = 0;
    while (length < available && units[length] != 0)
        ++length;
    // Raw copy: QString::fromUtf16 would drop the leading byte order mark.
    text = QString(reinterpret_cast<const QChar*>(units), length);
    LocalFree(buffer);
    return true;
}

std::unique_ptr<XmlDocument> loadInfoXml(HANDLE handle)
{
    QString text;
    if (!loadInfoText(handle, text))
        return nullptr;
    auto document = std::make_unique<XmlDocument>();
    if (!document->parse(text))
        return nullptr;
    return document;
}

bool storeInfoXml(HANDLE image, const XmlDocument& document)
{
    if (!image) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    QString text;
    if (!document.serialize(text)) {
        // The library would refuse it as well; nothing is handed over.
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    const DWORD bytes = static_cast<DWORD>(text.size() * 2);
    return WIMSetImageInformation(image, text.data(), bytes) != FALSE;
}

std::int64_t decimalValue(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && (text[i] == u' ' || (text[i] >= u'\t' && text[i] <= u'\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    constexpr std::uint64_t limit = std::numeric_limits<std::int64_t>::max();
    std::uint64_t value = 0;
    // Saturates at limit + 1, the magnitude of the smallest negative value.
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const unsigned digit = text[i].unicode() - u'0';
        value = value > (limit + 1 - digit) / 10 ? limit + 1 : value * 10 + digit;
    }
    if (negative)
        return value > limit ? std::numeric_limits<std::int64_t>::min()
                             : -static_cast<std::int64_t>(value);
    return value > limit ? std::numeric_limits<std::int64_t>::max()
                         : static_cast<std::int64_t>(value);
}

namespace
{

std::int32_t decimalValue32(QStringView text)
{
    const std::int64_t value = decimalValue(text);
    if (value > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

QString childText(const XmlNode& root, QStringView name)
{
    const XmlNode* child = root.findChild(name);
    return child ? child->text() : QString();
}

void reportXmlError(const XmlErrorReport& onXmlError)
{
    if (onXmlError)
        onXmlError();
}

} // namespace

bool readImageInfo(HANDLE image, ImageInfo& info, const XmlErrorReport& onXmlError)
{
    info = ImageInfo{};
    std::unique_ptr<XmlDocument> document = image ? loadInfoXml(image) : nullptr;
    if (!document) {
        reportXmlError(onXmlError);
        return false;
    }
    const XmlNode& root = document->root();
    info.fileCount = decimalValue32(childText(root, u"FILECOUNT"));
    info.dirCount = decimalValue32(childText(root, u"DIRCOUNT"));
    info.totalBytes = decimalValue(childText(root, u"TOTALBYTES"));
    info.name = childText(root, u"NAME");
    info.description = childText(root, u"DESCRIPTION");
    info.displayName = childText(root, u"DISPLAYNAME");
    info.displayDescription = childText(root, u"DISPLAYDESCRIPTION");
    info.flags = childText(root, u"FLAGS");
    return true;
}

InfoStoreResult setImageElement(HANDLE image, QStringView elementName, const QString& text,
                                const XmlErrorReport& onXmlError)
{
    std::unique_ptr<XmlDocument> document = image ? loadInfoXml(image) : nullptr;
    if (!document) {
        reportXmlError(onXmlError);
        return InfoStoreResult::XmlUnreadable;
    }
    XmlNode& root = document->root();
    XmlNode* element = root.findChild(elementName);
    if (!element)
        element = root.appendChild(std::make_unique<XmlNode>(elementName.toString()));
    element->setText(text);
    return storeInfoXml(image, *document) ? InfoStoreResult::Stored : InfoStoreResult::StoreFailed;
}
