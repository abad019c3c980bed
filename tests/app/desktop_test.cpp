// The program as a desktop citizen: its labels in both languages, every text fitting its
// fixed-size window (also with a larger font), Qt's own dialogs in Chinese, the command line,
// and paths dropped from a file manager.
#include "UiDriver.h"

#include "app/AppSetup.h"
#include "app/CommandLine.h"
#include "app/ControlIds.h"
#include "app/ImageChooser.h"
#include "app/MainWindow.h"
#include "app/Page.h"
#include "app/ProgressDialog.h"
#include "ops/Text.h"
#include "ops/WimReport.h"
#include "platform/Kernel.h"
#include "support/TempDir.h"
#include "support/WimFixtures.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QStyleOptionButton>
#include <QStyleOptionComboBox>
#include <QTabBar>
#include <QTranslator>
#include <QTreeView>
#include <QTreeWidget>
#include <QUrl>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <algorithm>

using namespace uitest;

namespace {

bool hasChinese(const QString& text)
{
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x2E80 && c.unicode() <= 0xFFEF; });
}

// The inserts ("%1", "%2") a text carries, sorted.
QStringList insertsOf(const QString& text)
{
    static const QRegularExpression insert(QStringLiteral("%[1-9][0-9]?"));
    QStringList found;
    for (auto it = insert.globalMatch(text); it.hasNext();)
        found << it.next().captured();
    found.sort();
    return found;
}

// One translatable text of a page template: its template (the translation context), the
// object it belongs to, the property that shows it and the Chinese source text.
struct TemplateText {
    QString templateName;
    QString object;
    QByteArray property;
    QString source;
};

std::vector<TemplateText> templateTexts()
{
    std::vector<TemplateText> texts;
    const QDir res(QStringLiteral(PELLORIC_SOURCE_DIR "/res"));
    for (const QString& name : res.entryList({QStringLiteral("*.ui")}, QDir::Files, QDir::Name)) {
        QFile file(res.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        QXmlStreamReader xml(&file);
        QString templateName;
        QStringList objects;
        QByteArray property;
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement()) {
                if (xml.name() == u"class" && templateName.isEmpty())
                    templateName = xml.readElementText();
                else if (xml.name() == u"widget")
                    objects << xml.attributes().value(QStringLiteral("name")).toString();
                else if (xml.name() == u"property")
                    property = xml.attributes().value(QStringLiteral("name")).toLatin1();
                else if (xml.name() == u"string" && !objects.isEmpty()) {
                    const bool translatable =
                        xml.attributes().value(QStringLiteral("notr")) != u"true";
                    const QString text = xml.readElementText();
                    if (translatable)
                        texts.push_back({templateName, objects.last(), property, text});
                }
            } else if (xml.isEndElement() && xml.name() == u"widget") {
                objects.removeLast();
            }
        }
        EXPECT_FALSE(xml.hasError()) << name.toStdString();
    }
    return texts;
}

// Builds the widget of a template by the program's own code.
std::unique_ptr<QWidget> buildTemplate(const QString& name)
{
    static const std::pair<const char*, int> pages[] = {
        {"CapturePage", PAGE_CAPTURE}, {"ApplyPage", PAGE_APPLY},   {"InfoPage", PAGE_INFO},
        {"ModifyPage", PAGE_MODIFY},   {"MountPage", PAGE_MOUNT},   {"DeletePage", PAGE_DELETE},
        {"ExportPage", PAGE_EXPORT},   {"BrowsePage", PAGE_BROWSE}, {"SplitPage", PAGE_SPLIT},
        {"MaintainPage", PAGE_MAINTAIN}, {"AboutPage", PAGE_ABOUT}};
    if (name == QLatin1String("ProgressDialog"))
        return std::make_unique<ProgressDialog>(ID_CAPTURE, nullptr);
    for (const auto& [page, index] : pages)
        if (name == QLatin1String(page))
            return std::make_unique<Page>(index, nullptr);
    return nullptr;
}

QString shownText(QWidget* root, const TemplateText& t)
{
    QWidget* w = root->objectName() == t.object ? root : root->findChild<QWidget*>(t.object);
    if (!w)
        return QStringLiteral("<no object %1>").arg(t.object);
    return w->property(t.property.constData()).toString();
}

// Every text a user can read in a window: labels, buttons, group titles, list items, column
// titles, tab labels and window titles.
QStringList visibleTexts(QWidget* root)
{
    QStringList texts{root->windowTitle()};
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (auto* label = qobject_cast<QLabel*>(w))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        else if (auto* box = qobject_cast<QGroupBox*>(w))
            texts << box->title();
        else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
            for (int c = 0; c < tree->columnCount(); ++c)
                texts << tree->headerItem()->text(c);
        } else if (auto* bar = qobject_cast<QTabBar*>(w)) {
            for (int i = 0; i < bar->count(); ++i)
                texts << bar->tabText(i);
        }
    }
    return texts;
}

// The texts of root's labels, check boxes, buttons, group boxes, lists and tabs that do not fit
// the room their widget gives them, described for a failure message.
QStringList cutTexts(QWidget* root)
{
    QStringList cut;
    const auto check = [&](QWidget* w, const QString& text, int room) {
        const int needed = w->fontMetrics().horizontalAdvance(text);
        if (!text.isEmpty() && needed > room)
            cut << QStringLiteral("%1 \"%2\": %3 px in %4 px")
                       .arg(w->objectName(), text)
                       .arg(needed)
                       .arg(room);
    };
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->pixmap().isNull())
                check(w, label->text(), label->contentsRect().width());
            if (!label->text().isEmpty() && label->fontMetrics().height() > label->height())
                cut << QStringLiteral("%1: %2 px high in %3 px")
                           .arg(w->objectName())
                           .arg(label->fontMetrics().height())
                           .arg(label->height());
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            const QRect room =
                box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
            check(w, box->text(), room.width());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const QRect room =
                button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
            check(w, button->text(), room.width());
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            check(w, group->title(), group->width() - 16);
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            QStyleOptionComboBox option;
            option.initFrom(combo);
            option.editable = false;
            const QRect room = combo->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                              QStyle::SC_ComboBoxEditField, combo);
            for (int i = 0; i < combo->count(); ++i)
                check(w, combo->itemText(i), room.width());
        } else if (auto* bar = qobject_cast<QTabBar*>(w)) {
            const int last = bar->count() - 1;
            if (last >= 0 && bar->tabRect(last).right() >= bar->width())
                cut << QStringLiteral("tab bar: %1 px in %2 px")
                           .arg(bar->tabRect(last).right() + 1)
                           .arg(bar->width());
        }
    }
    return cut;
}

class DesktopTest : public MainWindowFixture {};

} // namespace

// The labels of every template show their Chinese source texts unchanged in the program's own
// language, and the English catalogue's texts in English; no template text lacks one.
TEST(Labels, EveryTemplateTextHasItsEnglishText)
{
    const std::vector<TemplateText> texts = templateTexts();
    ASSERT_GE(texts.size(), 80u);

    QTranslator catalogue;
    ASSERT_TRUE(catalogue.load(QStringLiteral(":/i18n/pelloric_en.qm")));
    for (const TemplateText& t : texts) {
        const QString english =
            catalogue.translate(t.templateName.toUtf8().constData(), t.source.toUtf8().constData());
        EXPECT_FALSE(english.isEmpty())
            << t.templateName.toStdString() << " " << t.object.toStdString() << " \""
            << t.source.toStdString() << "\" has no English";
        EXPECT_FALSE(hasChinese(english)) << english.toStdString();
        EXPECT_EQ(insertsOf(english), insertsOf(t.source)) << english.toStdString();
    }

    for (LANGID language : {LANGID_CHINESE_SIMPLIFIED, LANGID_ENGLISH_US}) {
        LanguageScope scope(language);
        for (const TemplateText& t : texts) {
            std::unique_ptr<QWidget> root = buildTemplate(t.templateName);
            ASSERT_NE(root, nullptr) << t.templateName.toStdString();
            const QString expected = language == LANGID_ENGLISH_US
                                         ? catalogue.translate(t.templateName.toUtf8().constData(),
                                                               t.source.toUtf8().constData())
                                         : t.source;
            EXPECT_EQ(shownText(root.get(), t), expected)
                << t.templateName.toStdString() << " " << t.object.toStdString();
        }
    }
}

// In English no window shows a Chinese character: pages, tabs, lists, the progress dialog and
// the image chooser.
TEST_F(DesktopTest, EnglishWindowsShowNoChinese)
{
    window.reset();
    LanguageScope english(LANGID_ENGLISH_US);
    MainWindow main(globalContext());
    main.show();
    for (int i = 0; i < PAGE_COUNT; ++i) {
        main.tabControl()->setCurrentIndex(i);
        for (const QString& text : visibleTexts(&main))
            EXPECT_FALSE(hasChinese(text)) << "page " << i << ": " << text.toStdString();
    }
    EXPECT_EQ(main.tabControl()->tabText(PAGE_INFO), QStringLiteral("Information"));

    ProgressDialog progress(ID_CAPTURE, &main);
    for (const QString& text : visibleTexts(&progress))
        EXPECT_FALSE(hasChinese(text)) << "progress dialog: " << text.toStdString();

    const std::vector<ChooserRow> rows = {
        {QStringLiteral("1"), QStringLiteral("a"), loadString(Text::NotAvailable)}};
    ImageChooserDialog chooser(&main, globalContext().request, rows);
    EXPECT_EQ(chooser.windowTitle(), QStringLiteral("Choose image"));
    for (const QString& text : visibleTexts(&chooser))
        EXPECT_FALSE(hasChinese(text)) << "chooser: " << text.toStdString();
}

// Every text fits the fixed-size windows in both languages, and with a font one and a half
// times larger (the windows grow with the font).
TEST_F(DesktopTest, EveryTextFitsInBothLanguagesAndWithALargerFont)
{
    window.reset();
    const QFont normal = QApplication::font();
    QSize normalSize;
    for (LANGID language : {LANGID_CHINESE_SIMPLIFIED, LANGID_ENGLISH_US}) {
        LanguageScope scope(language);
        for (double scale : {1.0, 1.5}) {
            QFont font = normal;
            font.setPointSizeF(normal.pointSizeF() * scale);
            QApplication::setFont(font);
            const std::string where = (language == LANGID_ENGLISH_US ? "English" : "Chinese") +
                                      std::string(scale == 1.0 ? "" : ", font x1.5");

            MainWindow main(globalContext());
            main.show();
            const QSize size = main.size();
            for (int i = 0; i < PAGE_COUNT; ++i) {
                main.tabControl()->setCurrentIndex(i);
                QApplication::processEvents();
                const QStringList cut = cutTexts(&main);
                EXPECT_TRUE(cut.isEmpty()) << where << ", page " << i << ":\n"
                                           << cut.join('\n').toStdString();
            }
            // The window grows with its font.
            if (scale == 1.0)
                normalSize = size;
            else
                EXPECT_GT(size.width(), normalSize.width() * 1.3) << where;

            // The progress dialog with the longest texts its status lines and button show.
            ProgressDialog progress(ID_CAPTURE, &main);
            const auto set = [&](const char* name, const QString& text) {
                QWidget* w = progress.findChild<QWidget*>(QLatin1String(name));
                ASSERT_NE(w, nullptr) << name;
                w->setProperty("text", text);
                const QStringList cut = cutTexts(&progress);
                EXPECT_TRUE(cut.isEmpty()) << where << ", progress dialog:\n"
                                           << cut.join('\n').toStdString();
            };
            set("c1014", formatMessage(Text::ElapsedAndRemaining,
                                       {QStringLiteral("99m59s"), QStringLiteral("99m59s")}));
            set("c1014", formatMessage(Text::ElapsedAndRemaining, {loadString(Text::Estimating),
                                                                   loadString(Text::Estimating)}));
            set("c1017", formatMessage(Text::FileCountProgress,
                                       {std::int64_t{999999}, std::int64_t{999999}}));
            set("c1017",
                formatMessage(Text::ScanCounts, {std::int64_t{999999}, std::int64_t{99999}}));
            set("c1015", QStringLiteral("100%"));
            for (const QString& button :
                 {loadString(Text::AbortingButton), loadString(Text::AbortButton),
                  loadString(Text::CloseButton), QStringLiteral("Abort"), QStringLiteral("Close")})
                set("c2", button);
        }
    }
    QApplication::setFont(normal);
}

// Whenever the program speaks Chinese, Qt's file picker and message boxes do too, and the
// picker's size, type and date columns show their whole text.
TEST_F(DesktopTest, QtDialogsSpeakChineseAndPickerColumnsShowWholeTexts)
{
    TempDir dir;
    dir.mkdir(QStringLiteral("sources"));
    const QString wim = dir.write(QStringLiteral("install.wim"), QByteArray(15000, 'W'));
    // Qt's file dialog restores the column widths it saved last time; this one starts afresh.
    TempDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    const auto restorePath = qScopeGuard([] {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    });
    const QRegularExpression latin(QStringLiteral("[A-Za-z]"));
    const auto withoutMnemonic = [](QString text) {
        return text.remove(QRegularExpression(QStringLiteral("\\(&.\\)"))).remove(u'&');
    };

    selectTab(PAGE_INFO);
    ctl<QLineEdit>(IDC_INFO_SOURCE)->setText(wim);
    QStringList english;
    QStringList cutColumns;
    QString notFound;
    QString notFoundButton;
    whenModal<QFileDialog>("information source picker", [&](QFileDialog* picker) {
        auto* view = picker->findChild<QTreeView*>(QStringLiteral("treeView"));
        auto* model = picker->findChild<QFileSystemModel*>();
        ASSERT_TRUE(view && model);
        const QModelIndex folder = model->index(dir.path());
        // Rows, then their sizes and types, arrive from Qt's file information thread.
        ASSERT_TRUE(waitUntil([&] {
            const QModelIndex file = model->index(wim);
            return model->rowCount(folder) == 2 && file.isValid() &&
                   !model->data(file.siblingAtColumn(2)).toString().isEmpty() &&
                   !model->data(file.siblingAtColumn(1)).toString().isEmpty();
        }));
        QTest::qWait(100);
        QHeaderView* header = view->header();
        for (int column = 1; column < header->count(); ++column) {
            const QAbstractItemView* items = view; // the content size hint is public here
            const int needed =
                std::max(items->sizeHintForColumn(column), header->sectionSizeHint(column));
            if (header->sectionSize(column) < needed)
                cutColumns << QStringLiteral("column %1: %2 px for %3 px")
                                  .arg(column)
                                  .arg(header->sectionSize(column))
                                  .arg(needed);
        }
        EXPECT_GT(header->sectionSize(0), 50);
        EXPECT_EQ(model->data(model->index(dir.file(QStringLiteral("sources"))).siblingAtColumn(2))
                      .toString(),
                  QStringLiteral("文件夹"));
        QStringList texts;
        for (QLabel* label : picker->findChildren<QLabel*>())
            texts << label->text();
        for (QAbstractButton* button : picker->findChildren<QAbstractButton*>())
            texts << button->text() << button->toolTip();
        for (int column = 0; column < header->count(); ++column)
            texts << model->headerData(column, Qt::Horizontal).toString();
        for (const QString& text : texts) {
            if (withoutMnemonic(text).contains(latin))
                english << text;
        }

        // A name that does not exist: the picker says so in Chinese and stays open.
        whenModal<QMessageBox>("file not found box", [&](QMessageBox* box) {
            notFound = box->text();
            for (QAbstractButton* button : box->buttons())
                notFoundButton += button->text();
            box->accept();
        });
        picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
            ->setText(dir.file(QStringLiteral("missing.wim")));
        static_cast<QDialog*>(picker)->accept();
        EXPECT_TRUE(picker->isVisible());
        picker->reject();
    });
    click(IDC_INFO_BROWSE_SOURCE);
    EXPECT_TRUE(english.isEmpty()) << english.join(" | ").toStdString();
    EXPECT_TRUE(cutColumns.isEmpty()) << cutColumns.join('\n').toStdString();
    EXPECT_TRUE(notFound.contains(QStringLiteral("文件未找到"))) << notFound.toStdString();
    EXPECT_FALSE(notFound.contains(QStringLiteral("not found"))) << notFound.toStdString();
    EXPECT_EQ(notFoundButton, QStringLiteral("确定"));

    QString boxButton;
    whenModal<QMessageBox>("XML error box", [&](QMessageBox* box) {
        boxButton = box->buttons().value(0)->text();
        box->accept();
    });
    showXmlErrorMessage(window.get());
    EXPECT_EQ(boxButton, QStringLiteral("确定"));
}

TEST(CommandLine, OneWimFileAtMost)
{
    struct Case {
        QStringList arguments;
        QString file;
        bool help;
        bool error;
    };
    const Case cases[] = {
        {{}, {}, false, false},
        {{QStringLiteral("/srv/映像 一.wim")}, QStringLiteral("/srv/映像 一.wim"), false, false},
        {{QStringLiteral("relative.wim")}, QStringLiteral("relative.wim"), false, false},
        {{QStringLiteral("--"), QStringLiteral("-x.wim")}, QStringLiteral("-x.wim"), false, false},
        {{QStringLiteral("-")}, QStringLiteral("-"), false, false},
        {{QStringLiteral("--help")}, {}, true, false},
        {{QStringLiteral("-h")}, {}, true, false},
        {{QStringLiteral("--verbose")}, {}, false, true},
        {{QStringLiteral("a.wim"), QStringLiteral("b.wim")}, {}, false, true},
    };
    for (const Case& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments);
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(line.help, c.help) << what;
        EXPECT_EQ(!line.error.isEmpty(), c.error) << what;
        if (!c.error) {
            EXPECT_EQ(line.wimFile, c.file) << what;
        }
    }
}

TEST_F(DesktopTest, StartsOnTheInformationPageWithTheFilesReport)
{
    TempDir dir;
    wimfix::makeSampleTree(dir.mkdir(QStringLiteral("tree")));
    const QString wim = dir.file(QStringLiteral("opened.wim"));
    QString error;
    wimfix::WimRecipe recipe;
    for (const char* name : {"One", "Two"}) {
        wimfix::ImageRecipe image;
        image.source = dir.file(QStringLiteral("tree"));
        image.name = QString::fromLatin1(name);
        recipe.images.push_back(image);
    }
    ASSERT_TRUE(wimfix::makeWim(wim, recipe, &error)) << error.toStdString();

    startOnInfoPage(*window, wim);
    ASSERT_EQ(window->tabControl()->currentIndex(), PAGE_INFO);
    EXPECT_EQ(ctl<QLineEdit>(IDC_INFO_SOURCE)->text(), wim);
    auto* report = ctl<QPlainTextEdit>(IDC_INFO_REPORT);
    const QString expected = QString(buildWimReport(wim)).replace("\r\n", "\n");
    ASSERT_TRUE(waitUntil([&] { return report->toPlainText() == expected; }, kLongestWait))
        << report->toPlainText().toStdString();
    EXPECT_TRUE(report->toPlainText().contains(
        formatMessage(Text::ReportImageCount, {std::int64_t{2}}).trimmed()));
    // The page keeps the file and its report like any typed value.
    selectTab(PAGE_CAPTURE);
    selectTab(PAGE_INFO);
    EXPECT_EQ(ctl<QLineEdit>(IDC_INFO_SOURCE)->text(), wim);
    EXPECT_FALSE(ctl<QPlainTextEdit>(IDC_INFO_REPORT)->toPlainText().isEmpty());
}

// A file or folder dropped on any path edit replaces its text; remote addresses are refused.
TEST_F(DesktopTest, DroppedFilesAndFoldersFillPathFields)
{
    struct Field {
        int page;
        int edit;
    };
    const Field fields[] = {
        {PAGE_CAPTURE, IDC_CAPTURE_SOURCE},
        {PAGE_CAPTURE, IDC_CAPTURE_TARGET},
        {PAGE_CAPTURE, IDC_CAPTURE_TEMP_FOLDER},
        {PAGE_CAPTURE, IDC_CAPTURE_CONFIG_FILE},
        {PAGE_APPLY, IDC_APPLY_SOURCE},
        {PAGE_APPLY, IDC_APPLY_TARGET},
        {PAGE_INFO, IDC_INFO_SOURCE},
        {PAGE_MODIFY, IDC_MODIFY_SOURCE},
        {PAGE_MOUNT, IDC_MOUNT_SOURCE},
        {PAGE_MOUNT, IDC_MOUNT_PATH},
        {PAGE_DELETE, IDC_DELETE_SOURCE},
        {PAGE_EXPORT, IDC_EXPORT_SOURCE},
        {PAGE_EXPORT, IDC_EXPORT_TARGET},
    };
    const auto drop = [](QWidget* target, const QList<QUrl>& urls) {
        QMimeData mime;
        mime.setUrls(urls);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropped);
        return dropped.isAccepted();
    };
    const QString path = QStringLiteral("/srv/映像 库/install #1.wim");
    for (const Field& f : fields) {
        selectTab(f.page);
        auto* edit = ctl<QLineEdit>(f.edit);
        edit->setText(QStringLiteral("old text"));
        if (f.page == PAGE_INFO)
            ctl<QPlainTextEdit>(IDC_INFO_REPORT)->setPlainText(QStringLiteral("old report"));
        EXPECT_FALSE(drop(edit, {QUrl(QStringLiteral("https://example.org/a.wim"))}));
        EXPECT_EQ(edit->text(), QStringLiteral("old text"));
        EXPECT_TRUE(drop(edit, {QUrl::fromLocalFile(path), QUrl::fromLocalFile("/other.wim")}))
            << "page " << f.page << " edit " << f.edit;
        EXPECT_EQ(edit->text(), path) << "page " << f.page << " edit " << f.edit;
        if (f.page == PAGE_INFO) {
            EXPECT_TRUE(ctl<QPlainTextEdit>(IDC_INFO_REPORT)->toPlainText().isEmpty());
        }
    }
    // The dropped path is a page value like a typed one.
    selectTab(PAGE_ABOUT);
    EXPECT_EQ(globalContext().request.exportTarget, path);
}
