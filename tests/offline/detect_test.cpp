// The whole detection run on WIM images of generated installation trees: the WINDOWS and
// FLAGS elements it writes through the imaging layer, and what it leaves behind (no hive
// copy, no loaded key) on every way out, including hostile trees.

#include "offline/OfflineWindows.h"

#include "meta/ImageInfo.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"
#include "platform/Privileges.h"
#include "platform/Registry.h"

#include "support/HiveFixture.h"
#include "support/OfflineTree.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <memory>

namespace {

// Names of a folder's children, in order.
QStringList childNames(const XmlNode& node)
{
    QStringList names;
    for (XmlNode* c = node.firstChild(); c; c = c->nextSibling())
        names << c->name();
    return names;
}

QString childText(const XmlNode* node, const QString& path)
{
    for (const QString& part : path.split(u'/')) {
        if (!node)
            return QStringLiteral("<missing>");
        node = node->findChild(part);
    }
    return node ? node->text() : QStringLiteral("<missing>");
}

bool keyLoaded(const char16_t* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, name, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class DetectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        source = dir.file(QStringLiteral("src"));
        wimPath = dir.file(QStringLiteral("image.wim"));
    }

    void TearDown() override { SetPrivilegesHeld(true); }

    QString config() const { return source + QStringLiteral("/Windows/System32/config"); }

    // Captures `folder` with libwim, without libwim's own description of a Windows tree
    // (the imaging layer drops it too), plus the given elements.
    void capture(const QString& folder, std::map<QString, QString> elements = {})
    {
        wimfix::WimRecipe recipe;
        wimfix::ImageRecipe image;
        image.source = folder;
        image.name = QStringLiteral("WIM1");
        image.elements = std::move(elements);
        recipe.images.push_back(image);
        QString error;
        ASSERT_TRUE(wimfix::makeWim(wimPath, recipe, &error)) << error.toStdString();
    }

    struct Result {
        int xmlErrors = 0;
        std::unique_ptr<XmlDocument> xml; // the image's information after the run
        bool committed = false;
    };

    // Runs detection on image 1 of the WIM, as the capture does right after capturing.
    Result detect(const QString& folder, bool nullImage = false)
    {
        Result r;
        DWORD created = 0;
        HANDLE wim = WIMCreateFile(wide(wimPath), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, 0,
                                   &created);
        EXPECT_NE(wim, nullptr) << GetLastError();
        if (!wim)
            return r;
        HANDLE image = WIMLoadImage(wim, 1);
        EXPECT_NE(image, nullptr);
        SetLastError(4321);
        DetectOfflineWindows(
            nullImage ? nullptr : image, [&r] { ++r.xmlErrors; }, folder);
        EXPECT_EQ(GetLastError(), 4321u) << "detection leaves the last-error code alone";
        r.xml = loadInfoXml(image);
        WIMCloseHandle(image);
        r.committed = WIMCloseHandle(wim);
        EXPECT_FALSE(keyLoaded(u"OFL_SOFTWARE"));
        EXPECT_FALSE(keyLoaded(u"OFL_SYSTEM"));
        return r;
    }

    void expectNoCopies(const QString& configFolder)
    {
        const QStringList left =
            QDir(configFolder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
        EXPECT_EQ(left, (QStringList{"SOFTWARE", "SYSTEM"}));
    }

    TempDir dir;
    QString source;
    QString wimPath;
};

TEST_F(DetectTest, DescribesTheInstallation)
{
    offlinefix::buildOfflineTree(source);
    capture(source, {{QStringLiteral("DESCRIPTION"), QStringLiteral("kept")}});
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xmlErrors, 0);
    const XmlNode& root = r.xml->root();

    // FLAGS first, then WINDOWS, then what the image had. (The imaging layer keeps the
    // elements libwim maintains itself, the counts and times, ahead of all others.)
    QStringList children = childNames(root);
    for (const char* maintained : {"DIRCOUNT", "FILECOUNT", "TOTALBYTES", "HARDLINKBYTES",
                                   "CREATIONTIME", "LASTMODIFICATIONTIME"})
        children.removeAll(QLatin1String(maintained));
    EXPECT_EQ(children, (QStringList{"FLAGS", "WINDOWS", "NAME", "DESCRIPTION"}));
    EXPECT_EQ(root.findChild(u"FLAGS")->text(), "ULTIMATE");

    const XmlNode* windows = root.findChild(u"WINDOWS");
    EXPECT_EQ(childNames(*windows),
              (QStringList{"ARCH", "PRODUCTNAME", "HAL", "PRODUCTTYPE", "PRODUCTSUITE", "LANGUAGES",
                           "VERSION", "SYSTEMROOT"}));
    EXPECT_EQ(childText(windows, "ARCH"), "9");
    EXPECT_EQ(childText(windows, "PRODUCTNAME"), offlinefix::Installation::defaultProductName());
    EXPECT_EQ(childText(windows, "HAL"), "acpiapic_up");
    EXPECT_EQ(childText(windows, "PRODUCTTYPE"), "WinNT");
    EXPECT_EQ(childText(windows, "PRODUCTSUITE"), "Terminal Server");
    EXPECT_EQ(childNames(*windows->findChild(u"LANGUAGES")),
              (QStringList{"LANGUAGE", "LANGUAGE", "DEFAULT"}));
    EXPECT_EQ(windows->findChild(u"LANGUAGES")->firstChild()->text(), "en-US");
    EXPECT_EQ(childText(windows, "LANGUAGES/DEFAULT"), "zh-CN");
    EXPECT_EQ(childNames(*windows->findChild(u"VERSION")),
              (QStringList{"MAJOR", "MINOR", "BUILD", "SPBUILD"}));
    EXPECT_EQ(childText(windows, "VERSION/MAJOR") + childText(windows, "VERSION/MINOR") +
                  childText(windows, "VERSION/BUILD") + childText(windows, "VERSION/SPBUILD"),
              "1234");
    EXPECT_EQ(childText(windows, "SYSTEMROOT"), "WINDOWS");
    expectNoCopies(config());

    // Written to the file: read back by libwim and by wimlib-imagex.
    EXPECT_TRUE(r.committed);
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "WINDOWS/ARCH"), "9");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "WINDOWS/LANGUAGES/DEFAULT"), "zh-CN");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "FLAGS"), "ULTIMATE");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "DESCRIPTION"), "kept");
    const QString xml = wimfix::imagexXml(wimPath);
    EXPECT_TRUE(xml.contains("<PRODUCTNAME>" + offlinefix::Installation::defaultProductName() +
                             "</PRODUCTNAME>"))
        << xml.toStdString();
    EXPECT_TRUE(xml.contains("<SPBUILD>4</SPBUILD>"));
}

TEST_F(DetectTest, ElementsTheImageAlreadyHasStay)
{
    struct Case {
        const char* what;
        std::map<QString, QString> elements;
        std::optional<QString> edition;
        const char* flags; // FLAGS after the run; nullptr: none
        const char* arch;  // WINDOWS/ARCH after the run
    } cases[] = {
        {"existing WINDOWS is kept, FLAGS still added",
         {{"WINDOWS/ARCH", "0"}, {"WINDOWS/EDITIONID", "Starter"}},
         QString("Ultimate"),
         "ULTIMATE",
         "0"},
        {"existing FLAGS is kept",
         {{"FLAGS", "Professional"}},
         QString("Ultimate"),
         "Professional",
         "9"},
        {"no edition adds no FLAGS", {}, std::nullopt, nullptr, "9"},
        {"an empty edition adds no FLAGS", {}, QString(""), nullptr, "9"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir caseDir;
        source = caseDir.file("src");
        wimPath = caseDir.file("image.wim");
        offlinefix::Installation installation;
        installation.editionId = c.edition;
        offlinefix::buildOfflineTree(source, installation);
        capture(source, c.elements);
        const Result r = detect(source);
        ASSERT_TRUE(r.xml);
        const XmlNode* flags = r.xml->root().findChild(u"FLAGS");
        if (c.flags) {
            ASSERT_NE(flags, nullptr);
            EXPECT_EQ(flags->text(), c.flags);
        } else {
            EXPECT_EQ(flags, nullptr);
        }
        EXPECT_EQ(childText(r.xml->root().findChild(u"WINDOWS"), "ARCH"), c.arch);
        if (c.elements.count("WINDOWS/EDITIONID")) {
            EXPECT_EQ(childText(r.xml->root().findChild(u"WINDOWS"), "EDITIONID"), "Starter");
        }
        EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "WINDOWS/ARCH"), c.arch);
    }
}

// Values XML cannot carry (a DWORD read as text, a control character) are left empty; the
// WINDOWS element is still written and reaches the file.
TEST_F(DetectTest, ValuesXmlCannotCarryLeaveTheirElementsEmpty)
{
    offlinefix::Installation installation;
    const QByteArray dwordOne("\x01\0\0\0", 4);
    installation.rawValues = {
        {"SOFTWARE", "Microsoft\\Windows NT\\CurrentVersion", "EditionID", 4, dwordOne},
        {"SYSTEM", "ControlSet001\\Control\\ProductOptions", "ProductType", 1,
         hivefix::utf16Bytes(QStringLiteral("Win") + QChar(0x1B) + QStringLiteral("NT"))},
    };
    offlinefix::buildOfflineTree(source, installation);
    capture(source);
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_TRUE(r.committed);
    EXPECT_EQ(r.xml->root().findChild(u"FLAGS"), nullptr) << "no edition, no FLAGS";
    const XmlNode* windows = r.xml->root().findChild(u"WINDOWS");
    ASSERT_NE(windows, nullptr);
    EXPECT_EQ(childText(windows, "PRODUCTTYPE"), "");
    EXPECT_EQ(childText(windows, "HAL"), "acpiapic_up");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "WINDOWS/ARCH"), "9");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "WINDOWS/PRODUCTSUITE"), "Terminal Server");
    EXPECT_TRUE(wimfix::imageProperty(wimPath, 1, "FLAGS").isNull());
    expectNoCopies(config());
}

// A folder WINDOWS holding only a kernel file beside the complete Windows: the exact name is
// tried first and fails, then the other spelling describes the installation.
TEST_F(DetectTest, EveryLetterCaseOfTheSystemFolderIsTried)
{
    offlinefix::buildOfflineTree(source);
    dir.write("src/WINDOWS/System32/Kernel32.dll", "MZ");
    capture(source);
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(childText(r.xml->root().findChild(u"WINDOWS"), "VERSION/BUILD"), "3");
    EXPECT_EQ(wimfix::imageProperty(wimPath, 1, "FLAGS"), "ULTIMATE");
    expectNoCopies(config());
}

TEST_F(DetectTest, NoInstallationNoLanguagesNoVersion)
{
    // The system folder itself captured: nothing is found and nothing is written.
    offlinefix::buildOfflineTree(source);
    capture(source);
    Result r = detect(source + QStringLiteral("/Windows"));
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_EQ(r.xml->root().findChild(u"FLAGS"), nullptr);

    // No UILanguages and a kernel file without version resource.
    TempDir other;
    source = other.file("src");
    wimPath = other.file("image.wim");
    offlinefix::Installation installation;
    installation.uiLanguagesKey = false;
    installation.kernel = pefix::PeSpec{};
    offlinefix::buildOfflineTree(source, installation);
    capture(source);
    r = detect(source + u'/'); // a trailing slash changes nothing
    ASSERT_TRUE(r.xml);
    const XmlNode* windows = r.xml->root().findChild(u"WINDOWS");
    ASSERT_NE(windows, nullptr);
    EXPECT_EQ(windows->findChild(u"LANGUAGES"), nullptr);
    EXPECT_EQ(childText(windows, "PRODUCTNAME"), "");
    EXPECT_EQ(childText(windows, "VERSION/MAJOR"), "");
    EXPECT_EQ(childText(windows, "ARCH"), "9");
    expectNoCopies(config());
}

TEST_F(DetectTest, WithoutPrivilegesNothingIsWritten)
{
    offlinefix::buildOfflineTree(source);
    capture(source);
    const auto before = wimfix::treeContents(source);
    SetPrivilegesHeld(false);
    const Result r = detect(source);
    SetPrivilegesHeld(true);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_EQ(wimfix::treeContents(source), before);
}

TEST_F(DetectTest, LeftoversOfAnEarlierRunAndPlantedLinks)
{
    offlinefix::buildOfflineTree(source);
    capture(source);
    // A stale copy and a link planted where the other copy goes.
    const QString victim = dir.write("elsewhere/precious", "do not touch");
    dir.write("src/Windows/System32/config/SOFTWARE.OFL", "stale copy");
    ASSERT_EQ(::symlink(QFile::encodeName(victim).constData(),
                        QFile::encodeName(config() + "/SYSTEM.OFL").constData()),
              0);
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_NE(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_EQ(readFileBytes(victim), QByteArray("do not touch"));
    expectNoCopies(config());
    EXPECT_FALSE(QFileInfo(config() + "/SYSTEM.OFL").isSymLink());
}

// A config folder that links out of the captured tree: detection writes nothing there.
TEST_F(DetectTest, NoCopiesOutsideTheCapturedFolder)
{
    const QString outside = dir.file("outside");
    offlinefix::buildOfflineTree(outside);
    dir.write("outside/Windows/System32/config/SOFTWARE.OFL", "someone's file");
    offlinefix::buildOfflineTree(source);
    QDir(config()).removeRecursively();
    ASSERT_EQ(::symlink(QFile::encodeName(outside + "/Windows/System32/config").constData(),
                        QFile::encodeName(config()).constData()),
              0);
    QString root;
    ASSERT_TRUE(FindSystemRoot(source, root)) << "the installation is found through the link";
    capture(source);
    const auto before = wimfix::treeContents(outside);
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_EQ(wimfix::treeContents(outside), before);
}

TEST_F(DetectTest, AKeyStillLoadedEndsTheRun)
{
    offlinefix::buildOfflineTree(source);
    capture(source);
    // An earlier run that never unloaded its key.
    ASSERT_EQ(RegLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SOFTWARE", wide(config() + "/SOFTWARE")),
              ERROR_SUCCESS);
    DWORD created = 0;
    HANDLE wim =
        WIMCreateFile(wide(wimPath), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, 0, &created);
    ASSERT_NE(wim, nullptr);
    HANDLE image = WIMLoadImage(wim, 1);
    DetectOfflineWindows(image, {}, source);
    auto xml = loadInfoXml(image);
    WIMCloseHandle(image);
    WIMCloseHandle(wim);
    ASSERT_TRUE(xml);
    EXPECT_EQ(xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_TRUE(keyLoaded(u"OFL_SOFTWARE")) << "someone else's key is not unloaded";
    EXPECT_FALSE(keyLoaded(u"OFL_SYSTEM"));
    expectNoCopies(config());
    RegUnLoadKeyW(HKEY_LOCAL_MACHINE, u"OFL_SOFTWARE");
}

// Hostile trees: corrupt hives end the run quietly; a corrupt kernel file leaves its fields
// empty. Every run cleans up after itself.
TEST_F(DetectTest, HostileFilesEndTheRunQuietly)
{
    struct Case {
        const char* what;
        const char* file; // below the system folder
        QByteArray bytes;
        bool windowsElement;
    } cases[] = {
        {"SOFTWARE is not a hive", "System32/config/SOFTWARE", "not a hive", false},
        {"SYSTEM is not a hive", "System32/config/SYSTEM", QByteArray(0x2000, 'x'), false},
        {"SYSTEM is cut short", "System32/config/SYSTEM",
         QByteArray("regf") + QByteArray(0x2000, '\0'), false},
        {"kernel32.dll is garbage", "System32/kernel32.dll",
         QByteArray("MZ") + QByteArray(600, '\xff'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir caseDir;
        source = caseDir.file("src");
        wimPath = caseDir.file("image.wim");
        const QString root = offlinefix::buildOfflineTree(source);
        QFile file(root + u'/' + QLatin1String(c.file));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.bytes);
        file.close();
        capture(source);
        const Result r = detect(source);
        ASSERT_TRUE(r.xml);
        EXPECT_EQ(r.xml->root().findChild(u"WINDOWS") != nullptr, c.windowsElement);
        EXPECT_EQ(r.xmlErrors, 0);
        expectNoCopies(config());
    }

    // A FIFO in place of a hive: the copy refuses it without blocking.
    TempDir fifoDir;
    source = fifoDir.file("src");
    wimPath = fifoDir.file("image.wim");
    offlinefix::buildOfflineTree(source);
    capture(source);
    ASSERT_TRUE(QFile::remove(config() + "/SYSTEM"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(config() + "/SYSTEM").constData(), 0600), 0);
    const Result r = detect(source);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_FALSE(QFileInfo::exists(config() + "/SOFTWARE.OFL"));
    EXPECT_FALSE(QFileInfo::exists(config() + "/SYSTEM.OFL"));
}

TEST_F(DetectTest, UnreadableImageInformationCallsTheHookOnly)
{
    offlinefix::buildOfflineTree(source);
    capture(source);
    const Result r = detect(source, true);
    EXPECT_EQ(r.xmlErrors, 1);
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    expectNoCopies(config());
}

// A source on read-only media (a WIM image mounted read-only through FUSE): the copies
// cannot be made, the image gets no WINDOWS element, nothing is left behind.
TEST_F(DetectTest, ReadOnlySource)
{
    if (::access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "/dev/fuse is not usable here";
    offlinefix::buildOfflineTree(source);
    const QString mediaWim = dir.file("media.wim");
    wimfix::WimRecipe media;
    wimfix::ImageRecipe mediaImage;
    mediaImage.source = source;
    media.images.push_back(mediaImage);
    ASSERT_TRUE(wimfix::makeWim(mediaWim, media));
    capture(source);
    const QString mountPoint = dir.mkdir("media");
    QString output;
    if (runProgram("wimlib-imagex", {"mount", mediaWim, "1", mountPoint}, &output) != 0)
        GTEST_SKIP() << "cannot mount through FUSE here: " << output.toStdString();

    QString root;
    const bool visible = FindSystemRoot(mountPoint, root);
    const Result r = detect(mountPoint);
    runProgram("wimlib-imagex", {"unmount", mountPoint});
    EXPECT_TRUE(visible) << "the installation is there; only the copies fail";
    ASSERT_TRUE(r.xml);
    EXPECT_EQ(r.xml->root().findChild(u"WINDOWS"), nullptr);
    EXPECT_TRUE(r.committed);
}

} // namespace
