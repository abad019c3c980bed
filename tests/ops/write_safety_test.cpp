// Writes that must never lose an image, run as separate `pelloric-run` processes: writers
// racing each other and wimlib-imagex, an aborted append, full disks,
// targets and sources that are no regular files, a file the file system will not let
// anyone replace, and an image whose metadata is damaged. Every child process is waited
// for with a time limit, so nothing here can block.
#include "ops/Text.h"
#include "support/MountFixture.h"
#include "support/OperationRun.h"
#include "support/RunnerChild.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace oprun;

namespace {

Child run(const QString& id, const QStringList& fields)
{
    return Child(kRunner, QStringList{id} + fields);
}

QString msg(UINT id, std::initializer_list<MessageArg> args = {})
{
    return formatMessage(id, args);
}

// A writer that lost a race says why, with the platform's text for a sharing or lock
// violation.
bool saysSharingViolation(const QString& out)
{
    return out.contains(msg(Text::ErrorReason, {errorText(ERROR_SHARING_VIOLATION)})) ||
           out.contains(msg(Text::ErrorReason, {errorText(ERROR_LOCK_VIOLATION)}));
}

// The header flag libwim sets while it writes a file.
bool writeInProgress(const QString& wim)
{
    const int fd = ::open(QFile::encodeName(wim).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    unsigned char flags = 0;
    const bool read = fd >= 0 && ::pread(fd, &flags, 1, 16) == 1;
    if (fd >= 0)
        ::close(fd);
    return read && (flags & 0x40);
}

int indexOfName(const QString& wim, const QString& name)
{
    const int count = wimfix::imageCount(wim);
    for (int i = 1; i <= count; ++i)
        if (wimfix::imageProperty(wim, i, QStringLiteral("NAME")) == name)
            return i;
    return 0;
}

class WriteSafety : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!QFileInfo(kRunner).isExecutable())
            GTEST_SKIP() << "pelloric-run is not built";
        wimfix::makeTree(dir.file("one"), {{"a.txt", "alpha"}, {"sub/b.txt", "beta"}});
        wimfix::makeTree(dir.file("two"), {{"c.txt", "gamma"}});
        wimfix::makeTree(dir.file("small"), {{"s.txt", "small tree"}, {"d/e.txt", "e"}});
    }

    // A WIM of images named one, two (and three), made with libwim.
    QString baseWim(const QString& name, int images = 2, int compression = 1)
    {
        wimfix::WimRecipe recipe;
        recipe.compression = compression;
        const QString names[] = {QStringLiteral("one"), QStringLiteral("two"),
                                 QStringLiteral("three")};
        for (int i = 0; i < images; ++i)
            recipe.images.push_back({dir.file(i == 1 ? "two" : "one"), names[i], QString(), {}});
        const QString path = dir.file(name);
        QString error;
        EXPECT_TRUE(wimfix::makeWim(path, recipe, &error)) << error.toStdString();
        return path;
    }

    // A fresh copy of `base` for one round, with no undo record beside it.
    QString roundCopy(const QString& base)
    {
        const QString path = dir.file(QStringLiteral("round.wim"));
        QFile::remove(path);
        QFile::remove(path + QStringLiteral(".pelloric-undo"));
        EXPECT_TRUE(QFile::copy(base, path));
        return path;
    }

    TempDir dir;
};

// One writer of a race: the process, and how to tell its change is in the file.
struct Racer {
    QString id;
    QStringList fields;
    std::function<bool(const QString& wim)> landed;
};

// Starts `first`, waits `delay` (a negative one: until `first` ended), starts `second`;
// each one that exited 0 has its change in the file, each one that did not says why, and
// wimlib-imagex accepts the file.
void race(const QString& wim, const Racer& first, const Racer& second,
          std::chrono::milliseconds delay, int* bothLanded, int* refused)
{
    Child a = run(first.id, first.fields);
    Outcome oa;
    if (delay.count() < 0)
        oa = a.finish();
    else
        std::this_thread::sleep_for(delay);
    Child b = run(second.id, second.fields);
    if (delay.count() >= 0)
        oa = a.finish();
    const Outcome ob = b.finish();
    int landed = 0;
    for (const auto& [racer, o] : {std::pair{&first, oa}, std::pair{&second, ob}}) {
        SCOPED_TRACE(o.out.toStdString());
        ASSERT_NE(o.exit, -1);
        if (o.exit == 0) {
            EXPECT_TRUE(racer->landed(wim)) << "reported success, change missing";
            ++landed;
        } else {
            EXPECT_TRUE(saysSharingViolation(o.out));
            ++*refused;
        }
    }
    QString out;
    EXPECT_TRUE(wimfix::imagexVerify(wim, &out)) << out.toStdString();
    if (landed == 2)
        ++*bothLanded;
}

TEST_F(WriteSafety, PelloricWritersRacingEachOtherNeverLoseAnUpdate)
{
    const QString base = baseWim(QStringLiteral("base.wim"), 3);
    const QString wim = dir.file(QStringLiteral("round.wim"));
    const QString tree = dir.file("small");
    const auto nameIs = [&](int image, const QString& value) {
        return [=](const QString& w) {
            return wimfix::imageProperty(w, image, QStringLiteral("NAME")) == value;
        };
    };
    struct Pair {
        const char* what;
        std::function<Racer(int)> first;
        std::function<Racer(int)> second;
    };
    const Pair pairs[] = {
        {"modify/modify",
         [&](int r) {
             const QString name = QStringLiteral("N%1").arg(r);
             return Racer{"1046", {"modifySource=" + wim, "modifyIndex=1", "modifyName=" + name},
                          nameIs(1, name)};
         },
         [&](int r) {
             const QString text = QStringLiteral("D%1").arg(r);
             return Racer{"1046",
                          {"modifySource=" + wim, "modifyIndex=2", "modifyDescription=" + text},
                          [=](const QString& w) {
                              return wimfix::imageProperty(w, 2, QStringLiteral("DESCRIPTION")) ==
                                     text;
                          }};
         }},
        {"append/modify",
         [&](int r) {
             const QString name = QStringLiteral("A%1").arg(r);
             return Racer{"1020",
                          {"captureSource=" + tree, "captureTarget=" + wim, "captureName=" + name},
                          [=](const QString& w) { return indexOfName(w, name) == 4; }};
         },
         [&](int r) {
             const QString name = QStringLiteral("M%1").arg(r);
             return Racer{"1046", {"modifySource=" + wim, "modifyIndex=2", "modifyName=" + name},
                          nameIs(2, name)};
         }},
        {"delete/append",
         [&](int) {
             return Racer{"1067", {"deleteSource=" + wim, "deleteIndex=1"},
                          [](const QString& w) { return indexOfName(w, "one") == 0; }};
         },
         [&](int r) {
             const QString name = QStringLiteral("B%1").arg(r);
             return Racer{"1020",
                          {"captureSource=" + tree, "captureTarget=" + wim, "captureName=" + name},
                          [=](const QString& w) { return indexOfName(w, name) > 0; }};
         }},
    };
    int refused = 0;
    for (const Pair& pair : pairs) {
        SCOPED_TRACE(pair.what);
        int bothLanded = 0;
        for (int r = 0; r < 20; ++r) {
            SCOPED_TRACE(r);
            roundCopy(base);
            // 0 to 57 ms apart, or once the first ended: the second starts before, during
            // and after the first's commit.
            race(wim, pair.first(r), pair.second(r),
                 std::chrono::milliseconds(r % 5 == 4 ? -1 : (r % 5) * 19), &bothLanded,
                 &refused);
        }
        EXPECT_GT(bothLanded, 0) << "no round let both writers through";
    }
    EXPECT_GT(refused, 0) << "no round raced";
}

TEST_F(WriteSafety, PelloricAgainstWimlibImagexAppendNeverLosesEither)
{
    // wimlib-imagex appends a few MB that do not compress with LZX, so it holds the file's
    // lock for a while. Pelloric starts once that write is under way (libwim's
    // write-in-progress flag is set), never before wimlib-imagex opened the file: a libwim
    // writer that read the file before our commit and writes after it would put back its
    // stale view over ours, which no protocol on our side can prevent.
    const QString base = baseWim(QStringLiteral("base.wim"), 2, 2);
    const QString wim = dir.file(QStringLiteral("round.wim"));
    wimfix::makeTree(dir.file("noise"), {{"n.bin", noiseBytes(16 << 20)}});
    int pelloricLanded = 0;
    int pelloricRefused = 0;
    for (int r = 0; r < 20; ++r) {
        SCOPED_TRACE(r);
        roundCopy(base);
        const QString foreign = QStringLiteral("X%1").arg(r);
        Child imagex(QStringLiteral("wimlib-imagex"),
                     {"append", dir.file("noise"), wim, foreign, "--threads=1"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (imagex.running() && !writeInProgress(wim) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        // Started at once, 100 or 200 ms into wimlib-imagex's write, or after it ended.
        Outcome oi;
        if (r % 4 == 3)
            oi = imagex.finish();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds((r % 4) * 100));
        const bool modify = r % 2 == 0;
        const QString ours = QStringLiteral("P%1").arg(r);
        Child pelloric = modify ? run("1046", {"modifySource=" + wim, "modifyIndex=1",
                                               "modifyName=" + ours})
                                : run("1020", {"captureSource=" + dir.file("small"),
                                               "captureTarget=" + wim, "captureName=" + ours});
        if (r % 4 != 3)
            oi = imagex.finish();
        const Outcome op = pelloric.finish();
        EXPECT_EQ(oi.exit, 0) << oi.out.toStdString();
        EXPECT_GT(indexOfName(wim, foreign), 0) << "wimlib-imagex's image is gone";
        if (op.exit == 0) {
            ++pelloricLanded;
            EXPECT_TRUE(modify ? wimfix::imageProperty(wim, 1, QStringLiteral("NAME")) == ours
                               : indexOfName(wim, ours) > 0)
                << op.out.toStdString();
        } else {
            ++pelloricRefused;
            EXPECT_TRUE(saysSharingViolation(op.out)) << op.out.toStdString();
        }
        QString out;
        EXPECT_TRUE(wimfix::imagexVerify(wim, &out)) << out.toStdString();
    }
    EXPECT_GT(pelloricRefused, 0) << "no round raced";
    EXPECT_GT(pelloricLanded, 0) << "no round let Pelloric through after wimlib-imagex";
}

// An Abort press (--abort-after 0: at once) stops the append in the library's scan; the
// runner learns the failure from the worker and exits 1, and the file is as it was.
TEST_F(WriteSafety, AbortedAppendExitsOneAndLeavesTheWimByteIdentical)
{
    const QString wim = roundCopy(baseWim(QStringLiteral("base.wim")));
    const QByteArray digest = wimfix::fileDigest(wim);
    wimfix::makeSampleTree(dir.file("many"), 2000);
    Child append(kRunner, {"--abort-after", "0", "1020", "captureSource=" + dir.file("many"),
                           "captureTarget=" + wim});
    const Outcome o = append.finish();
    EXPECT_EQ(o.exit, 1) << o.out.toStdString();
    EXPECT_TRUE(o.out.contains(msg(Text::AbortingOperation))) << o.out.toStdString();
    EXPECT_TRUE(o.out.contains(msg(Text::CaptureFailed))) << o.out.toStdString();
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
}

TEST_F(WriteSafety, FullDiskAppendAndExportWithAHugeNameLeaveTheWimByteIdentical)
{
    const QString base = baseWim(QStringLiteral("base.wim"));
    const QString volume = dir.mkdir(QStringLiteral("vol"));
    TmpfsMount mount(volume, QStringLiteral("size=%1k").arg(QFileInfo(base).size() / 1024 + 48));
    if (!mount.ok())
        GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error().toStdString();
    const QString wim = volume + QStringLiteral("/full.wim");
    ASSERT_TRUE(QFile::copy(base, wim));
    const QByteArray digest = wimfix::fileDigest(wim);
    // 60,000 characters (of one byte each in UTF-8: a longer argument is more than a
    // process may be given).
    const QString huge = QString(60000, QChar(u'n'));
    const QString full = msg(Text::ErrorReason, {errorText(ERROR_DISK_FULL)});

    Child append = run("1020", {"captureSource=" + dir.file("small"), "captureTarget=" + wim,
                                "captureName=" + huge});
    Outcome o = append.finish();
    EXPECT_EQ(o.exit, 1);
    EXPECT_TRUE(o.out.contains(msg(Text::CaptureFailed) + "\n" + full))
        << o.out.right(400).toStdString();
    EXPECT_EQ(wimfix::fileDigest(wim), digest);

    wimfix::WimRecipe recipe;
    recipe.images = {{dir.file("small"), QStringLiteral("src"), QString(), {}}};
    const QString source = dir.file(QStringLiteral("source.wim"));
    ASSERT_TRUE(wimfix::makeWim(source, recipe));
    Child exporter = run("1081", {"exportSource=" + source, "exportTarget=" + wim,
                                  "exportIndex=1", "exportName=" + huge});
    o = exporter.finish();
    EXPECT_EQ(o.exit, 1);
    EXPECT_TRUE(o.out.contains(msg(Text::ExportFailed) + "\n" + full))
        << o.out.right(400).toStdString();
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
    EXPECT_EQ(QDir(volume).entryList(QDir::Files | QDir::Hidden), QStringList{"full.wim"});
}

TEST_F(WriteSafety, TargetsAndSourcesThatAreNoRegularFiles)
{
    const QString wim = baseWim(QStringLiteral("base.wim"));
    const QString fifo = dir.file(QStringLiteral("pipe.wim"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QStringList odd{fifo};
    // A device node of our own, never the system's /dev/null.
    const QString device = dir.file(QStringLiteral("null.wim"));
    if (::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        odd << device;
    else
        std::fprintf(stderr, "no device node (needs root): that case is skipped\n");

    for (const QString& path : odd) {
        SCOPED_TRACE(path.toStdString());
        struct stat before {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &before), 0);
        // As a target: refused before any scan.
        for (const char* id : {"1019", "1020"}) {
            Child c = run(id, {"captureSource=" + dir.file("small"), "captureTarget=" + path});
            const Outcome o = c.finish(20000);
            EXPECT_EQ(o.exit, 1) << o.out.toStdString();
            EXPECT_TRUE(o.out.contains(msg(Text::CannotWriteTo, {path}))) << o.out.toStdString();
        }
        Child e = run("1081", {"exportSource=" + wim, "exportTarget=" + path, "exportIndex=1"});
        Outcome o = e.finish(20000);
        EXPECT_EQ(o.exit, 1) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains(msg(Text::OpenWimFailed))) << o.out.toStdString();
        // As a WIM to read: refused at once, nothing blocks.
        const QStringList reads[] = {
            {"1046", "modifySource=" + path, "modifyIndex=1", "modifyName=x"},
            {"1067", "deleteSource=" + path, "deleteIndex=1"},
            {"1081", "exportSource=" + path, "exportTarget=" + dir.file("e.wim"), "exportIndex=1"},
            {"1025", "applySource=" + path, "applyTarget=" + dir.mkdir("applied"), "applyIndex=1"},
        };
        for (const QStringList& args : reads) {
            Child c(kRunner, args);
            o = c.finish(20000);
            EXPECT_EQ(o.exit, 1) << o.out.toStdString();
            EXPECT_TRUE(o.out.contains(msg(Text::OpenWimFailed))) << o.out.toStdString();
        }
        Child mount(kRunner, {"1060", "mountSource=" + path, "mountPath=" + dir.mkdir("mnt"),
                              "mountIndex=1"});
        o = mount.finish(20000);
        EXPECT_EQ(o.exit, 1) << o.out.toStdString();
        EXPECT_TRUE(o.out.contains(msg(Text::MountFailed))) << o.out.toStdString();
        Child report(kRunner, {"report", "infoSource=" + path});
        o = report.finish(20000);
        EXPECT_EQ(o.exit, 1);
        EXPECT_EQ(o.out.trimmed(), msg(Text::OpenWimFailed).trimmed());
        struct stat after {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << "replaced by a regular file";
        EXPECT_EQ(after.st_rdev, before.st_rdev);
    }
    EXPECT_FALSE(QFileInfo::exists(dir.file("e.wim")));

    // A symbolic link is written where it points, and stays a link: a new file through a
    // link that points nowhere yet, an append through a link to a WIM.
    const QString link = dir.file(QStringLiteral("link.wim"));
    const QString target = dir.file(QStringLiteral("real/target.wim"));
    dir.mkdir(QStringLiteral("real"));
    ASSERT_TRUE(QFile::link(target, link));
    for (const char* id : {"1019", "1020"}) {
        Child c = run(id, {"captureSource=" + dir.file("small"), "captureTarget=" + link,
                           "captureName=" + QString::fromLatin1(id)});
        const Outcome o = c.finish();
        EXPECT_EQ(o.exit, 0) << o.out.toStdString();
        EXPECT_TRUE(QFileInfo(link).isSymLink());
    }
    EXPECT_EQ(wimfix::imageCount(target), 2);
    EXPECT_EQ(wimfix::imageProperty(target, 2, "NAME"), QStringLiteral("1020"));
    Child viaLink(kRunner, {"report", "infoSource=" + link});
    const Outcome o = viaLink.finish();
    EXPECT_TRUE(o.out.contains(QStringLiteral("1020"))) << o.out.toStdString();
    EXPECT_TRUE(QDir(dir.file("real")).entryList(QDir::Files | QDir::Hidden) ==
                QStringList{"target.wim"});
}

TEST_F(WriteSafety, ReadWriteMountKeepsOtherWritersOutUntilItsCommit)
{
    QString why;
    if (!mountfix::fuseAvailable(&why))
        GTEST_SKIP() << "mount tests skipped: " << why.toStdString();
    const QString wim = baseWim(QStringLiteral("mounted.wim"));
    const QString folder = dir.mkdir(QStringLiteral("mnt"));
    const mountfix::MountSweep sweep{dir.path()};
    Outcome o = Child(kRunner, {"1060", "mountSource=" + wim, "mountPath=" + folder,
                                "mountIndex=1", "mountReadWrite=1"})
                    .finish();
    ASSERT_EQ(o.exit, 0) << o.out.toStdString();
    {
        QFile added(folder + QStringLiteral("/added.txt"));
        ASSERT_TRUE(added.open(QIODevice::WriteOnly));
        added.write("added while mounted");
    }
    // The mount holds the file's lock until its commit: every other writer is refused and
    // the file is not touched.
    const QByteArray digest = wimfix::fileDigest(wim);
    const QStringList writers[] = {
        {"1046", "modifySource=" + wim, "modifyIndex=2", "modifyName=x"},
        {"1067", "deleteSource=" + wim, "deleteIndex=2"},
        {"1020", "captureSource=" + dir.file("small"), "captureTarget=" + wim},
        {"1019", "captureSource=" + dir.file("small"), "captureTarget=" + wim},
        {"1081", "exportSource=" + baseWim(QStringLiteral("other.wim")), "exportTarget=" + wim,
         "exportIndex=1"},
    };
    for (const QStringList& args : writers) {
        o = Child(kRunner, args).finish();
        EXPECT_EQ(o.exit, 1) << o.out.toStdString();
        EXPECT_TRUE(saysSharingViolation(o.out)) << o.out.toStdString();
        EXPECT_EQ(wimfix::fileDigest(wim), digest);
    }
    o = Child(kRunner, {"1061", "mountPath=" + folder, "unmountCommit=1"}).finish();
    ASSERT_EQ(o.exit, 0) << o.out.toStdString();
    EXPECT_TRUE(wimfix::imagePaths(wim, 1).contains(QStringLiteral("added.txt")));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
    EXPECT_TRUE(wimfix::imagexVerify(wim));
}

// The mount's daemon is killed while it commits (at its second write into the WIM, placed by
// the preloaded fault library it inherits): the unmount says the commit may not have
// completed, and whether the file verifies, instead of a lookup failure.
TEST_F(WriteSafety, DaemonKilledDuringTheCommitSaysTheCommitMayNotHaveCompleted)
{
    QString why;
    if (!mountfix::fuseAvailable(&why))
        GTEST_SKIP() << "mount tests skipped: " << why.toStdString();
    const QString wim = baseWim(QStringLiteral("mounted.wim"));
    const QString folder = dir.mkdir(QStringLiteral("mnt"));
    const mountfix::MountSweep sweep{dir.path()};
    Outcome o = runRunner("1060",
                          {"mountSource=" + wim, "mountPath=" + folder, "mountIndex=1",
                           "mountReadWrite=1"},
                          faultEnvironment(wim, {{"KILL_AT", QStringLiteral("2")}}));
    ASSERT_EQ(o.exit, 0) << o.out.toStdString();
    {
        QFile added(folder + QStringLiteral("/added.bin"));
        ASSERT_TRUE(added.open(QIODevice::WriteOnly));
        added.write(noiseBytes(1 << 20));
    }
    o = runRunner("1061", {"mountPath=" + folder, "unmountCommit=1"});
    EXPECT_EQ(o.exit, 1) << o.out.toStdString();
    EXPECT_TRUE(o.out.contains(msg(Text::ErrorReason, {errorText(ERROR_PROCESS_ABORTED)})))
        << o.out.toStdString();
    EXPECT_TRUE(o.out.contains(msg(Text::CommitInterruptedFileVerifies, {wim})))
        << o.out.toStdString();
    EXPECT_FALSE(o.out.contains(errorText(ERROR_NOT_FOUND))) << o.out.toStdString();
    EXPECT_TRUE(wimfix::imagexVerify(wim));
    EXPECT_EQ(wimfix::imageCount(wim), 2);
}

TEST_F(WriteSafety, ImmutableTargetIsRefusedBeforeTheScan)
{
    const QString wim = baseWim(QStringLiteral("base.wim"));
    const QByteArray digest = wimfix::fileDigest(wim);
    QString out;
    if (geteuid() != 0 || runProgram(QStringLiteral("chattr"), {"+i", wim}, &out) != 0)
        GTEST_SKIP() << "chattr +i needs root and a file system that supports it: "
                     << out.toStdString();
    Child c = run("1019", {"captureSource=" + dir.file("small"), "captureTarget=" + wim});
    const Outcome o = c.finish();
    runProgram(QStringLiteral("chattr"), {"-i", wim});
    EXPECT_EQ(o.exit, 1);
    QStringList lines = o.out.split('\n');
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.last(), msg(Text::CannotWriteTo, {wim})) << o.out.toStdString();
    EXPECT_FALSE(o.out.contains(msg(Text::CaptureFailed)));
    EXPECT_EQ(wimfix::fileDigest(wim), digest);
}

// Apply and export read the image's files and fail on its damaged tree when they load it; the
// report and modify read only the information and go on.
TEST_F(WriteSafety, ImageWithDamagedMetadataFailsWhenItsFilesAreRead)
{
    // One uncompressed image: its metadata resource is the only one, found through libwim.
    wimfix::WimRecipe recipe;
    recipe.compression = 0;
    recipe.images = {{dir.file("one"), QStringLiteral("damaged"), QString(), {}}};
    const QString wim = dir.file(QStringLiteral("damaged.wim"));
    ASSERT_TRUE(wimfix::makeWim(wim, recipe));
    const auto [offset, size] = wimfix::metadataResource(wim);
    ASSERT_GT(size, 0);
    QFile f(wim);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.seek(offset + size / 2);
    char c = 0;
    f.getChar(&c);
    f.seek(offset + size / 2);
    f.putChar(static_cast<char>(c ^ 0x5A));
    f.close();

    const QString index1 = msg(Text::LoadImageFailed, {std::int64_t{1}});
    Child apply(kRunner, {"1025", "applySource=" + wim, "applyTarget=" + dir.mkdir("out"),
                          "applyIndex=1"});
    Outcome o = apply.finish();
    EXPECT_EQ(o.exit, 1);
    EXPECT_TRUE(o.out.trimmed().endsWith(index1)) << o.out.toStdString();
    const QString target = dir.file(QStringLiteral("exported.wim"));
    Child exporter = run("1081", {"exportSource=" + wim, "exportTarget=" + target, "exportIndex=1"});
    o = exporter.finish();
    EXPECT_EQ(o.exit, 1);
    EXPECT_TRUE(o.out.trimmed().endsWith(index1)) << o.out.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("exported.wim*")}), QStringList());
    // Extraction stops at the tree too: one failure, nothing tried or written after it.
    const QString extracted = dir.mkdir(QStringLiteral("extracted"));
    Child extract(kRunner, {"1112", "extractSource=" + wim, "extractIndex=1", "extractPaths=/a.txt",
                            "extractTarget=" + extracted});
    o = extract.finish();
    EXPECT_EQ(o.exit, 1);
    EXPECT_TRUE(o.out.contains(index1)) << o.out.toStdString();
    EXPECT_FALSE(o.out.contains(msg(Text::ExtractFailed))) << o.out.toStdString();
    EXPECT_TRUE(QDir(extracted).isEmpty());
    Child report(kRunner, {"report", "infoSource=" + wim});
    o = report.finish();
    EXPECT_EQ(o.exit, 0);
    const QString heading = msg(Text::ReportImageHeading, {std::int64_t{1}});
    ASSERT_TRUE(o.out.contains(heading)) << o.out.toStdString();
    const QString after = o.out.mid(o.out.indexOf(heading) + heading.size());
    EXPECT_TRUE(after.contains(msg(Text::ReportName, {QStringLiteral("damaged")}).trimmed()))
        << o.out.toStdString();
    Child modify = run("1046", {"modifySource=" + wim, "modifyIndex=1", "modifyName=renamed"});
    o = modify.finish();
    EXPECT_EQ(o.exit, 0) << o.out.toStdString();
    EXPECT_EQ(wimfix::imageProperty(wim, 1, QStringLiteral("NAME")), QStringLiteral("renamed"));
}

} // namespace
