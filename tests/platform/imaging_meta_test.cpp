// The imaging layer on real WIM files (made by libwim and 7-Zip at test time): opening,
// attributes, image information, boot index, deleting images, bad input and failed writes.
#include "platform/Imaging.h"
#include "platform/ImagingInternal.h"
#include "platform/Kernel.h"

#include "meta/WimPatch.h"
#include "meta/XmlDocument.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <wimlib.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cpuid.h>
#include <csignal>
#include <functional>
#include <optional>
#include <sys/stat.h>

namespace {

HANDLE openWim(const QString& path, DWORD access = GENERIC_READ, DWORD disposition = OPEN_EXISTING,
               DWORD flags = 0, DWORD compression = 0, DWORD* result = nullptr)
{
    DWORD dummy = 0xFFFF;
    return WIMCreateFile(wide(path), access, disposition, flags, compression,
                         result ? result : &dummy);
}

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// The information text of a handle, without its leading U+FEFF; "<failed>" on failure.
QString info(HANDLE h)
{
    PVOID buf = nullptr;
    DWORD size = 0;
    if (!WIMGetImageInformation(h, &buf, &size))
        return QStringLiteral("<failed>");
    const auto* units = static_cast<const char16_t*>(buf);
    EXPECT_EQ(size % 2, 0u);
    EXPECT_EQ(units[0], u'\uFEFF');
    EXPECT_EQ(units[size / 2], u'\0'); // terminated beyond the reported size
    QString s = QString::fromUtf16(units + 1, size / 2 - 1);
    LocalFree(buf);
    return s;
}

BOOL setInfo(HANDLE image, const QString& xml)
{
    const QString text = QChar(0xFEFF) + xml;
    return WIMSetImageInformation(image, const_cast<ushort*>(text.utf16()),
                                  static_cast<DWORD>(text.size() * 2));
}

QString element(const QString& xml, const QString& name)
{
    QRegularExpression re(QStringLiteral("<%1>(.*?)</%1>").arg(name),
                          QRegularExpression::DotMatchesEverythingOption);
    const auto m = re.match(xml);
    return m.hasMatch() ? m.captured(1) : QString();
}

class ImagingMeta : public ::testing::Test {
protected:
    void SetUp() override
    {
        treeA = tmp.mkdir(QStringLiteral("treeA"));
        treeB = tmp.mkdir(QStringLiteral("treeB"));
        wimfix::makeSampleTree(treeA);
        wimfix::makeTree(treeB, {{QStringLiteral("b.txt"), "bee\n"}});
    }

    // Three images: named with description and flags, named only, unnamed.
    QString threeImageWim(int compression = 1, bool integrity = false, int boot = 0)
    {
        wimfix::WimRecipe recipe;
        recipe.compression = compression;
        recipe.integrity = integrity;
        recipe.bootIndex = boot;
        recipe.images = {
            {treeA,
             QStringLiteral("First"),
             QStringLiteral("first image"),
             {{QStringLiteral("FLAGS"), QStringLiteral("Professional")},
              {QStringLiteral("WINDOWS/EDITIONID"), QStringLiteral("Professional")}}},
            {treeB, QStringLiteral("Second"), {}, {}},
            {treeA, {}, {}, {}},
        };
        const QString path = tmp.file(
            QStringLiteral("three-%1-%2-%3.wim").arg(compression).arg(integrity).arg(boot));
        QString error;
        EXPECT_TRUE(wimfix::makeWim(path, recipe, &error)) << error.toStdString();
        return path;
    }

    TempDir tmp;
    QString treeA;
    QString treeB;
};

TEST_F(ImagingMeta, AttributesOfLibwimFixtures)
{
    struct Case {
        int compression;
        bool integrity;
        int boot;
    };
    for (const Case c : {Case{0, false, 0}, Case{1, true, 2}, Case{2, false, 3}}) {
        SCOPED_TRACE(c.compression);
        const QString path = threeImageWim(c.compression, c.integrity, c.boot);
        DWORD result = 0xFFFF;
        HANDLE h = openWim(path, GENERIC_READ, OPEN_EXISTING, 0, 0, &result);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(result, WIM_OPENED_EXISTING);
        WIM_INFO wi;
        std::memset(&wi, 0xAB, sizeof wi);
        ASSERT_TRUE(WIMGetAttributes(h, &wi, sizeof wi));
        EXPECT_EQ(QString::fromUtf16(wi.WimPath), path);
        EXPECT_EQ(wi.ImageCount, 3u);
        EXPECT_EQ(wi.CompressionType, static_cast<DWORD>(c.compression));
        EXPECT_EQ(wi.PartNumber, 1);
        EXPECT_EQ(wi.TotalParts, 1);
        EXPECT_EQ(wi.BootIndex, static_cast<DWORD>(c.boot));
        EXPECT_EQ((wi.WimAttributes & WIM_ATTRIBUTE_VERIFY_DATA) != 0, c.integrity);
        EXPECT_EQ(wi.WimAttributes & (WIM_ATTRIBUTE_SPANNED | WIM_ATTRIBUTE_READONLY), 0u);
        EXPECT_EQ(WIMGetImageCount(h), 3u);

        // The GUID as stored in the file.
        WIMStruct* raw = nullptr;
        ASSERT_EQ(wimlib_open_wim(QFile::encodeName(path).constData(), 0, &raw), 0);
        wimlib_wim_info li{};
        wimlib_get_wim_info(raw, &li);
        wimlib_free(raw);
        EXPECT_EQ(std::memcmp(&wi.Guid, li.guid, 16), 0);

        EXPECT_FALSE(WIMGetAttributes(h, &wi, sizeof wi - 1));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        EXPECT_TRUE(WIMCloseHandle(h));
    }
}

TEST_F(ImagingMeta, IntegrityCheckedOnOpenWithVerify)
{
    const QString path = threeImageWim(1, true);
    HANDLE h = openWim(path, GENERIC_READ, OPEN_EXISTING, WIM_FLAG_VERIFY);
    ASSERT_NE(h, nullptr);
    WIMCloseHandle(h);

    // Flip one byte of file data covered by the integrity table.
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(300);
    char c = 0;
    f.getChar(&c);
    f.seek(300);
    f.putChar(static_cast<char>(c ^ 0x5A));
    f.close();
    EXPECT_EQ(openWim(path, GENERIC_READ, OPEN_EXISTING, WIM_FLAG_VERIFY), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CRC);
}

TEST_F(ImagingMeta, ImageInformationOfWimAndImageHandles)
{
    const QString path = threeImageWim();
    HANDLE h = openWim(path);
    ASSERT_NE(h, nullptr);
    const QString whole = info(h);
    EXPECT_TRUE(whole.startsWith(QStringLiteral("<WIM>")));
    EXPECT_TRUE(whole.endsWith(QStringLiteral("</WIM>\n")));
    const int first = whole.indexOf(QStringLiteral("<IMAGE INDEX=\"1\">"));
    const int second = whole.indexOf(QStringLiteral("<IMAGE INDEX=\"2\">"));
    const int third = whole.indexOf(QStringLiteral("<IMAGE INDEX=\"3\">"));
    EXPECT_TRUE(first > 0 && first < second && second < third);
    // Unchanged, the text is the file's XML as stored.
    EXPECT_EQ(whole, wimfix::imagexXml(path));

    HANDLE img = WIMLoadImage(h, 1);
    ASSERT_NE(img, nullptr);
    const QString one = info(img);
    EXPECT_TRUE(one.startsWith(QStringLiteral("<IMAGE INDEX=\"1\">")));
    EXPECT_EQ(element(one, QStringLiteral("NAME")), QStringLiteral("First"));
    EXPECT_EQ(element(one, QStringLiteral("DESCRIPTION")), QStringLiteral("first image"));
    EXPECT_EQ(element(one, QStringLiteral("EDITIONID")), QStringLiteral("Professional"));
    EXPECT_FALSE(element(one, QStringLiteral("FILECOUNT")).isEmpty());
    HANDLE img3 = WIMLoadImage(h, 3);
    EXPECT_EQ(element(info(img3), QStringLiteral("NAME")), QString());
    WIMCloseHandle(img3);
    WIMCloseHandle(img);
    WIMCloseHandle(h);
}

TEST_F(ImagingMeta, SevenZipWim)
{
    const QString path = tmp.file(QStringLiteral("7z.wim"));
    QString out;
    ASSERT_TRUE(wimfix::make7zWim(path, treeA, &out)) << out.toStdString();
    HANDLE h = openWim(path, kReadWrite);
    ASSERT_NE(h, nullptr);
    WIM_INFO wi{};
    ASSERT_TRUE(WIMGetAttributes(h, &wi, sizeof wi));
    EXPECT_EQ(wi.ImageCount, 1u);
    HANDLE img = WIMLoadImage(h, 1);
    ASSERT_NE(img, nullptr);
    const QString xml = info(img);
    EXPECT_TRUE(xml.startsWith(QStringLiteral("<IMAGE INDEX=\"1\">")));
    ASSERT_TRUE(setInfo(img, QStringLiteral("<IMAGE><NAME>from 7z</NAME></IMAGE>")));
    WIMCloseHandle(img);
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QStringLiteral("from 7z"));
    EXPECT_TRUE(wimfix::imagexVerify(path));
}

TEST_F(ImagingMeta, SetInformationIsCommittedOnClose)
{
    const QString path = threeImageWim();
    const QByteArray before = wimfix::fileDigest(path);
    HANDLE h = openWim(path, kReadWrite);
    ASSERT_NE(h, nullptr);
    HANDLE img = WIMLoadImage(h, 1);
    ASSERT_NE(img, nullptr);
    const QString old = info(img);
    const QString realDirs = element(old, QStringLiteral("DIRCOUNT"));
    // DESCRIPTION and FLAGS left out (removed), NAME changed, a nested element and a value
    // with markup characters added, DIRCOUNT given wrongly (libwim keeps its own).
    ASSERT_TRUE(setInfo(img, QStringLiteral("<IMAGE INDEX=\"9\"><DIRCOUNT>999</DIRCOUNT>"
                                            "<NAME>新名称 &amp; more</NAME>"
                                            "<WINDOWS><EDITIONID>Ultimate</EDITIONID>"
                                            "<LANGUAGES><LANGUAGE>zh-CN</LANGUAGE>"
                                            "<LANGUAGE>en-US</LANGUAGE></LANGUAGES></WINDOWS>"
                                            "<DISPLAYNAME>A < B & C</DISPLAYNAME>"
                                            "<EMPTY></EMPTY></IMAGE>")));
    // The view shows the change at once, the file only after the close.
    const QString pending = info(img);
    EXPECT_EQ(element(pending, QStringLiteral("NAME")), QStringLiteral("新名称 &amp; more"));
    EXPECT_EQ(element(pending, QStringLiteral("DIRCOUNT")), realDirs);
    EXPECT_EQ(element(pending, QStringLiteral("DESCRIPTION")), QString());
    EXPECT_TRUE(info(h).contains(QStringLiteral("<NAME>新名称 &amp; more</NAME>")));
    EXPECT_EQ(wimfix::fileDigest(path), before);
    WIMCloseHandle(img);
    ASSERT_TRUE(WIMCloseHandle(h));

    const QString xml = wimfix::imagexXml(path);
    EXPECT_TRUE(xml.contains(QString::fromUtf8("<NAME>新名称 &amp; more</NAME>")))
        << xml.toStdString();
    EXPECT_TRUE(xml.contains(QStringLiteral("<DISPLAYNAME>A &lt; B &amp; C</DISPLAYNAME>")));
    EXPECT_TRUE(
        xml.contains(QStringLiteral("<LANGUAGE>zh-CN</LANGUAGE><LANGUAGE>en-US</LANGUAGE>")));
    EXPECT_FALSE(xml.contains(QStringLiteral("first image")));
    EXPECT_FALSE(xml.contains(QStringLiteral("<FLAGS>Professional")));
    // (Times and byte counts may hold "999" by chance; the element may not.)
    EXPECT_FALSE(xml.contains(QStringLiteral("<DIRCOUNT>999</DIRCOUNT>")));
    EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("WINDOWS/EDITIONID")),
              QStringLiteral("Ultimate"));
    EXPECT_EQ(wimfix::imageProperty(path, 2, QStringLiteral("NAME")), QStringLiteral("Second"));
    EXPECT_TRUE(wimfix::imagexVerify(path));

    // What the layer shows after reopening is what it showed before the close.
    HANDLE again = openWim(path);
    HANDLE img1 = WIMLoadImage(again, 1);
    const QString reread = info(img1);
    EXPECT_EQ(element(reread, QStringLiteral("NAME")), element(pending, QStringLiteral("NAME")));
    EXPECT_EQ(element(reread, QStringLiteral("WINDOWS")),
              element(pending, QStringLiteral("WINDOWS")));
    EXPECT_TRUE(reread.contains(QStringLiteral("<EMPTY/>"))); // as libwim writes it
    WIMCloseHandle(img1);
    WIMCloseHandle(again);
}

// Exported with its information as the source holds it: NAME in its place with its
// attributes, also when the destination has an image of that name.
TEST_F(ImagingMeta, ExportKeepsTheImageInformation)
{
    wimfix::WimRecipe recipe;
    recipe.images.push_back({treeB, QStringLiteral("Img"), {}, {}});
    const QString src = tmp.file(QStringLiteral("src.wim"));
    const QString dest = tmp.file(QStringLiteral("dest.wim"));
    ASSERT_TRUE(wimfix::makeWim(src, recipe));
    ASSERT_TRUE(wimfix::makeWim(dest, recipe));
    ASSERT_TRUE(replaceWimXml(src, handMadeWimXml()));

    WIMStruct* s = nullptr;
    WIMStruct* d = nullptr;
    ASSERT_EQ(wimlib_open_wim(QFile::encodeName(src).constData(), 0, &s), 0);
    ASSERT_EQ(
        wimlib_open_wim(QFile::encodeName(dest).constData(), WIMLIB_OPEN_FLAG_WRITE_ACCESS, &d), 0);
    EXPECT_EQ(imaging::exportImageKeepingInformation(s, 1, d, 0), 0);
    EXPECT_EQ(wimlib_overwrite(d, 0, 0), 0);
    wimlib_free(d);
    wimlib_free(s);

    // libwim gives the copy its INDEX behind the attributes it had.
    QString image = imageElementsOf(handMadeWimXml());
    image.replace(QStringLiteral("<IMAGE INDEX=\"1\" EXTRA=\"e\">"),
                  QStringLiteral("<IMAGE EXTRA=\"e\" INDEX=\"2\">"));
    const QString xml = wimfix::imagexXml(dest);
    EXPECT_TRUE(xml.contains(image)) << xml.toStdString();
    EXPECT_EQ(wimfix::imageProperty(dest, 1, QStringLiteral("NAME")), QStringLiteral("Img"));
    EXPECT_TRUE(wimfix::imagexVerify(dest));
}

// Changes libwim cannot make in place (removing, emptying, reordering, a text becoming child
// elements, a second element of a name): the file holds exactly the elements asked for, in
// that order, what stands before the first such change keeps its attributes, and the view
// before the close is what is read back after it.
TEST_F(ImagingMeta, ChangesLibwimCannotMakeInPlace)
{
    // Names, texts and children, attributes left out.
    std::function<QString(const XmlNode&)> shape = [&shape](const XmlNode& n) {
        QString s = n.name() + u'=' + n.text() + u'{';
        for (const XmlNode* c = n.firstChild(); c; c = c->nextSibling())
            s += shape(*c);
        return s + u'}';
    };
    const auto shapeOf = [&shape](const QString& xml) {
        XmlDocument doc;
        return doc.parse(xml) ? shape(doc.root()) : QStringLiteral("<unparsable>");
    };
    const struct {
        const char* what;
        QString from;
        QString to;
    } cases[] = {
        {"element removed", QStringLiteral("<CUSTOM a=\"1\" b=\"two\">v &amp; w</CUSTOM>"), {}},
        {"text emptied", QStringLiteral(">Pro<"), QStringLiteral("><")},
        {"second NAME", QStringLiteral("<EMPTYEL/>"),
         QStringLiteral("<NAME>two</NAME><EMPTYEL/><NAME>three</NAME>")},
        {"text to children", QStringLiteral("<SPACED>  lead</SPACED>"),
         QStringLiteral("<SPACED><C>1</C><C/></SPACED>")},
        {"reordered", QStringLiteral("<SPACED>  lead</SPACED><EMPTYEL/>"),
         QStringLiteral("<EMPTYEL/><SPACED>  lead</SPACED>")},
    };
    wimfix::WimRecipe recipe;
    recipe.images.push_back({treeB, QStringLiteral("Img"), {}, {}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = tmp.file(QStringLiteral("sync.wim"));
        QFile::remove(path);
        ASSERT_TRUE(wimfix::makeWim(path, recipe));
        ASSERT_TRUE(replaceWimXml(path, handMadeWimXml()));
        HANDLE h = openWim(path, kReadWrite);
        HANDLE img = WIMLoadImage(h, 1);
        QString given = info(img);
        ASSERT_TRUE(given.contains(c.from)) << given.toStdString();
        given.replace(c.from, c.to);
        ASSERT_TRUE(setInfo(img, given));
        const QString pending = info(img);
        EXPECT_EQ(shapeOf(pending), shapeOf(given));
        EXPECT_TRUE(pending.contains(QStringLiteral("<NAME lang=\"zh\">Img</NAME>")));
        WIMCloseHandle(img);
        ASSERT_TRUE(WIMCloseHandle(h));
        // The program's tree reads no comments; libwim keeps the file's one.
        const QString file = imageElementsOf(wimfix::imagexXml(path));
        EXPECT_EQ(shapeOf(QString(file).remove(QStringLiteral("<!-- kept -->"))), shapeOf(given))
            << file.toStdString();
        h = openWim(path);
        img = WIMLoadImage(h, 1);
        EXPECT_EQ(info(img), pending);
        WIMCloseHandle(img);
        WIMCloseHandle(h);
        EXPECT_TRUE(wimfix::imagexVerify(path));
    }
}

// While information is pending, the whole file's text is the view: the root's and the
// images' attributes stay, the changed element keeps its own.
TEST_F(ImagingMeta, PendingWholeFileTextKeepsAttributes)
{
    wimfix::WimRecipe recipe;
    recipe.images.push_back({treeB, QStringLiteral("Img"), {}, {}});
    const QString path = tmp.file(QStringLiteral("hand.wim"));
    ASSERT_TRUE(wimfix::makeWim(path, recipe));
    ASSERT_TRUE(replaceWimXml(path, handMadeWimXml()));
    HANDLE h = openWim(path, kReadWrite);
    HANDLE img = WIMLoadImage(h, 1);
    EXPECT_EQ(info(h), handMadeWimXml()); // nothing pending: the file's text
    QString text = info(img);
    text.replace(QStringLiteral(">Img<"), QStringLiteral(">New<"));
    ASSERT_TRUE(setInfo(img, text));
    EXPECT_EQ(info(img), text);
    EXPECT_TRUE(info(h).startsWith(
        QStringLiteral("<WIM R=\"r\"><IMAGE INDEX=\"1\" EXTRA=\"e\"><NAME lang=\"zh\">New</NAME>")))
        << info(h).toStdString();
    WIMCloseHandle(img);
    ASSERT_TRUE(WIMCloseHandle(h));
}

TEST_F(ImagingMeta, DuplicateNamesAreKept)
{
    const QString path = threeImageWim();
    HANDLE h = openWim(path, kReadWrite);
    HANDLE img = WIMLoadImage(h, 2);
    ASSERT_TRUE(setInfo(img, QStringLiteral("<IMAGE><NAME>First</NAME></IMAGE>")));
    WIMCloseHandle(img);
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QStringLiteral("First"));
    EXPECT_EQ(wimfix::imageProperty(path, 2, QStringLiteral("NAME")), QStringLiteral("First"));
    EXPECT_TRUE(wimfix::imagexVerify(path));
}

TEST_F(ImagingMeta, HostileInformationIsRefusedAndChangesNothing)
{
    const QString path = threeImageWim();
    HANDLE h = openWim(path, kReadWrite);
    HANDLE img = WIMLoadImage(h, 1);
    const QString before = info(img);
    QString deep;
    for (int i = 0; i < 2000; ++i)
        deep += QStringLiteral("<A>");
    const QStringList bad = {
        QStringLiteral("<IMAGE><NAME>x</IMAGE>"),
        QStringLiteral("not xml at all"),
        QStringLiteral("<IMAGE><NAME>x</NAME></IMAGE><SECOND/>"),
        deep,
        QStringLiteral(" "),
    };
    for (const QString& xml : bad) {
        SCOPED_TRACE(xml.left(40).toStdString());
        EXPECT_FALSE(setInfo(img, xml));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    }
    EXPECT_FALSE(WIMSetImageInformation(img, nullptr, 10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(info(img), before);
    WIMCloseHandle(img);
    const QByteArray digest = wimfix::fileDigest(path);
    EXPECT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::fileDigest(path), digest); // nothing pending, nothing written

    // A handle opened for reading cannot change information.
    HANDLE ro = openWim(path);
    HANDLE roImg = WIMLoadImage(ro, 1);
    EXPECT_FALSE(setInfo(roImg, QStringLiteral("<IMAGE><NAME>x</NAME></IMAGE>")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WIMSetBootImage(ro, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    WIMCloseHandle(roImg);
    WIMCloseHandle(ro);
}

TEST_F(ImagingMeta, BootIndex)
{
    const QString path = threeImageWim();
    HANDLE h = openWim(path, kReadWrite);
    EXPECT_FALSE(WIMSetBootImage(h, 4));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(WIMSetBootImage(h, 2));
    WIM_INFO wi{};
    WIMGetAttributes(h, &wi, sizeof wi);
    EXPECT_EQ(wi.BootIndex, 2u);
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::bootIndex(path), 2);
    h = openWim(path, kReadWrite);
    ASSERT_TRUE(WIMSetBootImage(h, 0));
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::bootIndex(path), 0);
}

TEST_F(ImagingMeta, DeleteKeepsOtherImagesAndData)
{
    const QString path = threeImageWim(2, true, 3);
    const qint64 sizeBefore = QFileInfo(path).size();
    HANDLE h = openWim(path, kReadWrite, OPEN_EXISTING, WIM_FLAG_VERIFY);
    ASSERT_NE(h, nullptr);
    HANDLE img3 = WIMLoadImage(h, 3);
    EXPECT_FALSE(WIMDeleteImage(h, 3)); // an open image is in use
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    for (DWORD bad : {0u, 4u}) {
        EXPECT_FALSE(WIMDeleteImage(h, bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    ASSERT_TRUE(WIMDeleteImage(h, 1));
    // Written before the call returns: another reader sees it at once.
    EXPECT_EQ(wimfix::imageCount(path), 2);
    EXPECT_EQ(WIMGetImageCount(h), 2u);
    EXPECT_EQ(info(img3).left(17), QStringLiteral("<IMAGE INDEX=\"2\">"));
    WIMCloseHandle(img3);
    ASSERT_TRUE(WIMCloseHandle(h));

    EXPECT_EQ(wimfix::imageProperty(path, 1, QStringLiteral("NAME")), QStringLiteral("Second"));
    EXPECT_EQ(wimfix::imageProperty(path, 2, QStringLiteral("NAME")), QString());
    EXPECT_EQ(wimfix::bootIndex(path), 2);         // the boot image moved down with its index
    EXPECT_GE(QFileInfo(path).size(), sizeBefore); // data not rewritten
    QString out;
    EXPECT_TRUE(wimfix::imagexVerify(path, &out)) << out.toStdString();
    EXPECT_TRUE(wimfix::imagePaths(path, 2).contains(QStringLiteral("docs/readme.txt")));

    // The last image can be deleted too.
    h = openWim(path, kReadWrite);
    ASSERT_TRUE(WIMDeleteImage(h, 2));
    WIMCloseHandle(h);
    EXPECT_EQ(wimfix::imageCount(path), 1);
    EXPECT_TRUE(wimfix::imagexVerify(path));
}

TEST_F(ImagingMeta, BadInputGivesClearCodes)
{
    const QString good = threeImageWim();
    const QString notWim = tmp.write(QStringLiteral("text.wim"), QByteArray(4096, 'x'));
    QByteArray bytes = readFileBytes(good);
    const QString truncated =
        tmp.write(QStringLiteral("truncated.wim"), bytes.left(bytes.size() / 2));
    const QString headerOnly = tmp.write(QStringLiteral("header.wim"), bytes.left(100));
    const QString emptyFile = tmp.write(QStringLiteral("empty.wim"), {});
    struct Case {
        QString path;
        DWORD code;
    };
    const Case cases[] = {
        {tmp.file(QStringLiteral("missing.wim")), ERROR_FILE_NOT_FOUND},
        {tmp.file(QStringLiteral("nofolder/missing.wim")), ERROR_PATH_NOT_FOUND},
        {tmp.path(), ERROR_ACCESS_DENIED},
        {notWim, ERROR_BAD_FORMAT},
        {truncated, ERROR_FILE_CORRUPT},
        {headerOnly, ERROR_FILE_CORRUPT},
        {emptyFile, ERROR_FILE_CORRUPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        SetLastError(0);
        EXPECT_EQ(openWim(c.path), nullptr);
        EXPECT_EQ(GetLastError(), c.code);
        WCHAR text[260] = {};
        EXPECT_GT(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, GetLastError(), 0, text, 260,
                                 nullptr),
                  0u);
    }
    EXPECT_EQ(WIMCreateFile(nullptr, GENERIC_READ, OPEN_EXISTING, 0, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE h = openWim(good);
    for (DWORD index : {0u, 4u}) {
        EXPECT_EQ(WIMLoadImage(h, index), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    ASSERT_TRUE(WIMCloseHandle(h));

    // Closed, foreign and null handles fail without touching memory.
    int notAHandle = 42;
    for (HANDLE bad : {h, static_cast<HANDLE>(&notAHandle), static_cast<HANDLE>(nullptr)}) {
        WIM_INFO wi{};
        EXPECT_FALSE(WIMGetAttributes(bad, &wi, sizeof wi));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(WIMCloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(WIMLoadImage(bad, 1), nullptr);
        EXPECT_EQ(WIMGetImageCount(bad), 0u);
    }
    // A live handle of the other kind is refused as well.
    h = openWim(good);
    HANDLE img = WIMLoadImage(h, 1);
    WIM_INFO wi{};
    EXPECT_FALSE(WIMGetAttributes(img, &wi, sizeof wi));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(WIMApplyImage(h, wide(tmp.path()), WIM_FLAG_NO_APPLY));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // An image handle outlives its WIM handle only as a handle that fails.
    WIMCloseHandle(h);
    EXPECT_EQ(info(img), QStringLiteral("<failed>"));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(WIMCloseHandle(img));
}

TEST_F(ImagingMeta, ReadOnlyFileIsNotOpenedForWriting)
{
    const QString path = threeImageWim();
    const QByteArray digest = wimfix::fileDigest(path);
    ASSERT_EQ(chmod(QFile::encodeName(path).constData(), 0444), 0);
    EXPECT_EQ(openWim(path, kReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h = openWim(path, GENERIC_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::fileDigest(path), digest);
}

TEST_F(ImagingMeta, CreateDispositions)
{
    const QString existing = threeImageWim();
    const QByteArray digest = wimfix::fileDigest(existing);
    EXPECT_EQ(openWim(existing, kReadWrite, CREATE_NEW), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    // A new file exists once an image is written into it, with the chosen compression;
    // a handle that wrote nothing leaves no file.
    const QString fresh = tmp.file(QStringLiteral("fresh.wim"));
    DWORD result = 0xFFFF;
    HANDLE h = openWim(fresh, kReadWrite, OPEN_ALWAYS, 0, WIM_COMPRESS_LZX, &result);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(result, WIM_CREATED_NEW);
    EXPECT_EQ(WIMGetImageCount(h), 0u);
    EXPECT_EQ(info(h), QStringLiteral("<WIM></WIM>"));
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_FALSE(QFileInfo::exists(fresh));
    h = openWim(fresh, kReadWrite, OPEN_ALWAYS, 0, WIM_COMPRESS_LZX, &result);
    HANDLE img = WIMCaptureImage(h, wide(tmp.mkdir(QStringLiteral("tree"))), 0);
    ASSERT_NE(img, nullptr) << GetLastError();
    WIMCloseHandle(img);
    ASSERT_TRUE(WIMCloseHandle(h));
    h = openWim(fresh, GENERIC_READ, OPEN_ALWAYS, 0, 0, &result);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(result, WIM_OPENED_EXISTING);
    WIM_INFO wi{};
    WIMGetAttributes(h, &wi, sizeof wi);
    EXPECT_EQ(wi.CompressionType, WIM_COMPRESS_LZX);
    EXPECT_EQ(wi.ImageCount, 1u);
    WIMCloseHandle(h);

    // Creating over an existing file and writing nothing leaves that file alone.
    h = openWim(existing, GENERIC_WRITE, CREATE_ALWAYS, 0, WIM_COMPRESS_XPRESS);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(WIMGetImageCount(h), 0u);
    ASSERT_TRUE(WIMCloseHandle(h));
    EXPECT_EQ(wimfix::fileDigest(existing), digest);

    EXPECT_EQ(openWim(tmp.file(QStringLiteral("no/such/dir.wim")), kReadWrite, CREATE_ALWAYS),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(openWim(fresh, GENERIC_READ, CREATE_ALWAYS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(ImagingMeta, TemporaryPath)
{
    HANDLE h = openWim(threeImageWim());
    EXPECT_TRUE(WIMSetTemporaryPath(h, wide(tmp.path())));
    EXPECT_FALSE(WIMSetTemporaryPath(h, wide(tmp.file(QStringLiteral("nope")))));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    const QString file = tmp.write(QStringLiteral("plain"), "x");
    EXPECT_FALSE(WIMSetTemporaryPath(h, wide(file)));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    WIMCloseHandle(h);
}

// A small tmpfs, for writes that fail for want of space or because the file system turned
// read-only. Needs the right to mount; tests skip without it.
class SmallVolume {
public:
    SmallVolume(const QString& dir, const char* size) : dir_(dir)
    {
        const QByteArray options = QByteArray("size=") + size;
        mounted_ = mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0,
                         options.constData()) == 0;
    }
    ~SmallVolume()
    {
        if (mounted_)
            umount2(QFile::encodeName(dir_).constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool makeReadOnly()
    {
        return mount(nullptr, QFile::encodeName(dir_).constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                     nullptr) == 0;
    }

private:
    QString dir_;
    bool mounted_ = false;
};

TEST_F(ImagingMeta, FailedCommitLeavesTheFileAsItWas)
{
    const QString source = threeImageWim();
    const QString dir = tmp.mkdir(QStringLiteral("vol"));
    const qint64 size = QFileInfo(source).size();
    SmallVolume volume(dir, QByteArray::number(size + 64 * 1024).constData());
    if (!volume.mounted())
        GTEST_SKIP() << "cannot mount a tmpfs here";
    const QString path = dir + QStringLiteral("/full.wim");
    ASSERT_TRUE(QFile::copy(source, path));
    const QByteArray digest = wimfix::fileDigest(path);

    // More information than the volume has room for: the close fails with a disk-full code.
    HANDLE h = openWim(path, kReadWrite);
    ASSERT_NE(h, nullptr);
    HANDLE img = WIMLoadImage(h, 2);
    const QString big = QString(200 * 1024, QChar(u'x'));
    ASSERT_TRUE(setInfo(img, QStringLiteral("<IMAGE><DESCRIPTION>") + big +
                                 QStringLiteral("</DESCRIPTION></IMAGE>")));
    WIMCloseHandle(img);
    EXPECT_FALSE(WIMCloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(wimfix::fileDigest(path), digest);
    EXPECT_EQ(wimfix::imageCount(path), 3);
    EXPECT_TRUE(wimfix::imagexVerify(path));
    EXPECT_EQ(wimfix::imageProperty(path, 2, QStringLiteral("DESCRIPTION")), QString());

    // The file system turns read-only while the handle is open.
    ASSERT_TRUE(QFile::remove(path));
    ASSERT_TRUE(QFile::copy(source, path));
    h = openWim(path, kReadWrite);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(WIMSetBootImage(h, 1));
    ASSERT_TRUE(volume.makeReadOnly());
    EXPECT_FALSE(WIMCloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    EXPECT_EQ(wimfix::fileDigest(path), digest);
    EXPECT_EQ(wimfix::bootIndex(path), 0);

    // Nor does the layer accept it as temporary folder.
    h = openWim(path, GENERIC_READ);
    EXPECT_FALSE(WIMSetTemporaryPath(h, wide(dir)));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
    WIMCloseHandle(h);

    // And so is a delete on it.
    h = openWim(path, GENERIC_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(WIMDeleteImage(h, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    WIMCloseHandle(h);
    EXPECT_EQ(openWim(path, kReadWrite), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
}

DWORD noteCallback(DWORD, WPARAM, LPARAM, PVOID)
{
    return WIM_MSG_SUCCESS;
}

// Which register states the processor holds as in use (XGETBV 1), or nullopt where it cannot
// say.
std::optional<std::uint64_t> registerStatesInUse()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE) || !(c & bit_AVX) ||
        !__get_cpuid_count(0xD, 1, &a, &b, &c, &d) || !(a & (1u << 2)))
        return std::nullopt;
    unsigned lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(1));
    return (std::uint64_t{hi} << 32) | lo;
}

// Qt's XML reader returns with the upper halves of the AVX registers in use; libwim's SSE code
// on that thread then runs a half slower (its tree walk, hashing, compression) until they are
// cleared. Opening a WIM reads its XML, and must leave them clear for libwim.
TEST_F(ImagingMeta, ReadingTheXmlLeavesTheVectorRegistersClearForLibwim)
{
    if (!registerStatesInUse())
        GTEST_SKIP() << "this processor does not say which register states are in use";
    constexpr std::uint64_t kUpperHalves = (1u << 2) | (1u << 6); // YMM and ZMM upper halves
    const QString path = threeImageWim();
    for (const DWORD access : {DWORD{GENERIC_READ}, kReadWrite}) {
        HANDLE h = openWim(path, access);
        const std::uint64_t inUse = registerStatesInUse().value_or(0);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(inUse & kUpperHalves, 0u) << std::hex << inUse;
        WIMCloseHandle(h);
    }
}

TEST(ImagingCallbacks, Registration)
{
    EXPECT_EQ(WIMRegisterMessageCallback(nullptr, nullptr, nullptr), INVALID_CALLBACK_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    int notAHandle = 0;
    EXPECT_EQ(WIMRegisterMessageCallback(&notAHandle, noteCallback, nullptr),
              INVALID_CALLBACK_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    const DWORD index = WIMRegisterMessageCallback(nullptr, noteCallback, nullptr);
    EXPECT_NE(index, INVALID_CALLBACK_VALUE);
    EXPECT_EQ(WIMRegisterMessageCallback(nullptr, noteCallback, nullptr), index);
    EXPECT_TRUE(WIMUnregisterMessageCallback(nullptr, noteCallback));
    EXPECT_FALSE(WIMUnregisterMessageCallback(nullptr, noteCallback));
}

} // namespace
