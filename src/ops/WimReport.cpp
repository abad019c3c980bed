#include "ops/WimReport.h"

#include "meta/ImageInfo.h"
#include "ops/Text.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <vector>

namespace {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal, as the platform writes
// a GUID.
QString guidText(const GUID& guid)
{
    return QString::asprintf("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1,
                             guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                             guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                             guid.Data4[7]);
}

QString compressionText(DWORD type)
{
    switch (type) {
    case WIM_COMPRESS_NONE:
        return QStringLiteral("None\r\n");
    case WIM_COMPRESS_XPRESS:
        return QStringLiteral("XPRESS\r\n");
    case WIM_COMPRESS_LZX:
        return QStringLiteral("LZX\r\n");
    case WIM_COMPRESS_LZMS:
        return QStringLiteral("LZMS\r\n");
    default:
        return QString(); // the next line continues on this one
    }
}

} // namespace

QString reportSizeText(std::int64_t totalBytes)
{
    // Printed as 64-bit values: a 32-bit print would wrap above 2 PiB.
    if (totalBytes < 1024)
        return QString::asprintf("%lld Bytes\r\n", static_cast<long long>(totalBytes));
    if (totalBytes < 1048576)
        return QString::asprintf("%lld KB\r\n", static_cast<long long>(totalBytes / 1024));
    return QString::asprintf("%lld MB\r\n", static_cast<long long>(totalBytes / 1048576));
}

namespace {

// The header block: identifier, counts, compression, part number, boot image and attributes.
QString headerSection(const WIM_INFO& info)
{
    QString report = loadString(Text::ReportHeading);
    report += QStringLiteral("GUID:\t\t") + guidText(info.Guid) + QStringLiteral("\r\n");
    report += formatMessage(Text::ReportImageCount, {std::int64_t(std::int32_t(info.ImageCount))});
    report += loadString(Text::ReportCompression) + compressionText(info.CompressionType);
    report += formatMessage(Text::ReportPartNumber,
                            {std::int64_t(info.PartNumber), std::int64_t(info.TotalParts)});
    if (info.BootIndex != 0)
        report +=
            formatMessage(Text::ReportBootIndex, {std::int64_t(std::int32_t(info.BootIndex))});
    report += formatMessage(Text::ReportAttributes, {std::int64_t(info.WimAttributes)});
    static const struct {
        DWORD bit;
        const char16_t* text;
    } attributeNames[] = {
        {WIM_ATTRIBUTE_RESOURCE_ONLY, u"\t\tRESOURCE_ONLY\r\n"},
        {WIM_ATTRIBUTE_METADATA_ONLY, u"\t\tMETADATA_ONLY\r\n"},
        {WIM_ATTRIBUTE_VERIFY_DATA, u"\t\tVERIFY_DATA\r\n"},
        {WIM_ATTRIBUTE_RP_FIX, u"\t\tRP_FIX\r\n"},
        {WIM_ATTRIBUTE_SPANNED, u"\t\tSPANNED\r\n"},
        {WIM_ATTRIBUTE_READONLY, u"\t\tREADONLY\r\n"},
        {WIM_ATTRIBUTE_SOLID, u"\t\tSOLID\r\n"},
    };
    for (const auto& attribute : attributeNames) {
        if (info.WimAttributes & attribute.bit)
            report += QString::fromUtf16(attribute.text);
    }
    return report;
}

// One image's section: its heading, then (when it loads) its texts, counts and size.
QString imageSection(HANDLE wim, DWORD index, const std::function<void()>& onXmlError)
{
    QString report = QStringLiteral("\r\n");
    report += formatMessage(Text::ReportImageHeading, {std::int64_t(std::int32_t(index))});
    const HANDLE image = WIMLoadImage(wim, index);
    if (!image)
        return report;
    const UniqueWimHandle imageCloser(image);
    ImageInfo imageInfo;
    readImageInfo(image, imageInfo, onXmlError);
    if (!imageInfo.name.isEmpty())
        report += formatMessage(Text::ReportName, {imageInfo.name});
    if (!imageInfo.description.isEmpty())
        report += formatMessage(Text::ReportDescription, {imageInfo.description});
    if (!imageInfo.flags.isEmpty())
        report += formatMessage(Text::ReportFlags, {imageInfo.flags});
    report += formatMessage(Text::ReportFileCount, {std::int64_t(imageInfo.fileCount)});
    report += formatMessage(Text::ReportFolderCount, {std::int64_t(imageInfo.dirCount)});
    report += loadString(Text::ReportExpandedSize) + reportSizeText(imageInfo.totalBytes);
    return report;
}

} // namespace

QString buildWimReport(const QString& path, const std::function<void()>& onXmlError, bool* opened)
{
    if (opened)
        *opened = false;
    const QString tempPath = tempFolderPath();

    DWORD creationResult = 0;
    const HANDLE wim = WIMCreateFile(wide(path), WIM_GENERIC_READ, WIM_OPEN_EXISTING, 0,
                                     WIM_COMPRESS_NONE, &creationResult);
    if (!wim)
        return loadString(Text::OpenWimFailed);
    const UniqueWimHandle wimCloser(wim);

    WIM_INFO info{};
    if (!WIMGetAttributes(wim, &info, sizeof info))
        return loadString(Text::WimAttributesFailed);
    if (!WIMSetTemporaryPath(wim, wide(tempPath)))
        return loadString(Text::TempFolderUnusable);

    if (opened)
        *opened = true;
    QString report = headerSection(info);
    for (DWORD index = 1; index <= info.ImageCount; ++index)
        report += imageSection(wim, index, onXmlError);

    QString xml;
    if (loadInfoText(wim, xml)) {
        report += QStringLiteral("\r\n\r\n");
        report += loadString(Text::ReportXmlHeading);
        report += xml;
    }
    return report;
}
