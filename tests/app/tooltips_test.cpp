// Every option, box and button of every page says what it does in a tooltip of one sentence,
// in Chinese and in English (the English catalogue's own test checks each has its English).
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/ControlIds.h"
#include "app/UpDown.h"
#include "ops/Text.h"
#include "platform/Kernel.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>

using namespace uitest;

namespace {

bool isControl(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QPlainTextEdit*>(w) ||
           qobject_cast<const QTreeWidget*>(w) || qobject_cast<const UpDown*>(w);
}

bool hasChinese(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x4E00 && c.unicode() <= 0x9FFF; });
}

class TooltipTest : public MainWindowFixture {};

} // namespace

TEST_F(TooltipTest, EveryControlOfEveryPageSaysWhatItDoesInBothLanguages)
{
    // One sentence: a capital letter first, a full stop at the end and none before (a dot
    // inside a file name is no full stop).
    static const QRegularExpression englishSentence(QStringLiteral("^[A-Z].*\\.$"));
    auto oneSentence = [](const QString& tip) {
        return tip.endsWith(u'.') && !tip.chopped(1).contains(QRegularExpression(u"\\.( |$)"_qs));
    };
    std::map<int, QString> capture;
    for (LANGID language : {LANGID_CHINESE_SIMPLIFIED, LANGID_ENGLISH_US}) {
        SetProcessUILanguage(language);
        installTranslations();
        window = std::make_unique<MainWindow>(globalContext());
        window->show();
        int controls = 0;
        for (int p = 0; p < PAGE_COUNT; ++p) {
            selectTab(p);
            for (QWidget* w : page()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (!isControl(w))
                    continue;
                ++controls;
                const QString tip = w->toolTip();
                const std::string where = "page " + std::to_string(p) + " " +
                                          w->objectName().toStdString() + ": \"" +
                                          tip.toStdString() + "\"";
                if (language == LANGID_ENGLISH_US) {
                    EXPECT_TRUE(englishSentence.match(tip).hasMatch() && oneSentence(tip)) << where;
                    EXPECT_FALSE(hasChinese(tip)) << where;
                } else {
                    EXPECT_TRUE(hasChinese(tip)) << where;
                    EXPECT_TRUE(oneSentence(tip)) << where;
                }
                if (p == PAGE_CAPTURE)
                    capture[controlIdOf(w->objectName())] = tip;
            }
        }
        EXPECT_GE(controls, 75);
        // Verify and Check are told apart.
        EXPECT_NE(capture[IDC_CAPTURE_VERIFY], capture[IDC_CAPTURE_CHECK]);
        if (language == LANGID_ENGLISH_US) {
            EXPECT_EQ(capture[IDC_CAPTURE_VERIFY], u"Checks each file's data after writing it."_qs);
            EXPECT_EQ(capture[IDC_CAPTURE_CHECK],
                      u"Adds the integrity table to the WIM file and checks it."_qs);
        }
    }
    SetProcessUILanguage(0);
    installTranslations();
}

// The English texts of the string table read as English: no doubled full stop, and no count
// followed by a noun that would be plural for one ("1 images"): counts stand as values.
TEST(EnglishTexts, NoDoubledStopsAndNoCountedPlurals)
{
    static const QRegularExpression countedNoun(QStringLiteral("%[0-9]!d! [a-z]+s\\b"));
    SetProcessUILanguage(LANGID_ENGLISH_US);
    int texts = 0;
    for (UINT id = 133; id < 300; ++id) {
        const QString text = loadString(id);
        if (text == kUnknownText)
            continue;
        ++texts;
        const QString trimmed = text.trimmed();
        EXPECT_FALSE(trimmed.endsWith(u"..") && !trimmed.endsWith(u"..."))
            << id << ": " << text.toStdString();
        EXPECT_FALSE(countedNoun.match(text).hasMatch()) << id << ": " << text.toStdString();
    }
    SetProcessUILanguage(0);
    EXPECT_GT(texts, 100);
}
