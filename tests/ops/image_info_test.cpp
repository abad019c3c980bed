// Image information through the imaging layer on WIM files written by libwim at test time,
// checked with libwim and wimlib-imagex directly.
#include "meta/WimPatch.h"
#include "ops/ImageInfoOps.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "support/RecordingPort.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <gtest/gtest.h>

#include <QFile>

#include <functional>
#include <limits>

namespace
{

const QString kXmlError = QStringLiteral("错误:不能正确解析 WIM 文件的 XML 信息.");

class ImageInfoTest : public testing::Test
{
protected:
    TempDir dir;
    QString wim;
    RecordingPort port;
    OperationContext context;

    void SetUp() override
    {
        context.progressWindow = &port;
        const QString source = dir.mkdir(QStringLiteral("tree"));
        wimfix::makeSampleTree(source);
        wim = dir.file(QStringLiteral("info.wim"));
        wimfix::WimRecipe recipe;
        recipe.images.push_back({source,
                               QStringLiteral("Win"),
                               QStringLiteral("描述"),
                               {{QStringLiteral("FLAGS"), QStringLiteral("Ultimate")},
                                {QStringLiteral("DISPLAYNAME"), QStringLiteral("显示名")},
                                {QStringLiteral("DISPLAYDESCRIPTION"), QStringLiteral("dd")}}});
        recipe.images.push_back({source, QString(), QString(), {}});
        ASSERT_TRUE(wimfix::makeWim(wim, recipe));
    }
    void TearDown() override { context.progressWindow = nullptr; }

    // Opens the file and image, runs body with the image handle, closes image then file.
    template <typename Body> void withImage(DWORD access, DWORD index, Body body)
    {
        DWORD created = 0;
        HANDLE file = WIMCreateFile(wide(wim), access, WIM_OPEN_EXISTING, 0, 0, &created);
        ASSERT_NE(file, nullptr) << GetLastError();
        HANDLE image = WIMLoadImage(file, index);
        ASSERT_NE(image, nullptr) << GetLastError();
        body(image);
        WIMCloseHandle(image);
        EXPECT_TRUE(WIMCloseHandle(file)) << GetLastError();
    }
};

TEST_F(ImageInfoTest, ReadsTheRecordOfAnImage)
{
    withImage(WIM_GENERIC_READ, 1, [&](HANDLE image) {
        ImageInfo info;
        ASSERT_TRUE(readImageInfo(context, image, info));
        EXPECT_EQ(info.name, QStringLiteral("Win"));
        EXPECT_EQ(info.description, QStringLiteral("描述"));
        EXPECT_EQ(info.flags, QStringLiteral("Ultimate"));
        EXPECT_EQ(info.displayName, QStringLiteral("显示名"));
        EXPECT_EQ(info.displayDescription, QStringLiteral("dd"));
        const auto property = [&](const char* name) {
            return wimfix::imageProperty(wim, 1, QString::fromLatin1(name)).toLongLong();
        };
        EXPECT_GT(info.fileCount, 0);
        EXPECT_EQ(info.fileCount, property("FILECOUNT"));
        EXPECT_EQ(info.dirCount, property("DIRCOUNT"));
        EXPECT_EQ(info.totalBytes, property("TOTALBYTES"));
    });
    withImage(WIM_GENERIC_READ, 2, [&](HANDLE image) {
        ImageInfo info;
        info.name = QStringLiteral("stale");
        ASSERT_TRUE(readImageInfo(context, image, info));
        EXPECT_TRUE(info.name.isEmpty());
        EXPECT_TRUE(info.flags.isEmpty());
    });
    EXPECT_TRUE(port.boxes().isEmpty());
}

// Names with markup characters, quotes, Chinese text and characters outside the BMP are
// stored as they are: libwim and wimlib-imagex read them back unchanged, no element is
// injected, and another rewrite does not escape them again.
TEST_F(ImageInfoTest, ValuesRoundTripThroughTheFile)
{
    const QString values[] = {
        QStringLiteral("Tom & Jerry"),
        QStringLiteral("x</NAME><FLAGS>injected</FLAGS><NAME>y"),
        QStringLiteral("\"quoted\" 'single' <angle> &amp;"),
        QStringLiteral("中文名称 简体"),
        QString::fromUcs4(U"emoji \U0001F600 and \U00020B9F"),
    };
    for (const QString& value : values) {
        withImage(WIM_GENERIC_READ | WIM_GENERIC_WRITE, 1, [&](HANDLE image) {
            EXPECT_TRUE(setImageElement(context, image, QStringLiteral("NAME"), value));
            EXPECT_TRUE(setImageElement(context, image, QStringLiteral("DESCRIPTION"), value));
        });
        EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("NAME")), value);
        EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("DESCRIPTION")), value);
        EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("FLAGS")),
                  QStringLiteral("Ultimate"));
        const QString xml = wimfix::imagexXml(wim);
        EXPECT_FALSE(xml.contains(QStringLiteral("injected</FLAGS>"))) << xml.toStdString();
        // Escaped exactly once in the file.
        QString escaped = value;
        escaped.replace(u'&', QStringLiteral("&amp;"))
            .replace(u'<', QStringLiteral("&lt;"))
            .replace(u'>', QStringLiteral("&gt;"));
        EXPECT_TRUE(xml.contains(QStringLiteral("<NAME>") + escaped + QStringLiteral("</NAME>")))
            << xml.toStdString();
        withImage(WIM_GENERIC_READ, 1, [&](HANDLE image) {
            ImageInfo info;
            ASSERT_TRUE(readImageInfo(context, image, info));
            EXPECT_EQ(info.name, value);
            EXPECT_EQ(info.description, value);
        });
    }
    EXPECT_TRUE(port.boxes().isEmpty());
    EXPECT_TRUE(port.logLines().isEmpty());
}

TEST_F(ImageInfoTest, SetKeepsPlaceAndAppendsMissingElements)
{
    withImage(WIM_GENERIC_READ | WIM_GENERIC_WRITE, 2, [&](HANDLE image) {
        std::unique_ptr<XmlDocument> before = loadInfoXml(image);
        ASSERT_NE(before, nullptr);
        const XmlNode* firstBefore = before->root().firstChild();
        ASSERT_NE(firstBefore, nullptr);
        const QString firstName = firstBefore->name();
        const QString rootName = before->root().name();

        ASSERT_TRUE(setImageElement(context, image, QStringLiteral("NAME"), QStringLiteral("n")));
        ASSERT_TRUE(
            setImageElement(context, image, QStringLiteral("FLAGS"), QStringLiteral("Core")));
        std::unique_ptr<XmlDocument> after = loadInfoXml(image);
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(after->root().name(), rootName);
        EXPECT_EQ(after->root().firstChild()->name(), firstName);
        ASSERT_NE(after->root().lastChild(), nullptr);
        EXPECT_EQ(after->root().lastChild()->name(), QStringLiteral("FLAGS"));
        EXPECT_EQ(after->root().lastChild()->previousSibling()->name(), QStringLiteral("NAME"));

        // Changing an existing element keeps its place.
        ASSERT_TRUE(setImageElement(context, image, QStringLiteral("NAME"), QStringLiteral("n2")));
        after = loadInfoXml(image);
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(after->root().lastChild()->previousSibling()->text(), QStringLiteral("n2"));
    });
    EXPECT_EQ(wimfix::imageProperty(wim, 2, QStringLiteral("NAME")), QStringLiteral("n2"));
    EXPECT_EQ(wimfix::imageProperty(wim, 2, QStringLiteral("FLAGS")), QStringLiteral("Core"));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("NAME")), QStringLiteral("Win"));
}

// Changing elements of an image whose information another tool wrote: in the file only the
// changed texts differ and missing elements are added at the end; every other element keeps
// its place, attributes, prefix, namespace declaration and form, the image its attributes.
// What the layer shows before the close is what it reads back from the file afterwards.
TEST_F(ImageInfoTest, ChangesKeepTheRestOfTheFile)
{
    const QString hand = handMadeWimXml();
    const QString image = imageElementsOf(hand);
    const auto set = [this](const char* name, const char* value) {
        return [this, name, value](HANDLE h) {
            EXPECT_TRUE(
                setImageElement(context, h, QString::fromLatin1(name), QString::fromUtf8(value)));
        };
    };
    using Step = std::function<void(HANDLE)>;
    const struct {
        const char* what;
        std::vector<Step> steps;
        QString expected;
    } cases[] = {
        {"stored back unchanged",
         {[](HANDLE h) {
             std::unique_ptr<XmlDocument> doc = loadInfoXml(h);
             ASSERT_NE(doc, nullptr);
             EXPECT_TRUE(storeInfoXml(h, *doc));
         }},
         image},
        {"name", {set("NAME", "新名称")}, QString(image).replace(">Img<", ">新名称<")},
        {"modify's five fields",
         {set("FLAGS", "Ultimate"), set("DISPLAYDESCRIPTION", "dd"), set("DISPLAYNAME", "dn"),
          set("DESCRIPTION", "d"), set("NAME", "n")},
         QString(image)
             .replace(">Pro<", ">Ultimate<")
             .replace(">Img<", ">n<")
             .replace("\n</IMAGE>", "\n<DISPLAYDESCRIPTION>dd</DISPLAYDESCRIPTION>"
                                    "<DISPLAYNAME>dn</DISPLAYNAME><DESCRIPTION>d</DESCRIPTION>"
                                    "</IMAGE>")},
        {"a child of a prefixed element",
         {[](HANDLE h) {
             std::unique_ptr<XmlDocument> doc = loadInfoXml(h);
             ASSERT_NE(doc, nullptr);
             XmlNode* foo = doc->root().findChild(u"x:foo");
             ASSERT_NE(foo, nullptr);
             foo->findChild(u"x:bar")->setText(QStringLiteral("c"));
             EXPECT_TRUE(storeInfoXml(h, *doc));
         }},
         QString(image).replace(">b<", ">c<")},
    };
    const QString source = dir.mkdir(QStringLiteral("hand"));
    wimfix::makeTree(source, {{QStringLiteral("a.txt"), "a"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wim = dir.file(QStringLiteral("hand.wim"));
        QFile::remove(wim);
        wimfix::WimRecipe recipe;
        recipe.images.push_back({source, QStringLiteral("Img"), QString(), {}});
        ASSERT_TRUE(wimfix::makeWim(wim, recipe));
        ASSERT_TRUE(replaceWimXml(wim, hand));
        const QByteArray digest = wimfix::fileDigest(wim);
        QString pending;
        withImage(WIM_GENERIC_READ | WIM_GENERIC_WRITE, 1, [&](HANDLE h) {
            for (const Step& step : c.steps)
                step(h);
            ASSERT_TRUE(loadInfoText(h, pending));
        });
        EXPECT_EQ(imageElementsOf(wimfix::imagexXml(wim)), c.expected);
        EXPECT_EQ(wimfix::fileDigest(wim) == digest, c.expected == image);
        withImage(WIM_GENERIC_READ, 1, [&](HANDLE h) {
            QString reread;
            ASSERT_TRUE(loadInfoText(h, reread));
            EXPECT_EQ(pending, reread);
            EXPECT_TRUE(reread.contains(QStringLiteral("<x:foo xmlns:x=\"urn:a\">")));
            EXPECT_TRUE(reread.contains(QStringLiteral("<EMPTYEL/>")));
        });
        EXPECT_TRUE(wimfix::imagexVerify(wim));
    }
    EXPECT_TRUE(port.boxes().isEmpty());
    EXPECT_TRUE(port.logLines().isEmpty());
}

// The Windows description puts FLAGS and WINDOWS before every element of a captured image:
// they are first in the file too, and libwim's own elements keep their values.
TEST_F(ImageInfoTest, ElementsPutFirstAreFirstInTheFile)
{
    const auto namesAndTexts = [](const XmlNode& parent) {
        QStringList names;
        for (const XmlNode* c = parent.firstChild(); c; c = c->nextSibling())
            names << c->name() + u'=' + c->text();
        return names;
    };
    const auto childrenOf = [&](const QString& xml) {
        XmlDocument doc;
        EXPECT_TRUE(doc.parse(xml));
        return namesAndTexts(doc.root());
    };
    QString before;
    QString pending;
    withImage(WIM_GENERIC_READ | WIM_GENERIC_WRITE, 2, [&](HANDLE image) {
        ASSERT_TRUE(loadInfoText(image, before));
        std::unique_ptr<XmlDocument> doc = loadInfoXml(image);
        ASSERT_NE(doc, nullptr);
        XmlNode* windows = doc->root().prependChild(std::make_unique<XmlNode>("WINDOWS"));
        windows->appendChild(std::make_unique<XmlNode>("ARCH"))->setText(QStringLiteral("9"));
        XmlNode* version = windows->appendChild(std::make_unique<XmlNode>("VERSION"));
        version->appendChild(std::make_unique<XmlNode>("BUILD"))->setText(QStringLiteral("7601"));
        doc->root().prependChild(std::make_unique<XmlNode>("FLAGS"))->setText("ULTIMATE");
        ASSERT_TRUE(storeInfoXml(image, *doc));
        ASSERT_TRUE(setImageElement(context, image, QStringLiteral("NAME"), QStringLiteral("n")));
        ASSERT_TRUE(loadInfoText(image, pending));
    });
    const QStringList expected =
        QStringList{QStringLiteral("FLAGS=ULTIMATE"), QStringLiteral("WINDOWS=")} +
        childrenOf(before) + QStringList{QStringLiteral("NAME=n")};
    XmlDocument file;
    ASSERT_TRUE(file.parse(wimfix::imagexXml(wim)));
    const XmlNode* second = file.root().firstChild()->nextSibling();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(namesAndTexts(*second), expected);
    withImage(WIM_GENERIC_READ, 2, [&](HANDLE image) {
        QString reread;
        ASSERT_TRUE(loadInfoText(image, reread));
        EXPECT_EQ(childrenOf(reread), expected);
        EXPECT_EQ(reread, pending);
    });
    EXPECT_EQ(wimfix::imageProperty(wim, 2, QStringLiteral("WINDOWS/VERSION/BUILD")),
              QStringLiteral("7601"));
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

TEST_F(ImageInfoTest, UnreadableXmlShowsTheBoxAndClearsTheRecord)
{
    ImageInfo info;
    info.name = QStringLiteral("junk");
    info.fileCount = 7;
    info.totalBytes = 9;
    EXPECT_FALSE(readImageInfo(context, nullptr, info));
    EXPECT_TRUE(info.name.isEmpty());
    EXPECT_EQ(info.fileCount, 0);
    EXPECT_EQ(info.totalBytes, 0);
    EXPECT_FALSE(setImageElement(context, nullptr, QStringLiteral("NAME"), QStringLiteral("x")));

    const std::vector<RecordingPort::Call> calls = port.calls();
    ASSERT_EQ(calls.size(), 2u);
    for (const RecordingPort::Call& call : calls) {
        EXPECT_EQ(call.kind, RecordingPort::Call::Box);
        EXPECT_EQ(call.text, kXmlError);
        EXPECT_EQ(call.caption, QStringLiteral("信息"));
    }
    EXPECT_TRUE(port.logLines().isEmpty());
}

// XML the tree refuses (mixed content that libwim accepts): the box once per call, a
// cleared record, and nothing written to the file.
TEST_F(ImageInfoTest, UnparsableImageXmlIsNeverWrittenBack)
{
    ASSERT_TRUE(patchUtf16(wim, QStringLiteral("Ultimate"), QStringLiteral("Ul<a/>te")));
    const QByteArray digest = wimfix::fileDigest(wim);
    withImage(WIM_GENERIC_READ | WIM_GENERIC_WRITE, 1, [&](HANDLE image) {
        ImageInfo info;
        EXPECT_FALSE(readImageInfo(context, image, info));
        EXPECT_TRUE(info.name.isEmpty());
        EXPECT_EQ(info.fileCount, 0);
        EXPECT_FALSE(
            setImageElement(context, image, QStringLiteral("NAME"), QStringLiteral("new")));
    });
    EXPECT_EQ(port.boxes().size(), 2);
    EXPECT_TRUE(port.logLines().isEmpty());
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
}

// A change the library refuses is logged with its reason, never dropped silently, and the
// file stays readable and unchanged: a read-only file, and a value with a character XML
// cannot hold.
TEST_F(ImageInfoTest, RefusedStoreIsLogged)
{
    const struct {
        DWORD access;
        QString value;
    } cases[] = {
        {WIM_GENERIC_READ, QStringLiteral("x")},
        {WIM_GENERIC_READ | WIM_GENERIC_WRITE, QStringLiteral("bad \u0001 char")},
    };
    for (const auto& c : cases) {
        port.clear();
        const QByteArray digest = wimfix::fileDigest(wim);
        withImage(c.access, 1, [&](HANDLE image) {
            EXPECT_FALSE(setImageElement(context, image, QStringLiteral("NAME"), c.value));
        });
        const QStringList lines = port.logLines();
        ASSERT_EQ(lines.size(), 1) << c.value.toStdString();
        EXPECT_TRUE(lines[0].startsWith(QStringLiteral("错误: "))) << lines[0].toStdString();
        EXPECT_NE(lines[0], QStringLiteral("错误: ???"));
        EXPECT_EQ(wimfix::fileDigest(wim), digest);
        EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("NAME")), QStringLiteral("Win"));
        EXPECT_TRUE(port.boxes().isEmpty());
    }
}

TEST(DecimalValue, ConvertsLikeTheCountsAreRead)
{
    const struct {
        const char16_t* text;
        std::int64_t value;
    } cases[] = {
        {u"12", 12},
        {u"12abc", 12},
        {u"", 0},
        {u"abc", 0},
        {u"  \t\r\n42", 42},
        {u"-5", -5},
        {u"+7", 7},
        {u"- 7", 0},
        {u"3 4", 3},
        {u"5368709120", 5368709120LL},
        {u"99999999999999999999", std::numeric_limits<std::int64_t>::max()},
        {u"-99999999999999999999", std::numeric_limits<std::int64_t>::min()},
        {u"\uFF11", 0}, // full-width digit is not a digit here
    };
    for (const auto& c : cases)
        EXPECT_EQ(decimalValue(QStringView(c.text)), c.value)
            << QString::fromUtf16(c.text).toStdString();
}

} // namespace
