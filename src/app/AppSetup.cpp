#include "app/AppSetup.h"

#include "platform/Kernel.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QLibraryInfo>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QScreen>
#include <QSettings>
#include <QStyleFactory>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QTranslator>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

// Fusion draws check boxes and drop-down arrows at fixed sizes; with a larger interface font
// (a user's setting, or a larger system font) they would stay small beside large texts. This
// style scales both by the widget's font height against the font the program started with.
class FontFollowingStyle : public QProxyStyle {
public:
    FontFollowingStyle(QStyle* base, int referenceHeight)
        : QProxyStyle(base), referenceHeight_(std::max(referenceHeight, 1))
    {
    }

    int pixelMetric(PixelMetric metric, const QStyleOption* option,
                    const QWidget* widget) const override
    {
        const int base = QProxyStyle::pixelMetric(metric, option, widget);
        switch (metric) {
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
        case PM_ExclusiveIndicatorWidth:
        case PM_ExclusiveIndicatorHeight:
            return std::max(base, int(std::lround(base * scale(option, widget))));
        default:
            return base;
        }
    }

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                            QPainter* painter, const QWidget* widget) const override
    {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        const double factor = scale(option, widget);
        if (control != CC_ComboBox || factor <= 1.0 || !(option->subControls & SC_ComboBoxArrow))
            return;
        // A larger arrow over Fusion's, centred where it stands: it covers the small one.
        const QRect room = subControlRect(control, option, SC_ComboBoxArrow, widget);
        const double width = std::min(14.0 * factor, room.width() - 4.0);
        const double height = width * 8.0 / 14.0;
        const QPointF c = QRectF(room).center();
        const QPolygonF arrow({QPointF(c.x() - width / 2, c.y() - height / 2),
                               QPointF(c.x() + width / 2, c.y() - height / 2),
                               QPointF(c.x(), c.y() + height / 2)});
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(option->palette.color(QPalette::ButtonText));
        painter->drawPolygon(arrow);
        painter->restore();
    }

private:
    double scale(const QStyleOption* option, const QWidget* widget) const
    {
        const int height = widget   ? widget->fontMetrics().height()
                           : option ? option->fontMetrics.height()
                                    : referenceHeight_;
        return double(height) / referenceHeight_;
    }

    const int referenceHeight_;
};

} // namespace

void setUpApplication()
{
    // Qt's file dialog keeps its last folder, history and column widths in the user's Qt
    // settings and reads them at the next start; this program keeps nothing between runs, so
    // its settings live in a folder of its own that goes away with the process.
    static QTemporaryDir settingsDir;
    if (settingsDir.isValid()) {
        for (auto format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, settingsDir.path());
    }

    const QStringList families = QFontDatabase::families();
    QString family;
    if (families.contains(QStringLiteral("WenQuanYi Micro Hei")))
        family = QStringLiteral("WenQuanYi Micro Hei");
    else {
        const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
        if (!chinese.isEmpty())
            family = chinese.first();
    }
    if (!family.isEmpty()) {
        QFont font = QApplication::font();
        font.setFamily(family);
        QApplication::setFont(font);
    }
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(
            new FontFollowingStyle(fusion, QFontMetrics(QApplication::font()).height()));
    QApplication::setWindowIcon(appIcon());
    installTranslations();
}

namespace {

// Qt's Chinese catalogue names the file types of its file dialog ("Folder", "Drive", "%1 File")
// under the context QFileDialog, where Qt 6 asks for them under QAbstractFileIconProvider.
class QtTranslator : public QTranslator {
public:
    QString translate(const char* context, const char* source, const char* disambiguation,
                      int n) const override
    {
        if (qstrcmp(context, "QAbstractFileIconProvider") == 0) {
            QString moved = QTranslator::translate("QFileDialog", source, disambiguation, n);
            if (!moved.isEmpty())
                return moved;
        }
        return QTranslator::translate(context, source, disambiguation, n);
    }
};

} // namespace

bool installTranslations()
{
    // One translator at a time: the program's English catalogue, or Qt's Chinese texts.
    static QTranslator* installed = nullptr;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    QTranslator* translator = nullptr;
    bool loaded = false;
    if (GetProcessUILanguage() == LANGID_ENGLISH_US) {
        translator = new QTranslator;
        QLocale::setDefault(QLocale::system());
        loaded = translator->load(QStringLiteral(":/i18n/pelloric_en.qm"));
    } else {
        const QLocale chinese(QLocale::Chinese, QLocale::China);
        QLocale::setDefault(chinese);
        translator = new QtTranslator;
        loaded = translator->load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                                  QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    }
    if (loaded && QCoreApplication::installTranslator(translator)) {
        installed = translator;
        return true;
    }
    delete translator;
    return false;
}

namespace {

// The same drawing as res/pelloric.svg (48 × 48 view box): a box holding a disc.
QPixmap drawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);

    p.setPen(QPen(QColor(0x2b, 0x4a, 0x6f), 2));
    p.setBrush(QColor(0x5b, 0x8d, 0xc9));
    p.drawRoundedRect(QRectF(3, 7, 42, 36), 4, 4);
    p.setBrush(QColor(0x3f, 0x6f, 0xaa));
    p.drawRect(QRectF(3, 7, 42, 8));

    p.setPen(QPen(QColor(0x55, 0x55, 0x55), 1.5));
    p.setBrush(QColor(0xe8, 0xe8, 0xe8));
    p.drawEllipse(QPointF(24, 29), 11, 11);
    p.setBrush(QColor(0xb0, 0xc8, 0xe8));
    p.drawEllipse(QPointF(24, 29), 4.5, 4.5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(24, 29), 1.5, 1.5);
    return pixmap;
}

} // namespace

QIcon appIcon()
{
    static const QIcon icon = [] {
        QIcon i;
        for (int size : {16, 32, 48})
            i.addPixmap(drawIcon(size));
        return i;
    }();
    return icon;
}

DialogBaseUnits dialogBaseUnits(const QFont& font)
{
    // The platform's rule: the average width of the 52 Latin letters, rounded, and the
    // character height of the font.
    const QFontMetrics fm(font);
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, fm.height()};
}

QRect dialogToPixels(const QRect& r, DialogBaseUnits u)
{
    auto mulDiv = [](int value, int mul, int div) {
        const long long v = static_cast<long long>(value) * mul;
        return static_cast<int>(v >= 0 ? (v + div / 2) / div : (v - div / 2) / div);
    };
    const int left = mulDiv(r.x(), u.x, 4);
    const int top = mulDiv(r.y(), u.y, 8);
    const int right = mulDiv(r.x() + r.width(), u.x, 4);
    const int bottom = mulDiv(r.y() + r.height(), u.y, 8);
    return QRect(left, top, right - left, bottom - top);
}

void mapTemplateToPixels(QWidget* root)
{
    const DialogBaseUnits units = dialogBaseUnits(root->font());
    for (QObject* child : root->children()) {
        if (auto* w = qobject_cast<QWidget*>(child); w && !w->isWindow())
            w->setGeometry(dialogToPixels(w->geometry(), units));
    }
    root->resize(dialogToPixels(QRect(QPoint(0, 0), root->size()), units).size());
}

QSize availableClientSize(const QWidget* widget)
{
    const QScreen* screen = widget->screen() ? widget->screen() : QGuiApplication::primaryScreen();
    const QSize available = screen ? screen->availableGeometry().size() : QSize(1 << 15, 1 << 15);
    QSize frame;
    if (widget->isWindow() && widget->isVisible())
        frame = widget->frameGeometry().size() - widget->geometry().size();
    // Until the window manager has framed the window, a title bar of two lines of the font and
    // thin borders are kept free.
    const int line = QFontMetrics(widget->font()).height();
    frame = frame.expandedTo(QSize(8, 2 * line + 8));
    return (available - frame).expandedTo(QSize(1, 1));
}

void setEditTabStops(QPlainTextEdit* edit)
{
    edit->setTabStopDistance(8.0 * dialogBaseUnits(edit->font()).x);
}
