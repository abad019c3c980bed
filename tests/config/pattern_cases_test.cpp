// Runs the pattern cases in tests/config/cases (format in the README there): each
// configuration is written to a file, loaded as a capture loads it, and every listed path
// must get its verdict.
#include "config/CaptureConfig.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace
{

QString casesDir()
{
    return QStringLiteral(PELLORIC_SOURCE_DIR "/tests/config/cases");
}

std::vector<std::string> caseNames()
{
    std::vector<std::string> names;
    const QStringList files =
        QDir(casesDir()).entryList({QStringLiteral("*.case")}, QDir::Files, QDir::Name);
    for (const QString& file : files)
        names.push_back(file.chopped(5).toStdString());
    return names;
}

class PatternCase : public ::testing::TestWithParam<std::string>
{
};

TEST_P(PatternCase, GivesEveryVerdict)
{
    const QString name = QString::fromStdString(GetParam());
    QFile caseFile(casesDir() + u'/' + name + QStringLiteral(".case"));
    ASSERT_TRUE(caseFile.open(QIODevice::ReadOnly)) << name.toStdString();
    const QByteArray bytes = caseFile.readAll();

    const QByteArray marker("@@@@");
    qsizetype split = bytes.startsWith(marker) ? 0 : bytes.indexOf("\n" + marker);
    ASSERT_GE(split, 0) << "no @@@@ line in " << name.toStdString();
    const QByteArray configText = bytes.left(split == 0 ? 0 : split + 1);
    const QByteArray pathPart = bytes.mid(bytes.indexOf('\n', split + (split == 0 ? 0 : 1)) + 1);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString configPath = dir.filePath(QStringLiteral("wimscript.ini"));
    {
        QFile out(configPath);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        ASSERT_EQ(out.write(configText), configText.size());
    }
    CaptureConfig config;
    const ConfigLoadResult result = config.load(configPath, QString(), QString());
    ASSERT_TRUE(result.ok);

    int checked = 0;
    int lineNumber = int(configText.count('\n')) + 1;
    for (QByteArray line : pathPart.split('\n')) {
        ++lineNumber;
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const qsizetype space = line.indexOf(' ');
        const QByteArray verdict = space < 0 ? line : line.left(space);
        const QString path = space < 0 ? QString() : QString::fromUtf8(line.mid(space + 1));
        const std::string where =
            name.toStdString() + ".case:" + std::to_string(lineNumber) + " " + line.toStdString();
        if (verdict == "root") {
            config.setVolumeRoot(path);
        } else if (verdict == "source") {
            config.setCaptureSource(path);
        } else if (verdict == "excluded" || verdict == "taken") {
            EXPECT_EQ(config.isExcluded(path), verdict == "excluded") << where;
            ++checked;
        } else if (verdict == "stored" || verdict == "compressed") {
            EXPECT_EQ(config.isCompressionExcluded(path), verdict == "stored") << where;
            ++checked;
        } else {
            ADD_FAILURE() << "unknown verdict at " << where;
        }
    }
    EXPECT_GT(checked, 0) << name.toStdString() << " checks nothing";
}

INSTANTIATE_TEST_SUITE_P(Cases, PatternCase, ::testing::ValuesIn(caseNames()),
                         [](const auto& info) { return info.param; });

} // namespace
