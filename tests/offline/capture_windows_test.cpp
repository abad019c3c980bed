// Capture of a generated offline installation through the real capture operation: the WIM
// that comes out carries the WINDOWS element detection wrote, with the page's FLAGS in
// place of the detected edition when one was given.

#include "support/OfflineTree.h"
#include "support/OperationRun.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

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

    // Append with the page's FLAGS: it replaces what detection wrote.
    oprun::freshRequest();
    request.captureSource = source;
    request.captureTarget = wim;
    request.captureFlags = QStringLiteral("Enterprise");
    ASSERT_TRUE(oprun::runOperation(ID_APPEND, port));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "FLAGS"), "Enterprise");
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "WINDOWS/PRODUCTTYPE"), "WinNT");

    // Detection logs nothing and leaves no copy behind.
    EXPECT_FALSE(oprun::logText().contains("OFL"));
    EXPECT_EQ(QDir(root + "/System32/config").entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"SOFTWARE", "SYSTEM"}));
    globalContext().progressWindow = nullptr;
}

} // namespace
