// Reading the installation's description from its loaded hives and Kernel32.dll, and
// writing it into the image's XML information.

#include "offline/OfflineWindows.h"

#include "meta/ImageInfo.h"
#include "platform/Kernel.h"
#include "platform/Registry.h"
#include "platform/VersionInfo.h"

#include <memory>
#include <optional>
#include <vector>

namespace {

const QString kCurrentVersion =
    QStringLiteral("OFL_SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
const QString kControlSet = QStringLiteral("OFL_SYSTEM\\ControlSet001");
const QString kUiLanguages = kControlSet + QStringLiteral("\\Control\\MUI\\UILanguages");

QString upperCased(QString text)
{
    if (!text.isEmpty())
        CharUpperBuffW(reinterpret_cast<LPWSTR>(text.data()), static_cast<DWORD>(text.size()));
    return text;
}

int hexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// "%x": leading white space, an optional 0x before a digit, then hexadecimal digits up to
// the first other character. No digits (or a value beyond 32 bits) gives no number.
std::optional<std::uint32_t> parseHex(const QString& text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    if (i + 2 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
        hexDigit(text[i + 2]) >= 0)
        i += 2;
    std::uint64_t value = 0;
    qsizetype digits = 0;
    for (; i < text.size() && hexDigit(text[i]) >= 0; ++i, ++digits) {
        value = value * 16 + static_cast<unsigned>(hexDigit(text[i]));
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    if (digits == 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::vector<BYTE>> versionBlock(const QString& filePath)
{
    const DWORD size = GetFileVersionInfoSizeW(wide(filePath), nullptr);
    if (size == 0)
        return std::nullopt;
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(wide(filePath), 0, size, block.data()))
        return std::nullopt;
    return block;
}

QString decimal(unsigned value)
{
    return QString::number(value);
}

std::unique_ptr<XmlNode> textElement(const QString& name, const QString& text)
{
    auto element = std::make_unique<XmlNode>(name);
    element->setText(text);
    return element;
}

} // namespace

void ReadLanguages(WindowsDescriptor& descriptor)
{
    HKEY list = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(kUiLanguages), 0, KEY_ENUMERATE_SUB_KEYS, &list) !=
        ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        WCHAR name[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(list, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        LanguageEntry entry;
        entry.languageName = QString::fromUtf16(name, length);
        HKEY language = nullptr;
        const QString path = kUiLanguages + u'\\' + entry.languageName;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path), 0, KEY_QUERY_VALUE, &language) ==
            ERROR_SUCCESS) {
            DWORD size = sizeof entry.lcid;
            RegQueryValueExW(language, u"LCID", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&entry.lcid), &size);
            RegCloseKey(language);
        }
        descriptor.languages.push_back(entry);
    }
    RegCloseKey(list);

    if (descriptor.languages.empty())
        return;
    QString installLanguage;
    ReadRegistryString(kControlSet + QStringLiteral("\\Control\\Nls\\Language"),
                       QStringLiteral("InstallLanguage"), installLanguage);
    const std::optional<std::uint32_t> lcid = parseHex(installLanguage);
    if (!lcid)
        return;
    for (const LanguageEntry& entry : descriptor.languages) {
        if (entry.lcid == *lcid) {
            descriptor.defaultLanguage = entry.languageName;
            return;
        }
    }
}

bool ReadVersionString(const QString& filePath, QString& text)
{
    const auto block = versionBlock(filePath);
    if (!block)
        return false;

    QString digits = QStringLiteral("04090000");
    void* translation = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block->data(), u"\\VarFileInfo\\Translation", &translation, &length) &&
        length >= 4) {
        const auto* pair = static_cast<const BYTE*>(translation);
        const unsigned language = pair[0] | (pair[1] << 8);
        const unsigned codePage = pair[2] | (pair[3] << 8);
        digits = QStringLiteral("%1%2")
                     .arg(language, 4, 16, QLatin1Char('0'))
                     .arg(codePage, 4, 16, QLatin1Char('0'))
                     .toUpper();
    }
    const QString query =
        QStringLiteral("\\StringFileInfo\\") + digits + QStringLiteral("\\ProductName");
    void* value = nullptr;
    if (!VerQueryValueW(block->data(), wide(query), &value, &length)) {
        text.clear();
        return false;
    }
    // The string may lack its terminator; take at most `length` characters.
    const auto* chars = static_cast<const char16_t*>(value);
    qsizetype count = 0;
    while (count < static_cast<qsizetype>(length) && chars[count] != 0)
        ++count;
    text = QString::fromUtf16(chars, count);
    return true;
}

bool ReadFileVersion(const QString& filePath, QString& major, QString& minor, QString& build,
                     QString& spBuild)
{
    const auto block = versionBlock(filePath);
    if (!block)
        return false;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block->data(), u"\\", &value, &length)) {
        major = minor = build = spBuild = QStringLiteral("0");
        return false;
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    major = decimal(info->dwFileVersionMS >> 16);
    minor = decimal(info->dwFileVersionMS & 0xFFFF);
    build = decimal(info->dwFileVersionLS >> 16);
    spBuild = decimal(info->dwFileVersionLS & 0xFFFF);
    return true;
}

void ReadWindowsDescriptor(WindowsDescriptor& descriptor, const QString& kernelPath)
{
    ReadRegistryString(kCurrentVersion, QStringLiteral("EditionID"), descriptor.editionId);
    descriptor.editionId = upperCased(descriptor.editionId);

    QString architecture;
    ReadRegistryString(kControlSet + QStringLiteral("\\Control\\Session Manager\\Environment"),
                       QStringLiteral("PROCESSOR_ARCHITECTURE"), architecture);
    if (architecture.compare(u"AMD64", Qt::CaseInsensitive) == 0)
        descriptor.arch = QStringLiteral("9");
    else if (architecture.compare(u"IA64", Qt::CaseInsensitive) == 0)
        descriptor.arch = QStringLiteral("6");
    else
        descriptor.arch = QStringLiteral("0");

    ReadVersionString(kernelPath, descriptor.productName);
    ReadRegistryString(kControlSet + QStringLiteral("\\Enum\\Root\\ACPI_HAL\\0000"),
                       QStringLiteral("HardwareID"), descriptor.hal);
    const QString productOptions = kControlSet + QStringLiteral("\\Control\\ProductOptions");
    ReadRegistryString(productOptions, QStringLiteral("ProductType"), descriptor.productType);
    ReadRegistryString(productOptions, QStringLiteral("ProductSuite"), descriptor.productSuite);
    ReadLanguages(descriptor);
    ReadFileVersion(kernelPath, descriptor.major, descriptor.minor, descriptor.build,
                    descriptor.spBuild);

    ReadRegistryString(kCurrentVersion, QStringLiteral("SystemRoot"), descriptor.systemRoot);
    if (descriptor.systemRoot.size() > 3)
        descriptor.systemRoot.remove(0, 3); // drive letter, colon, backslash
    descriptor.systemRoot = upperCased(descriptor.systemRoot);

    // A value holding a character XML cannot carry (a DWORD read as text gives a control
    // character) could not be stored in the image information; it counts as unreadable.
    for (QString* field :
         {&descriptor.editionId, &descriptor.productName, &descriptor.hal, &descriptor.productType,
          &descriptor.productSuite, &descriptor.defaultLanguage, &descriptor.systemRoot}) {
        if (!isXmlText(*field))
            field->clear();
    }
    for (LanguageEntry& entry : descriptor.languages) {
        if (!isXmlText(entry.languageName))
            entry.languageName.clear();
    }
}

void WriteWindowsElement(const XmlErrorReport& onXmlError, HANDLE image,
                         const WindowsDescriptor& descriptor)
{
    std::unique_ptr<XmlDocument> document = image ? loadInfoXml(image) : nullptr;
    if (!document) {
        if (onXmlError)
            onXmlError();
        return;
    }
    XmlNode& root = document->root();
    if (!root.findChild(u"WINDOWS")) {
        XmlNode* windows = root.prependChild(std::make_unique<XmlNode>(QStringLiteral("WINDOWS")));
        windows->appendChild(textElement(QStringLiteral("ARCH"), descriptor.arch));
        windows->appendChild(textElement(QStringLiteral("PRODUCTNAME"), descriptor.productName));
        windows->appendChild(textElement(QStringLiteral("HAL"), descriptor.hal));
        windows->appendChild(textElement(QStringLiteral("PRODUCTTYPE"), descriptor.productType));
        windows->appendChild(textElement(QStringLiteral("PRODUCTSUITE"), descriptor.productSuite));
        if (!descriptor.languages.empty()) {
            XmlNode* languages =
                windows->appendChild(std::make_unique<XmlNode>(QStringLiteral("LANGUAGES")));
            for (const LanguageEntry& entry : descriptor.languages)
                languages->appendChild(textElement(QStringLiteral("LANGUAGE"), entry.languageName));
            languages->appendChild(
                textElement(QStringLiteral("DEFAULT"), descriptor.defaultLanguage));
        }
        XmlNode* version =
            windows->appendChild(std::make_unique<XmlNode>(QStringLiteral("VERSION")));
        version->appendChild(textElement(QStringLiteral("MAJOR"), descriptor.major));
        version->appendChild(textElement(QStringLiteral("MINOR"), descriptor.minor));
        version->appendChild(textElement(QStringLiteral("BUILD"), descriptor.build));
        version->appendChild(textElement(QStringLiteral("SPBUILD"), descriptor.spBuild));
        windows->appendChild(textElement(QStringLiteral("SYSTEMROOT"), descriptor.systemRoot));
    }
    if (!root.findChild(u"FLAGS") && !descriptor.editionId.isEmpty())
        root.prependChild(textElement(QStringLiteral("FLAGS"), descriptor.editionId));
    storeInfoXml(image, *document);
}
