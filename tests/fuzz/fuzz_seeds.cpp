// Writes the seed inputs of the fuzz targets into DIR/<target>/ with the fixtures' own code:
// WIM files written by libwim, a registry hive by HiveWriter, DLLs with a version resource
// by the Windows binutils, and XML texts as UTF-16LE. The configuration target's seeds are
// the pattern cases in tests/config/cases. Every seed is a few kilobytes at most.
// Usage: fuzz_seeds DIR. Exits 1 when a seed cannot be made.
#include "platform/Imaging.h"
#include "support/HiveFixture.h"
#include "support/PeFixture.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool failed = false;

void fail(const QString& what)
{
    std::fprintf(stderr, "fuzz_seeds: %s\n", qPrintable(what));
    failed = true;
}

// Writes out/target/name.
void writeSeed(const QString& out, const char* target, const QString& name, const QByteArray& bytes)
{
    const QString dir = out + QLatin1Char('/') + QLatin1String(target);
    QDir().mkpath(dir);
    QFile file(dir + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fail(QStringLiteral("cannot write %1").arg(file.fileName()));
}

QByteArray utf16le(const QString& text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
}

// Texts shaped like the information a WIM file holds: whole files, one image's element,
// and the XML features the parser handles (declaration, comments, references, attributes,
// empty elements).
const QString kXmlTexts[] = {
    QStringLiteral("<WIM><TOTALBYTES>1234</TOTALBYTES><IMAGE INDEX=\"1\"><NAME>映像</NAME>"
                   "<DESCRIPTION>d &amp; &#x4E2D;</DESCRIPTION><FLAGS>ULTIMATE</FLAGS>"
                   "<WINDOWS><ARCH>9</ARCH><EDITIONID>Ultimate</EDITIONID><LANGUAGES>"
                   "<LANGUAGE>zh-CN</LANGUAGE><DEFAULT>zh-CN</DEFAULT></LANGUAGES>"
                   "</WINDOWS></IMAGE></WIM>"),
    QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<!-- c -->\n<WIM>\r\n  "
                   "<IMAGE INDEX='2' x:a=\"&lt;&quot;\"><NAME/><DISPLAYNAME></DISPLAYNAME>"
                   "<![CDATA[<raw>]]></IMAGE>\r\n</WIM>"),
    QStringLiteral("<IMAGE INDEX=\"1\"><NAME>WIM1</NAME><DISPLAYDESCRIPTION>&#128512;"
                   "</DISPLAYDESCRIPTION></IMAGE>"),
};

void wimSeeds(const QString& out)
{
    TempDir work;
    wimfix::makeTree(work.file(QStringLiteral("a")),
                     {{QStringLiteral("a.txt"), "alpha\n"},
                      {QStringLiteral("中文/b.txt"), "beta beta beta beta\n"},
                      {QStringLiteral("empty"), {}, true}});
    wimfix::makeTree(work.file(QStringLiteral("b")), {{QStringLiteral("c.txt"), "c\n"}});
    struct Made {
        const char* name;
        wimfix::WimRecipe recipe;
    };
    const Made wims[] = {
        {"xpress",
         {{{work.file(QStringLiteral("a")),
            QStringLiteral("一"),
            QStringLiteral("描述"),
            {{QStringLiteral("FLAGS"), QStringLiteral("ULTIMATE")}}}},
          1}},
        {"lzx-two-images-integrity",
         {{{work.file(QStringLiteral("a")), QStringLiteral("one")},
           {work.file(QStringLiteral("b")), QStringLiteral("two")}},
          2,
          true,
          2}},
        {"uncompressed", {{{work.file(QStringLiteral("b")), QString()}}, 0}},
    };
    for (const Made& made : wims) {
        const QString path = work.file(QString::fromUtf8(made.name) + QStringLiteral(".wim"));
        QString error;
        if (!wimfix::makeWim(path, made.recipe, &error)) {
            fail(QStringLiteral("WIM %1: %2").arg(QString::fromUtf8(made.name), error));
            continue;
        }
        // wim_open_fuzz: an even first byte opens the rest as a WIM file.
        writeSeed(out, "wim_open_fuzz", QString::fromUtf8(made.name),
                  QByteArray(1, '\0') + readFileBytes(path));
        writeSeed(out, "xml_fuzz", QString::fromUtf8(made.name), utf16le(wimfix::imagexXml(path)));
    }
    // An odd first byte gives the rest to WIMSetImageInformation, with and without a BOM.
    writeSeed(out, "wim_open_fuzz", QStringLiteral("information-bom"),
              QByteArray(1, '\1') + utf16le(QChar(0xFEFF) + kXmlTexts[2]));
    writeSeed(out, "wim_open_fuzz", QStringLiteral("information"),
              QByteArray(1, '\1') + utf16le(kXmlTexts[0]));
}

void xmlSeeds(const QString& out)
{
    int n = 0;
    for (const QString& text : kXmlTexts)
        writeSeed(out, "xml_fuzz", QStringLiteral("text-%1").arg(++n), utf16le(text));
}

void hiveSeeds(const QString& out)
{
    TempDir work;
    const QString path = work.file(QStringLiteral("SOFTWARE"));
    {
        hivefix::HiveWriter hive(path);
        const QString version = QStringLiteral("Microsoft\\Windows NT\\CurrentVersion");
        hive.setString(version, QStringLiteral("EditionID"), QStringLiteral("Ultimate"));
        hive.setString(version, QStringLiteral("SystemRoot"), QStringLiteral("C:\\Windows"), 2);
        hive.setString(version, QString(), QStringLiteral("默认"));
        hive.setDword(QStringLiteral("ControlSet001\\Control\\Nls\\Language"),
                      QStringLiteral("LCID"), 0x804);
        hive.setMultiString(QStringLiteral("ControlSet001\\Enum\\PCI\\DEV"),
                            QStringLiteral("HardwareID"),
                            {QStringLiteral("PCI\\VEN_8086"), QStringLiteral("PCI\\CC_0300")});
        hive.setRaw(QStringLiteral("Empty"), QStringLiteral("Binary"), 3, QByteArray("\0\1\2", 3));
        if (!hive.commit())
            fail(QStringLiteral("hive not written"));
    }
    const QByteArray bytes = readFileBytes(path);
    if (bytes.isEmpty())
        fail(QStringLiteral("hive not written"));
    else
        writeSeed(out, "hive_fuzz", QStringLiteral("software"), bytes);
}

void peSeeds(const QString& out)
{
    TempDir work;
    for (const bool pe32Plus : {true, false}) {
        const QString name =
            pe32Plus ? QStringLiteral("kernel-pe32plus") : QStringLiteral("kernel-pe32");
        const QString path = work.file(name + QStringLiteral(".dll"));
        QString error;
        if (!pefix::buildPeFile(path, pefix::kernelSpec(QStringLiteral("操作系统"), pe32Plus),
                                &error)) {
            fail(QStringLiteral("%1: %2").arg(name, error));
            continue;
        }
        const QByteArray file = readFileBytes(path);
        writeSeed(out, "pe_fuzz", name, file);
        // The version block alone, which the target also reads as a block of its own.
        const pefix::PeLayout layout = pefix::peLayout(file);
        if (pe32Plus && layout.valid && layout.versionData + 2 <= std::size_t(file.size())) {
            const std::size_t length = std::uint8_t(file[qsizetype(layout.versionData)]) |
                                       std::uint8_t(file[qsizetype(layout.versionData + 1)]) << 8;
            writeSeed(out, "pe_fuzz", QStringLiteral("version-block"),
                      file.mid(qsizetype(layout.versionData), qsizetype(length)));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    ImagingGlobalInit();
    const QString out = QString::fromLocal8Bit(argv[1]);
    wimSeeds(out);
    xmlSeeds(out);
    hiveSeeds(out);
    peSeeds(out);
    return failed ? 1 : 0;
}
