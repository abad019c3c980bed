#include "app/PathDrop.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

namespace {

// The path of the first local file or folder a drag carries, or an empty text.
QString droppedPath(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls())
        return QString();
    const QList<QUrl> urls = mime->urls();
    if (urls.isEmpty() || !urls.first().isLocalFile())
        return QString();
    return QDir::toNativeSeparators(urls.first().toLocalFile());
}

class PathDropFilter : public QObject {
public:
    PathDropFilter(QLineEdit* edit, std::function<void()> dropped)
        : QObject(edit), edit_(edit), dropped_(std::move(dropped))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != edit_)
            return false;
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (droppedPath(drag->mimeData()).isEmpty())
                return false;
            drag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QString path = droppedPath(drop->mimeData());
            if (path.isEmpty())
                return false;
            drop->acceptProposedAction();
            edit_->setText(path);
            if (dropped_)
                dropped_();
            return true;
        }
        default:
            return false;
        }
    }

private:
    QLineEdit* edit_;
    std::function<void()> dropped_;
};

} // namespace

void acceptPathDrops(QLineEdit* edit, std::function<void()> dropped)
{
    if (!edit)
        return;
    edit->setAcceptDrops(true);
    edit->installEventFilter(new PathDropFilter(edit, std::move(dropped)));
}
