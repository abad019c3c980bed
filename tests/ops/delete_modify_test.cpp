// Delete and modify end to end: real WIM files made by libwim, the operations run on the
// worker as the progress dialog runs them, the result checked through libwim itself.
#include "ops/Text.h"
#include "ops/Worker.h"
#include "support/OperationRun.h"
#include "support/RecordingPort.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace {

QStringList runOperation(OperationContext& context, int id, RecordingPort& port)
{
    EXPECT_TRUE(oprun::runOperation(context, id, port));
    EXPECT_TRUE(requestCloseOrAbort(context));
    return port.logLines();
}

QString msg(UINT id, std::initializer_list<MessageArg> args = {})
{
    return formatMessage(id, args);
}

class DeleteModifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wimfix::makeSampleTree(dir.file("a"));
        wimfix::makeTree(dir.file("b"), {{"b.txt", "bee"}, {"sub/c.txt", "sea"}});
        wimfix::makeTree(dir.file("c"), {{"only.txt", "one"}});
        wim = dir.file("three.wim");
        wimfix::WimRecipe recipe;
        recipe.images = {{dir.file("a"), "First", "one", {{"FLAGS", "ULTIMATE"}}},
                       {dir.file("b"), "Second", "", {}},
                       {dir.file("c"), "", "", {}}};
        recipe.compression = 2;
        recipe.bootIndex = 1;
        QString error;
        ASSERT_TRUE(wimfix::makeWim(wim, recipe, &error)) << error.toStdString();
    }

    TempDir dir;
    QString wim;
    OperationContext context;
    RecordingPort port;
};

} // namespace

TEST_F(DeleteModifyTest, DeletingTheLastImageKeepsTheOthersAndTheirData)
{
    context.request.deleteSource = wim;
    context.request.deleteIndex = 3;
    const QStringList log = runOperation(context, ID_DELETE, port);
    EXPECT_EQ(log, QStringList({msg(Text::OpeningWim), msg(Text::DeletingImage, {std::int64_t{3}}),
                                QString(), msg(Text::OperationSucceeded)}));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("First"));
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "NAME"), QStringLiteral("Second"));
    EXPECT_TRUE(wimfix::imagexVerify(wim));
    EXPECT_EQ(port.lastProgress(), 100);
}

TEST_F(DeleteModifyTest, DeletingTheFirstImageRenumbersAndWritesAnIntegrityTable)
{
    context.request.deleteSource = wim;
    context.request.deleteIndex = 1;
    context.request.deleteCheck = true;
    const QStringList log = runOperation(context, ID_DELETE, port);
    EXPECT_EQ(log, QStringList({msg(Text::OpeningWim), msg(Text::DeletingImage, {std::int64_t{1}}),
                                QString(), msg(Text::WritingWimInformation),
                                msg(Text::OperationSucceeded)}));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("Second"));
    QString out;
    ASSERT_EQ(runProgram("wimlib-imagex", {"info", wim}, &out), 0);
    EXPECT_TRUE(out.contains(QRegularExpression("Attributes:.*Integrity info"))) << out.toStdString();
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

TEST_F(DeleteModifyTest, DeleteFailuresLeaveTheFileUnchanged)
{
    const QString notWim = dir.write("not.wim", QByteArray("MSWIM\0\0\0 but not really", 24));
    QByteArray head = readFileBytes(wim).left(300);
    const QString truncated = dir.write("truncated.wim", head);
    const struct {
        QString path;
        std::uint32_t index;
        QStringList log;
    } cases[] = {
        {wim, 4, {msg(Text::OpeningWim), msg(Text::IndexNotInWim, {std::int64_t{4}})}},
        {wim,
         0,
         {msg(Text::OpeningWim), msg(Text::DeletingImage, {std::int64_t{0}}),
          msg(Text::DeleteImageFailed, {std::int64_t{0}})}},
        {dir.file("missing.wim"), 1, {msg(Text::OpeningWim), msg(Text::OpenWimFailed)}},
        {notWim, 1, {msg(Text::OpeningWim), msg(Text::OpenWimFailed)}},
        {truncated, 1, {msg(Text::OpeningWim), msg(Text::OpenWimFailed)}},
        {dir.path(), 1, {msg(Text::OpeningWim), msg(Text::OpenWimFailed)}},
    };
    for (const auto& c : cases) {
        const QByteArray before = wimfix::fileDigest(c.path);
        RecordingPort casePort;
        context.request.deleteSource = c.path;
        context.request.deleteIndex = c.index;
        EXPECT_EQ(runOperation(context, ID_DELETE, casePort), c.log) << c.path.toStdString();
        EXPECT_EQ(wimfix::fileDigest(c.path), before) << c.path.toStdString();
    }
    EXPECT_EQ(wimfix::imageCount(wim), 3);
}

TEST_F(DeleteModifyTest, DeleteOnAReadOnlyFileSystemFailsCleanly)
{
    const QString roDir = dir.mkdir("ro");
    QFile::copy(wim, roDir + "/three.wim");
    if (geteuid() != 0 || mount(roDir.toUtf8().constData(), roDir.toUtf8().constData(), nullptr,
                                MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "a read-only bind mount needs root; skipped";
    const bool remounted = mount(nullptr, roDir.toUtf8().constData(), nullptr,
                                 MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    if (!remounted) {
        umount(roDir.toUtf8().constData());
        GTEST_SKIP() << "cannot remount read-only; skipped";
    }
    const QString path = roDir + "/three.wim";
    const QByteArray before = wimfix::fileDigest(path);
    context.request.deleteSource = path;
    context.request.deleteIndex = 2;
    const QStringList log = runOperation(context, ID_DELETE, port);
    umount(roDir.toUtf8().constData());
    ASSERT_FALSE(log.isEmpty());
    EXPECT_EQ(log.first(), msg(Text::OpeningWim));
    EXPECT_NE(log.last(), msg(Text::OperationSucceeded));
    EXPECT_NE(log.last(), msg(Text::OperationSucceededIn, {elapsedTimeText(1000)}));
    EXPECT_EQ(wimfix::fileDigest(roDir + "/three.wim"), before);
}

TEST_F(DeleteModifyTest, ModifyWithOnlyTheBootMarkLeavesTheInformationAlone)
{
    const QString xmlBefore = wimfix::imagexXml(wim);
    context.request.modifySource = wim;
    context.request.modifyIndex = 2;
    context.request.modifyBootable = true;
    const QStringList log = runOperation(context, ID_MODIFY, port);
    EXPECT_EQ(log,
              QStringList({msg(Text::OpeningWim), msg(Text::ChangingBootImage, {std::int64_t{2}}),
                           QString(), msg(Text::OperationSucceeded)}));
    EXPECT_EQ(wimfix::bootIndex(wim), 2);
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "NAME"), QStringLiteral("Second"));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "FLAGS"), QStringLiteral("ULTIMATE"));
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

TEST_F(DeleteModifyTest, ModifyWritesEveryTextInTheFixedOrderAndKeepsWhatWasTyped)
{
    const QString name = QStringLiteral("A&B <c> \"q\" 'x' 中文 😀");
    const QString description = QStringLiteral("</DESCRIPTION><FLAGS>EVIL</FLAGS>");
    const QString displayName = QStringLiteral("显示 &amp; 名称");
    const QString displayDescription = QStringLiteral("𝄞 music & more");
    const QString flags = QStringLiteral("SERVERSTANDARD");
    context.request.modifySource = wim;
    context.request.modifyIndex = 3;
    context.request.modifyName = name;
    context.request.modifyDescription = description;
    context.request.modifyDisplayName = displayName;
    context.request.modifyDisplayDescription = displayDescription;
    context.request.modifyFlags = flags;
    context.request.modifyCheck = true;
    const QStringList log = runOperation(context, ID_MODIFY, port);
    EXPECT_EQ(log, QStringList({msg(Text::OpeningWim), msg(Text::ChangingFlags, {flags}),
                                msg(Text::ChangingDescription, {displayDescription}),
                                msg(Text::ChangingName, {displayName}),
                                msg(Text::ChangingDescription, {description}),
                                msg(Text::ChangingName, {name}), QString(),
                                msg(Text::WritingWimInformation), msg(Text::OperationSucceeded)}));
    EXPECT_EQ(wimfix::imageProperty(wim, 3, "NAME"), name);
    EXPECT_EQ(wimfix::imageProperty(wim, 3, "DESCRIPTION"), description);
    EXPECT_EQ(wimfix::imageProperty(wim, 3, "DISPLAYNAME"), displayName);
    EXPECT_EQ(wimfix::imageProperty(wim, 3, "DISPLAYDESCRIPTION"), displayDescription);
    EXPECT_EQ(wimfix::imageProperty(wim, 3, "FLAGS"), flags);
    // The other images are untouched and the data is intact.
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("First"));
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "DESCRIPTION"), QString());
    EXPECT_TRUE(wimfix::imagexVerify(wim));
    EXPECT_TRUE(port.boxes().isEmpty());
}

TEST_F(DeleteModifyTest, ModifyMayGiveTwoImagesTheSameName)
{
    context.request.modifySource = wim;
    context.request.modifyIndex = 2;
    context.request.modifyName = QStringLiteral("First");
    const QStringList log = runOperation(context, ID_MODIFY, port);
    EXPECT_EQ(log.last(), msg(Text::OperationSucceeded));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("First"));
    EXPECT_EQ(wimfix::imageProperty(wim, 2, "NAME"), QStringLiteral("First"));
}

TEST_F(DeleteModifyTest, ModifyFailuresAndTheEmptyRequest)
{
    const QByteArray before = wimfix::fileDigest(wim);
    const struct {
        std::uint32_t index;
        QStringList log;
    } cases[] = {
        {4, {msg(Text::OpeningWim), msg(Text::IndexNotInWim, {std::int64_t{4}})}},
        {0, {msg(Text::OpeningWim), msg(Text::LoadImageFailed, {std::int64_t{0}})}},
    };
    for (const auto& c : cases) {
        RecordingPort casePort;
        context.request.modifySource = wim;
        context.request.modifyIndex = c.index;
        context.request.modifyName = QStringLiteral("never");
        EXPECT_EQ(runOperation(context, ID_MODIFY, casePort), c.log) << c.index;
        EXPECT_EQ(wimfix::fileDigest(wim), before);
    }
    RecordingPort emptyPort;
    context.request = OperationRequest();
    context.request.modifySource = wim;
    context.request.modifyIndex = 1;
    EXPECT_EQ(runOperation(context, ID_MODIFY, emptyPort),
              QStringList({msg(Text::OpeningWim), QString(), msg(Text::OperationSucceeded)}));
    EXPECT_EQ(wimfix::imageProperty(wim, 1, "NAME"), QStringLiteral("First"));
    EXPECT_EQ(wimfix::imageCount(wim), 3);
}
