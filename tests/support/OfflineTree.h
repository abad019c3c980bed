// An offline Windows installation made at test time inside a folder to be captured: the
// system folder with System32/config/SOFTWARE and SYSTEM as real hives (made through
// hivex) and System32/kernel32.dll as a real PE file with a version resource (made with
// binutils), plus a few ordinary files.
#pragma once

#include "support/PeFixture.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace offlinefix {

struct Installation {
    // Names on disk; letter case as a real installation spells them.
    QString systemFolder = QStringLiteral("Windows");
    QString system32 = QStringLiteral("System32");
    QString config = QStringLiteral("config");
    QString kernelFile = QStringLiteral("kernel32.dll");

    // SOFTWARE\Microsoft\Windows NT\CurrentVersion
    std::optional<QString> editionId = QStringLiteral("Ultimate");
    std::optional<QString> systemRoot = QStringLiteral("C:\\Windows");
    // SYSTEM\ControlSet001
    std::optional<QString> processorArchitecture = QStringLiteral("AMD64");
    QStringList hardwareIds = {QStringLiteral("acpiapic_up"), QStringLiteral("acpiapic")};
    std::optional<QString> productType = QStringLiteral("WinNT");
    QStringList productSuite = {QStringLiteral("Terminal Server"), QStringLiteral("Personal")};
    bool uiLanguagesKey = true;
    // Subkeys of MUI\UILanguages; an LCID of nullopt leaves the value out.
    std::vector<std::pair<QString, std::optional<std::uint32_t>>> languages = {
        {QStringLiteral("en-US"), 0x409}, {QStringLiteral("zh-CN"), 0x804}};
    std::optional<QString> installLanguage = QStringLiteral("0804");

    // kernel32.dll; nullopt: a file without version resource.
    std::optional<pefix::PeSpec> kernel = pefix::kernelSpec(defaultProductName());

    // Values written after all the others, replacing one of the same name: of any type, for
    // hostile installations (a DWORD where text belongs, control characters).
    struct RawValue {
        QString hive; // "SOFTWARE" or "SYSTEM"
        QString key;  // below the hive's root, e.g. "ControlSet001\\Control\\ProductOptions"
        QString name;
        std::uint32_t type = 1;
        QByteArray bytes;
    };
    std::vector<RawValue> rawValues;

    static QString defaultProductName();
};

// Writes the installation below `capturedFolder` (created as needed) and returns the
// system folder's path. Failures are recorded as GoogleTest failures.
QString buildOfflineTree(const QString& capturedFolder, const Installation& installation = {});

// Hive files alone, for tests that load them directly.
bool writeSoftwareHive(const QString& path, const Installation& installation);
bool writeSystemHive(const QString& path, const Installation& installation);

} // namespace offlinefix
