// Registry hive files made at test time: an empty REGF hive written byte by byte (header,
// one hbin page with the root key and its security cell), then filled through hivex's
// write API with keys and values of any type.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct hive_h;

namespace hivefix {

// Writes an empty hive: a root key "ROOT" with no subkeys and no values, and the security
// cell that hivex needs before it adds keys below the root. Returns false when the file
// cannot be written.
bool writeEmptyHive(const QString& path);

// Builds a hive file: starts from writeEmptyHive, adds keys and values through hivex, and
// writes the result with commit(). Key paths are split at backslashes; missing keys are
// created. Failures are recorded as GoogleTest failures.
class HiveWriter {
public:
    // Starts from an empty hive at `path`, or with `existing` from the hive already there.
    explicit HiveWriter(const QString& path, bool existing = false);
    ~HiveWriter();
    HiveWriter(const HiveWriter&) = delete;
    HiveWriter& operator=(const HiveWriter&) = delete;

    void addKey(const QString& keyPath);
    // REG_SZ or REG_EXPAND_SZ: UTF-16LE text with its terminator.
    void setString(const QString& keyPath, const QString& name, const QString& text,
                   std::uint32_t type = 1);
    // REG_MULTI_SZ: each string terminated, then one more terminator.
    void setMultiString(const QString& keyPath, const QString& name, const QStringList& texts);
    void setDword(const QString& keyPath, const QString& name, std::uint32_t value);
    // Any type with exactly these bytes.
    void setRaw(const QString& keyPath, const QString& name, std::uint32_t type,
                const QByteArray& bytes);
    // Replaces every value of the key by these (one write, where setRaw rewrites the key's
    // values once per call).
    void setAllRaw(const QString& keyPath, std::uint32_t type,
                   const std::vector<std::pair<QString, QByteArray>>& values);
    bool commit();

private:
    std::size_t node(const QString& keyPath);

    QString path_;
    hive_h* hive_ = nullptr;
};

// UTF-16LE bytes of text, plus `terminators` NUL characters.
QByteArray utf16Bytes(const QString& text, int terminators = 1);

// File offsets inside a hive file made by HiveWriter, for tests that damage it on purpose.
// The root key cell's offset (from the header) and its subkey-list field.
struct HiveLayout {
    std::size_t rootCell = 0;            // file offset of the root nk cell
    std::size_t rootSubkeyListField = 0; // file offset of the root's subkey-list offset field
};
HiveLayout hiveLayout(const QByteArray& hive);
// Recomputes the header checksum after the header was changed.
void fixHeaderChecksum(QByteArray& hive);

} // namespace hivefix
