#include "support/OfflineTree.h"

#include "support/HiveFixture.h"
#include "support/TempDir.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace offlinefix {

namespace {

void writeRawValues(hivefix::HiveWriter& hive, const Installation& i, const QString& which)
{
    for (const Installation::RawValue& value : i.rawValues) {
        if (value.hive == which)
            hive.setRaw(value.key, value.name, value.type, value.bytes);
    }
}

} // namespace

QString Installation::defaultProductName()
{
    return QStringLiteral("Microsoft® Windows® 操作系统");
}

bool writeSoftwareHive(const QString& path, const Installation& i)
{
    hivefix::HiveWriter hive(path);
    const QString currentVersion = QStringLiteral("Microsoft\\Windows NT\\CurrentVersion");
    hive.addKey(currentVersion);
    if (i.editionId)
        hive.setString(currentVersion, QStringLiteral("EditionID"), *i.editionId);
    if (i.systemRoot)
        hive.setString(currentVersion, QStringLiteral("SystemRoot"), *i.systemRoot);
    hive.setString(currentVersion, QStringLiteral("ProductName"),
                   QStringLiteral("Windows 7 Ultimate"));
    hive.setString(currentVersion, QStringLiteral("CurrentVersion"), QStringLiteral("6.1"));
    writeRawValues(hive, i, QStringLiteral("SOFTWARE"));
    return hive.commit();
}

bool writeSystemHive(const QString& path, const Installation& i)
{
    hivefix::HiveWriter hive(path);
    const QString set = QStringLiteral("ControlSet001");
    hive.addKey(QStringLiteral("Select"));
    hive.setDword(QStringLiteral("Select"), QStringLiteral("Current"), 1);
    const QString environment = set + QStringLiteral("\\Control\\Session Manager\\Environment");
    hive.addKey(environment);
    if (i.processorArchitecture)
        hive.setString(environment, QStringLiteral("PROCESSOR_ARCHITECTURE"),
                       *i.processorArchitecture);
    hive.setString(environment, QStringLiteral("Path"),
                   QStringLiteral("%SystemRoot%\\system32;%SystemRoot%"), 2);
    const QString hal = set + QStringLiteral("\\Enum\\Root\\ACPI_HAL\\0000");
    hive.addKey(hal);
    if (!i.hardwareIds.isEmpty())
        hive.setMultiString(hal, QStringLiteral("HardwareID"), i.hardwareIds);
    const QString options = set + QStringLiteral("\\Control\\ProductOptions");
    hive.addKey(options);
    if (i.productType)
        hive.setString(options, QStringLiteral("ProductType"), *i.productType);
    if (!i.productSuite.isEmpty())
        hive.setMultiString(options, QStringLiteral("ProductSuite"), i.productSuite);
    if (i.uiLanguagesKey) {
        const QString list = set + QStringLiteral("\\Control\\MUI\\UILanguages");
        hive.addKey(list);
        for (const auto& [name, lcid] : i.languages) {
            hive.addKey(list + u'\\' + name);
            if (lcid)
                hive.setDword(list + u'\\' + name, QStringLiteral("LCID"), *lcid);
            hive.setRaw(list + u'\\' + name, QStringLiteral("Type"), 4, QByteArray(4, '\x92'));
        }
    }
    const QString nls = set + QStringLiteral("\\Control\\Nls\\Language");
    hive.addKey(nls);
    if (i.installLanguage)
        hive.setString(nls, QStringLiteral("InstallLanguage"), *i.installLanguage);
    writeRawValues(hive, i, QStringLiteral("SYSTEM"));
    return hive.commit();
}

QString buildOfflineTree(const QString& capturedFolder, const Installation& i)
{
    const QString root = capturedFolder + u'/' + i.systemFolder;
    const QString system32 = root + u'/' + i.system32;
    const QString config = system32 + u'/' + i.config;
    EXPECT_TRUE(QDir().mkpath(config));
    EXPECT_TRUE(writeSoftwareHive(config + QStringLiteral("/SOFTWARE"), i));
    EXPECT_TRUE(writeSystemHive(config + QStringLiteral("/SYSTEM"), i));

    const QString kernel = system32 + u'/' + i.kernelFile;
    if (i.kernel) {
        QString error;
        EXPECT_TRUE(pefix::buildPeFile(kernel, *i.kernel, &error)) << error.toStdString();
    } else {
        QFile file(kernel);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("MZ not really a program");
    }

    // Some ordinary content, so a capture has more than the three files.
    auto write = [](const QString& path, const QByteArray& bytes) {
        QDir().mkpath(path.section(u'/', 0, -2));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    write(system32 + QStringLiteral("/drivers/etc/hosts"), "127.0.0.1 localhost\r\n");
    write(root + QStringLiteral("/win.ini"), "; for 16-bit app support\r\n");
    write(capturedFolder + QStringLiteral("/Users/Public/desktop.ini"), "[.ShellClassInfo]\r\n");
    return root;
}

} // namespace offlinefix
