// The browse page's tree: the entries of one image, read on a thread of their own so that the
// window never waits for the image. Folders are read when they are opened, in batches, and a
// name filter searches the whole image there and lists what matches.
#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QVector>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class QThread;

// One entry as the reader delivers it.
struct BrowseEntry {
    QString name;
    QString path; // inside the image, '/' separated
    quint64 size = 0;
    quint32 attributes = 0;
    qint64 modified = 0; // milliseconds since 1970 (UTC)
    bool folder = false;
};
Q_DECLARE_METATYPE(BrowseEntry)

// Lives on the reader's thread: holds the open WIM and image and answers the model's requests
// in order. Every request carries the model's generation; work for an older one is skipped
// or cut short.
class BrowseReader : public QObject {
    Q_OBJECT
public:
    explicit BrowseReader(std::shared_ptr<std::atomic<quint64>> latest);
    ~BrowseReader() override;

public slots:
    void open(quint64 generation, const QString& wimPath, quint32 index);
    void list(quint64 generation, quintptr node, const QString& folder);
    void search(quint64 generation, const QString& pattern);
    // Closes the image and ends the thread; the reader deletes itself.
    void shutdown();

signals:
    // The image is open (ok), or why not (message, one or two lines).
    void opened(quint64 generation, bool ok, const QString& message);
    // Entries for `node`, in batches; `last` ends the folder (or the search).
    void entries(quint64 generation, quintptr node, const QVector<BrowseEntry>& batch, bool last);

private:
    bool current(quint64 generation) const { return latest_->load() == generation; }
    void closeImage();

    std::shared_ptr<std::atomic<quint64>> latest_;
    void* wim_ = nullptr;   // HANDLE
    void* image_ = nullptr; // HANDLE
};

class BrowseModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { NameColumn, SizeColumn, ModifiedColumn, AttributesColumn, ColumnCount };

    explicit BrowseModel(QObject* parent = nullptr);
    ~BrowseModel() override;

    // Shows image `index` of the WIM at `wimPath` (its root once read). Any earlier image's
    // work is dropped.
    void openImage(const QString& wimPath, quint32 index);
    // A non-empty filter lists every entry of the image whose name matches (letters without
    // case; '*' and '?' as wildcards, else a part of the name); an empty one shows the tree.
    void setFilter(const QString& filter);
    // The image paths of the rows of `indexes` (column 0 rows only, each once).
    QStringList pathsOf(const QModelIndexList& indexes) const;
    // The status line's text: reading, the image's entries read so far, or why it failed.
    QString status() const { return status_; }
    bool isBusy() const { return pending_ > 0; }
    // Entries read into the model so far.
    int entryCount() const { return entryCount_; }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    void statusChanged(const QString& status);
    void requestOpen(quint64 generation, const QString& wimPath, quint32 index);
    void requestList(quint64 generation, quintptr node, const QString& folder);
    void requestSearch(quint64 generation, const QString& pattern);
    void requestShutdown();

private:
    struct Node;
    Node* nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(Node* node) const;
    void restart();
    void onOpened(quint64 generation, bool ok, const QString& message);
    void onEntries(quint64 generation, quintptr node, const QVector<BrowseEntry>& batch, bool last);
    void setStatus(const QString& status);

    std::unique_ptr<Node> root_;
    std::shared_ptr<std::atomic<quint64>> latest_;
    quint64 generation_ = 0;
    QThread* thread_ = nullptr;
    QObject* reader_ = nullptr; // lives on thread_; deleted once thread_ has ended
    QString status_;
    QString filter_;
    quint32 imageIndex_ = 0;
    bool open_ = false;
    int pending_ = 0;
    int entryCount_ = 0;
};
