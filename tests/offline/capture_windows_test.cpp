// Capture of a generated offline installation through the real capture operation: the WIM
// that comes out carries the WINDOWS element detection wrote, with the page's FLAGS in
// place of the detected edition when one was given.

#include "support/OfflineTree.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

// The names of the child elements of image `index`, in the file's order.
QStringList imageChildren(const QString& wim, int index)
{
    const QString xml = wimfix::imagexXml(wim);
    const QString open = QStringLiteral("<IMAGE INDEX=\"%1\">").arg(index);
    const qsizetype start = xml.indexOf(open);
    const QString image = xml.mid(start + open.size(), xml.indexOf("</IMAGE>", start) - start - open.size());
    QStringList names;
    int depth = 0;
    static const QRegularExpression tag(QStringLiteral("<(/?)([A-Z]+)[^>]*?(/?)>"));
    for (auto it = tag.globalMatch(image); it.hasNext();) {
        const auto m = it.next();
        if (m.captured(1) == "/") {
            --depth;
        } else {
            if (depth == 0)
                names << m.captured(2);
            if (m.captured(3).isEmpty())
                ++depth;
        }
    }
    return names;
}

TEST(CaptureOfflineWindows, TheWimCarriesTheDescription)
{
    TempDir dir;
    RecordingPort port;
    const QString source = dir.file("源/disk");
    const QString root = offlinefix::buildOfflineTree(source);
    const QString wim = dir.file("windows.wim");

    // A new WIM: FLAGS is the detected edition.
    OperationRequest& request = oprun::freshRequest();
    request.captureSource = source + u'/'; // as a folder picker may give it
    request.captureTarget = wim;
    request.captureName = QStringLiteral("Windows 7");
    ASSERT_TRUE(oprun::runOperation(ID_CAPTURE, port));
    ASSERT_TRUE(oprun::logText().contains(QStringLiteral("WIM 捕获成功")))
        << oprun::logText().toStdString();

    EXPECT_EQ(wimfix::imageProperty(wim, 1, "FLAGS"), "ULTIMATE");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), "Windows 7");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/ARCH"), "9");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/PRODUCTNAME"),
              offlinefix::Installation::defaultProductName());
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/HAL"), "acpiapic_up");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/LANGUAGES/LANGUAGE"), "en-US");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/LANGUAGES/DEFAULT"), "zh-CN");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/VERSION/BUILD"), "3");
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "WINDOWS/SYSTEMROOT"), "WINDOWS");
    const QString xml = wimfix::imagexXml(wim);
    EXPECT_TRUE(xml.contains("<SPBUILD>4</SPBUILD>")) << xml.toStdString();
    // Detection puts FLAGS and WINDOWS first among the image's children; the times libwim
    // keeps follow its counts.
    const QStringList described = {"FLAGS",        "WINDOWS",      "DIRCOUNT",
                                   "FILECOUNT",    "TOTALBYTES",   "HARDLINKBYTES",
                                   "CREATIONTIME", "LASTMODIFICATIONTIME", "NAME"};
    EXPECT_EQ(imageChildren(wim, 1).mid(0, described.size()), described) << xml.toStdString();

    // Append with the page's FLAGS: it replaces what detection wrote.
    oprun::freshRequest();
    request.captureSource = source;
    request.captureTarget = wim;
    request.captureFlags = QStringLiteral("Enterprise");
    ASSERT_TRUE(oprun::runOperation(ID_APPEND, port));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "FLAGS"), "Enterprise");
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "WINDOWS/PRODUCTTYPE"), "WinNT");
    EXPECT_EQ(imageChildren(wim, 2).mid(0, 8), described.mid(0, 8)) << wimfix::imagexXml(wim).toStdString();

    // Detection logs nothing and leaves no copy behind.
    EXPECT_FALSE(oprun::logText().contains("OFL"));
    EXPECT_EQ(QDir(root + "/System32/config").entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"SOFTWARE", "SYSTEM"}));
    globalContext().progressWindow = nullptr;
}

} // namespace
