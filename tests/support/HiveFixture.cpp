#include "support/HiveFixture.h"

#include <QFile>
#include <QStringList>

#include <gtest/gtest.h>
#include <hivex.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace hivefix {

namespace {

constexpr std::size_t kHeaderSize = 0x1000;
constexpr std::size_t kPageSize = 0x1000;

void put16(QByteArray& b, std::size_t at, std::uint16_t v)
{
    b[qsizetype(at)] = char(v & 0xFF);
    b[qsizetype(at + 1)] = char(v >> 8);
}

void put32(QByteArray& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[qsizetype(at + i)] = char((v >> (8 * i)) & 0xFF);
}

std::uint32_t get32(const QByteArray& b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(std::uint8_t(b[qsizetype(at + i)])) << (8 * i);
    return v;
}

} // namespace

void fixHeaderChecksum(QByteArray& hive)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 0x1FC; i += 4)
        sum ^= get32(hive, i);
    put32(hive, 0x1FC, sum);
}

bool writeEmptyHive(const QString& path)
{
    QByteArray hive(qsizetype(kHeaderSize + kPageSize), '\0');
    // Base block.
    std::memcpy(hive.data(), "regf", 4);
    put32(hive, 0x04, 1); // sequence numbers, equal: the hive was written cleanly
    put32(hive, 0x08, 1);
    put32(hive, 0x14, 1);         // major version
    put32(hive, 0x18, 3);         // minor version
    put32(hive, 0x1C, 0);         // primary file
    put32(hive, 0x20, 1);         // direct memory load format
    put32(hive, 0x24, 0x20);      // root cell, relative to the first hbin
    put32(hive, 0x28, kPageSize); // size of the hbin data
    put32(hive, 0x2C, 1);         // clustering factor
    fixHeaderChecksum(hive);

    // One hbin page.
    const std::size_t page = kHeaderSize;
    std::memcpy(hive.data() + page, "hbin", 4);
    put32(hive, page + 4, 0); // its offset from the first hbin
    put32(hive, page + 8, kPageSize);

    // Root key cell ("nk"): 80 bytes of record and the name, used (negative size).
    const std::size_t nk = page + 0x20;
    const char rootName[] = "ROOT";
    const std::size_t nkSize = 88;
    const std::size_t sk = nk + nkSize;
    put32(hive, nk, std::uint32_t(-std::int32_t(nkSize)));
    std::memcpy(hive.data() + nk + 4, "nk", 2);
    put16(hive, nk + 6, 0x2C);                      // root, no delete, compressed (Latin-1) name
    put32(hive, nk + 20, 0);                        // parent
    put32(hive, nk + 32, 0xFFFFFFFF);               // subkey list
    put32(hive, nk + 36, 0xFFFFFFFF);               // volatile subkey list
    put32(hive, nk + 44, 0xFFFFFFFF);               // value list
    put32(hive, nk + 48, std::uint32_t(sk - page)); // security cell
    put32(hive, nk + 52, 0xFFFFFFFF);               // class name
    put16(hive, nk + 76, sizeof rootName - 1);
    std::memcpy(hive.data() + nk + 80, rootName, sizeof rootName - 1);

    // Security cell ("sk"): a list of one, referenced once, holding a minimal self-relative
    // security descriptor (revision 1, no owner, group or lists).
    const std::size_t skSize = 48;
    put32(hive, sk, std::uint32_t(-std::int32_t(skSize)));
    std::memcpy(hive.data() + sk + 4, "sk", 2);
    put32(hive, sk + 8, std::uint32_t(sk - page));  // next
    put32(hive, sk + 12, std::uint32_t(sk - page)); // previous
    put32(hive, sk + 16, 1);                        // reference count
    put32(hive, sk + 20, 20);                       // descriptor size
    hive[qsizetype(sk + 24)] = 1;                   // revision
    put16(hive, sk + 26, 0x8000);                   // self-relative

    // The rest of the page is one free cell.
    const std::size_t freeCell = sk + skSize;
    put32(hive, freeCell, std::uint32_t(page + kPageSize - freeCell));

    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(hive) == hive.size();
}

QByteArray utf16Bytes(const QString& text, int terminators)
{
    QByteArray bytes;
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    bytes.append(QByteArray(2 * terminators, '\0'));
    return bytes;
}

HiveWriter::HiveWriter(const QString& path, bool existing) : path_(path)
{
    if (!existing && !writeEmptyHive(path)) {
        ADD_FAILURE() << "cannot write " << path.toStdString();
        return;
    }
    hive_ = hivex_open(QFile::encodeName(path).constData(), HIVEX_OPEN_WRITE);
    if (!hive_)
        ADD_FAILURE() << "hivex cannot open the empty hive: " << std::strerror(errno);
}

HiveWriter::~HiveWriter()
{
    if (hive_)
        hivex_close(hive_);
}

std::size_t HiveWriter::node(const QString& keyPath)
{
    if (!hive_)
        return 0;
    hive_node_h current = hivex_root(hive_);
    for (const QString& part : keyPath.split(u'\\', Qt::SkipEmptyParts)) {
        const QByteArray name = part.toUtf8();
        hive_node_h child = hivex_node_get_child(hive_, current, name.constData());
        if (!child)
            child = hivex_node_add_child(hive_, current, name.constData());
        if (!child) {
            ADD_FAILURE() << "cannot add key " << keyPath.toStdString() << ": "
                          << std::strerror(errno);
            return 0;
        }
        current = child;
    }
    return current;
}

void HiveWriter::addKey(const QString& keyPath)
{
    node(keyPath);
}

void HiveWriter::setRaw(const QString& keyPath, const QString& name, std::uint32_t type,
                        const QByteArray& bytes)
{
    const hive_node_h key = node(keyPath);
    if (!key)
        return;
    QByteArray valueName = name.toUtf8();
    QByteArray data = bytes;
    hive_set_value value{};
    value.key = valueName.data();
    value.t = static_cast<hive_type>(type);
    value.len = static_cast<std::size_t>(data.size());
    value.value = data.data();
    if (hivex_node_set_value(hive_, key, &value, 0) != 0)
        ADD_FAILURE() << "cannot set " << keyPath.toStdString() << "\\" << name.toStdString()
                      << ": " << std::strerror(errno);
}

void HiveWriter::setAllRaw(const QString& keyPath, std::uint32_t type,
                           const std::vector<std::pair<QString, QByteArray>>& values)
{
    const hive_node_h key = node(keyPath);
    if (!key)
        return;
    std::vector<QByteArray> names;
    std::vector<QByteArray> data;
    std::vector<hive_set_value> set(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        names.push_back(values[i].first.toUtf8());
        data.push_back(values[i].second);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        set[i].key = names[i].data();
        set[i].t = static_cast<hive_type>(type);
        set[i].len = static_cast<std::size_t>(data[i].size());
        set[i].value = data[i].data();
    }
    if (hivex_node_set_values(hive_, key, set.size(), set.data(), 0) != 0)
        ADD_FAILURE() << "cannot set the values of " << keyPath.toStdString() << ": "
                      << std::strerror(errno);
}

void HiveWriter::setString(const QString& keyPath, const QString& name, const QString& text,
                           std::uint32_t type)
{
    setRaw(keyPath, name, type, utf16Bytes(text));
}

void HiveWriter::setMultiString(const QString& keyPath, const QString& name,
                                const QStringList& texts)
{
    QByteArray bytes;
    for (const QString& text : texts)
        bytes.append(utf16Bytes(text));
    bytes.append(QByteArray(2, '\0'));
    setRaw(keyPath, name, 7, bytes);
}

void HiveWriter::setDword(const QString& keyPath, const QString& name, std::uint32_t value)
{
    QByteArray bytes(4, '\0');
    put32(bytes, 0, value);
    setRaw(keyPath, name, 4, bytes);
}

bool HiveWriter::commit()
{
    if (!hive_)
        return false;
    if (hivex_commit(hive_, QFile::encodeName(path_).constData(), 0) != 0) {
        ADD_FAILURE() << "hivex cannot write " << path_.toStdString() << ": "
                      << std::strerror(errno);
        return false;
    }
    return true;
}

HiveLayout hiveLayout(const QByteArray& hive)
{
    HiveLayout layout;
    if (hive.size() < qsizetype(kHeaderSize + 0x60))
        return layout;
    layout.rootCell = kHeaderSize + get32(hive, 0x24);
    layout.rootSubkeyListField = layout.rootCell + 32;
    return layout;
}

} // namespace hivefix
