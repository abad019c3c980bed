#include "app/BrowseModel.h"

#include "ops/Text.h"
#include "ops/Toolbox.h"
#include "platform/Imaging.h"
#include "platform/Kernel.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QStyle>
#include <QThread>

#include <mutex>

namespace {

constexpr int kBatch = 1000; // entries per delivery: each insertion stays short

qint64 msecsOf(const FILETIME& t)
{
    const quint64 ticks = (quint64{t.dwHighDateTime} << 32) | t.dwLowDateTime;
    return static_cast<qint64>(ticks / 10000) - 11644473600000LL;
}

BrowseEntry entryOf(const WIM_FIND_DATA& e)
{
    BrowseEntry entry;
    entry.name = QString::fromUtf16(e.Name);
    entry.path = QString::fromUtf16(e.Path);
    entry.size = e.Size;
    entry.attributes = e.Attributes;
    entry.modified = msecsOf(e.LastWriteTime);
    entry.folder = (e.Attributes & 0x410) == 0x10; // a folder, and no link
    return entry;
}

// Readers whose model has gone while they still worked, with their threads; each pair is
// deleted once its thread has ended, at the latest when the process exits. The reader is
// deleted here and not by deleteLater() on its own thread: a thread that ends after the
// application object has gone never runs its deferred deletions.
struct EndingThreads {
    std::mutex mutex;
    std::vector<std::pair<QThread*, QObject*>> threads;
    ~EndingThreads()
    {
        for (auto [thread, reader] : threads) {
            thread->wait(5000);
            if (thread->isFinished()) {
                delete reader;
                delete thread;
            }
        }
    }
    void add(QThread* thread, QObject* reader)
    {
        std::lock_guard lock(mutex);
        for (auto it = threads.begin(); it != threads.end();) {
            if (it->first->isFinished()) {
                delete it->second;
                delete it->first;
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
        threads.emplace_back(thread, reader);
    }
};
EndingThreads& endingThreads()
{
    static EndingThreads threads;
    return threads;
}

} // namespace

// ---- the reader ------------------------------------------------------------------------------
BrowseReader::BrowseReader(std::shared_ptr<std::atomic<quint64>> latest)
    : latest_(std::move(latest))
{
}

BrowseReader::~BrowseReader()
{
    closeImage();
}

void BrowseReader::closeImage()
{
    if (image_)
        WIMCloseHandle(image_);
    if (wim_)
        WIMCloseHandle(wim_);
    image_ = wim_ = nullptr;
}

void BrowseReader::open(quint64 generation, const QString& wimPath, quint32 index)
{
    closeImage();
    if (!current(generation))
        return;
    const auto failed = [&](const QString& line) {
        const QString reason = formatMessage(Text::ErrorReason, {errorText(GetLastError())});
        emit opened(generation, false, line + QLatin1Char('\n') + reason);
    };
    const QString path = fullPathOf(wimPath);
    DWORD created = 0;
    wim_ = WIMCreateFile(wide(path), GENERIC_READ, OPEN_EXISTING, 0, 0, &created);
    WIM_INFO info{};
    if (!wim_)
        return failed(loadString(Text::OpenWimFailed));
    if (!WIMGetAttributes(wim_, &info, sizeof info))
        return failed(loadString(Text::WimAttributesFailed));
    if (index < 1 || info.ImageCount < index) {
        emit opened(generation, false, formatMessage(Text::IndexNotInWim, {std::int64_t{index}}));
        return;
    }
    SplitPartProblem problem;
    if (!referenceSplitParts(wim_, path, info, problem)) {
        emit opened(generation, false, splitPartProblemText(problem));
        return;
    }
    image_ = WIMLoadImage(wim_, index);
    if (!image_ || !WIMReadImageTree(image_))
        return failed(formatMessage(Text::LoadImageFailed, {std::int64_t{index}}));
    emit opened(generation, true, QString());
}

void BrowseReader::list(quint64 generation, quintptr node, const QString& folder)
{
    QVector<BrowseEntry> batch;
    if (current(generation) && image_) {
        WIMEnumImageFiles(image_, wide(folder), WIM_ENUM_CHILDREN, [&](const WIM_FIND_DATA& e) {
            batch.push_back(entryOf(e));
            if (batch.size() >= kBatch) {
                emit entries(generation, node, batch, false);
                batch.clear();
            }
            return current(generation) ? TRUE : FALSE;
        });
    }
    emit entries(generation, node, batch, true);
}

void BrowseReader::search(quint64 generation, const QString& pattern)
{
    const bool wildcard = pattern.contains(u'*') || pattern.contains(u'?');
    const QRegularExpression expression(
        wildcard ? QRegularExpression::wildcardToRegularExpression(
                       pattern, QRegularExpression::UnanchoredWildcardConversion)
                 : QString(),
        QRegularExpression::CaseInsensitiveOption);
    QVector<BrowseEntry> batch;
    if (current(generation) && image_) {
        WIMEnumImageFiles(image_, u"/", WIM_ENUM_RECURSIVE, [&](const WIM_FIND_DATA& e) {
            const QString name = QString::fromUtf16(e.Name);
            const bool match =
                e.Depth > 0 && (wildcard ? expression.match(name).hasMatch()
                                         : name.contains(pattern, Qt::CaseInsensitive));
            if (match)
                batch.push_back(entryOf(e));
            if (batch.size() >= kBatch) {
                emit entries(generation, 0, batch, false);
                batch.clear();
            }
            return current(generation) ? TRUE : FALSE;
        });
    }
    emit entries(generation, 0, batch, true);
}

void BrowseReader::shutdown()
{
    closeImage();
    QThread::currentThread()->quit();
}

// ---- the model ---------------------------------------------------------------------------------
struct BrowseModel::Node {
    BrowseEntry entry;
    Node* parent = nullptr;
    int row = 0;
    enum State { Unread, Reading, Read } state = Unread;
    std::vector<std::unique_ptr<Node>> children;
};

BrowseModel::BrowseModel(QObject* parent)
    : QAbstractItemModel(parent), root_(std::make_unique<Node>()),
      latest_(std::make_shared<std::atomic<quint64>>(0)), thread_(new QThread)
{
    qRegisterMetaType<BrowseEntry>();
    qRegisterMetaType<QVector<BrowseEntry>>();
    auto* reader = new BrowseReader(latest_);
    reader_ = reader;
    reader->moveToThread(thread_);
    connect(this, &BrowseModel::requestOpen, reader, &BrowseReader::open);
    connect(this, &BrowseModel::requestList, reader, &BrowseReader::list);
    connect(this, &BrowseModel::requestSearch, reader, &BrowseReader::search);
    connect(this, &BrowseModel::requestShutdown, reader, &BrowseReader::shutdown);
    connect(reader, &BrowseReader::opened, this, &BrowseModel::onOpened);
    connect(reader, &BrowseReader::entries, this, &BrowseModel::onEntries);
    thread_->start();
}

BrowseModel::~BrowseModel()
{
    // The reader stops what it does at its next entry and ends its thread; the window does
    // not wait for a read that may still take long.
    latest_->store(0);
    emit requestShutdown();
    if (thread_->wait(20)) {
        delete reader_;
        delete thread_;
    } else {
        endingThreads().add(thread_, reader_);
    }
}

BrowseModel::Node* BrowseModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

QModelIndex BrowseModel::indexOf(Node* node) const
{
    return node == root_.get() ? QModelIndex() : createIndex(node->row, 0, node);
}

void BrowseModel::setStatus(const QString& status)
{
    status_ = status;
    emit statusChanged(status_);
}

void BrowseModel::restart()
{
    beginResetModel();
    root_ = std::make_unique<Node>();
    root_->entry.folder = true;
    root_->entry.path = QStringLiteral("/");
    latest_->store(++generation_);
    pending_ = 0;
    entryCount_ = 0;
    endResetModel();
}

void BrowseModel::openImage(const QString& wimPath, quint32 index)
{
    open_ = false;
    imageIndex_ = index;
    restart();
    ++pending_;
    setStatus(loadString(Text::BrowseLoading));
    emit requestOpen(generation_, wimPath, index);
}

void BrowseModel::setFilter(const QString& filter)
{
    if (filter == filter_)
        return;
    filter_ = filter;
    if (!open_)
        return; // applied once the image is open
    restart();
    if (filter_.isEmpty()) {
        fetchMore(QModelIndex());
        return;
    }
    ++pending_;
    setStatus(loadString(Text::BrowseSearching));
    emit requestSearch(generation_, filter_);
}

void BrowseModel::onOpened(quint64 generation, bool ok, const QString& message)
{
    if (generation != generation_)
        return;
    --pending_;
    if (!ok) {
        setStatus(message);
        return;
    }
    open_ = true;
    if (!filter_.isEmpty()) {
        ++pending_;
        setStatus(loadString(Text::BrowseSearching));
        emit requestSearch(generation_, filter_);
        return;
    }
    fetchMore(QModelIndex());
}

void BrowseModel::onEntries(quint64 generation, quintptr node, const QVector<BrowseEntry>& batch,
                            bool last)
{
    // Nodes live as long as their generation: an older batch may name one that is gone.
    if (generation != generation_)
        return;
    Node* parent = node ? reinterpret_cast<Node*>(node) : root_.get();
    if (!batch.isEmpty()) {
        const int first = static_cast<int>(parent->children.size());
        beginInsertRows(indexOf(parent), first, first + static_cast<int>(batch.size()) - 1);
        for (const BrowseEntry& e : batch) {
            auto child = std::make_unique<Node>();
            child->entry = e;
            child->parent = parent;
            child->row = static_cast<int>(parent->children.size());
            parent->children.push_back(std::move(child));
        }
        entryCount_ += static_cast<int>(batch.size());
        endInsertRows();
    }
    if (!last)
        return;
    parent->state = Node::Read;
    --pending_;
    if (filter_.isEmpty())
        setStatus(formatMessage(Text::BrowseShown,
                                {std::int64_t{imageIndex_}, std::int64_t{entryCount_}}));
    else
        setStatus(formatMessage(Text::BrowseFound, {std::int64_t{entryCount_}}));
    if (parent->children.empty() && parent != root_.get()) {
        // The folder is empty after all: its expander goes.
        emit layoutAboutToBeChanged();
        emit layoutChanged();
    }
}

QModelIndex BrowseModel::index(int row, int column, const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    if (row < 0 || column < 0 || column >= ColumnCount ||
        row >= static_cast<int>(node->children.size()))
        return {};
    return createIndex(row, column, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex BrowseModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    Node* parent = nodeOf(child)->parent;
    return parent ? indexOf(parent) : QModelIndex();
}

int BrowseModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    return static_cast<int>(nodeOf(parent)->children.size());
}

int BrowseModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

bool BrowseModel::hasChildren(const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    if (node == root_.get())
        return !node->children.empty() || (open_ && node->state != Node::Read);
    // Search results are a flat list.
    if (!filter_.isEmpty() || !node->entry.folder)
        return false;
    return node->state != Node::Read || !node->children.empty();
}

bool BrowseModel::canFetchMore(const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    return open_ && filter_.isEmpty() && node->entry.folder && node->state == Node::Unread &&
           (parent.column() <= 0);
}

void BrowseModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    Node* node = nodeOf(parent);
    node->state = Node::Reading;
    ++pending_;
    if (node == root_.get())
        setStatus(loadString(Text::BrowseLoading));
    emit requestList(generation_, node == root_.get() ? 0 : reinterpret_cast<quintptr>(node),
                     node->entry.path);
}

QVariant BrowseModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const BrowseEntry& e = nodeOf(index)->entry;
    if (role == Qt::DecorationRole && index.column() == NameColumn)
        return QApplication::style()->standardIcon(e.folder ? QStyle::SP_DirIcon
                                                            : QStyle::SP_FileIcon);
    if (role == Qt::TextAlignmentRole && index.column() == SizeColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case NameColumn:
        return filter_.isEmpty() ? e.name : e.path;
    case SizeColumn:
        return e.folder ? QString() : QLocale().toString(e.size);
    case ModifiedColumn:
        return QDateTime::fromMSecsSinceEpoch(e.modified)
            .toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    case AttributesColumn:
        return attributeLetters(e.attributes);
    default:
        return {};
    }
}

QVariant BrowseModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const Text::Id titles[ColumnCount] = {Text::NameColumn, Text::SizeColumn,
                                                 Text::ModifiedColumn, Text::AttributesColumn};
    return section >= 0 && section < ColumnCount ? loadString(titles[section]) : QVariant();
}

QStringList BrowseModel::pathsOf(const QModelIndexList& indexes) const
{
    QStringList paths;
    for (const QModelIndex& index : indexes)
        if (index.isValid() && index.column() == NameColumn)
            paths << nodeOf(index)->entry.path;
    paths.removeDuplicates();
    return paths;
}
