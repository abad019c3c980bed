// Fixture trees and WIM files made at test time: with libwim directly (several images,
// any compression, integrity table, boot index, chosen XML elements) and with 7-Zip
// (`7z a -twim`). Also small readers that check a WIM with libwim and wimlib-imagex, so
// tests can verify a file without going through the imaging layer under test.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <vector>

namespace wimfix {

// One entry of a fixture tree: a folder (content ignored) or a file with its bytes.
struct TreeEntry {
    QString path; // relative, '/' separated
    QByteArray content;
    bool folder = false;
};

// Creates the entries below root (parents made as needed).
void makeTree(const QString& root, const std::vector<TreeEntry>& entries);

// A small tree with nested folders, text files, an empty file, a file that compresses well
// and one that does not, a file name with Chinese characters and a symbolic link.
// Returns the number of folders (root included) and of non-folders it holds.
struct TreeCounts {
    int folders = 0;
    int files = 0;
};
TreeCounts makeSampleTree(const QString& root, int extraFiles = 0);

// Adds the skeleton of an offline Windows installation (Windows/System32/config/SOFTWARE
// and SYSTEM as small non-hive files, kernel32.dll) so libwim's own Windows detection
// finds a system root.
void addWindowsSkeleton(const QString& root);

// One image of a fixture WIM.
struct ImageRecipe {
    QString source;                      // folder captured
    QString name;                        // NAME; empty: none
    QString description{};               // DESCRIPTION; empty: none
    std::map<QString, QString> elements{}; // more elements ("FLAGS", "WINDOWS/EDITIONID", ...)
    bool keepLibwimWindowsInfo = false;  // false: drop what libwim adds for a Windows tree
};

struct WimRecipe {
    std::vector<ImageRecipe> images;
    int compression = 1;    // libwim's numbering: 0 none, 1 XPRESS, 2 LZX
    bool integrity = false; // write an integrity table
    int bootIndex = 0;
};

// Writes a WIM with libwim (no imaging layer involved). Returns false and fills *error on
// failure.
bool makeWim(const QString& wimPath, const WimRecipe& recipe, QString* error = nullptr);

// Writes a WIM of folder source with 7-Zip ("7z a -twim"). Returns false on failure (7z
// missing included).
bool make7zWim(const QString& wimPath, const QString& source, QString* output = nullptr);

// ---- checks through libwim and wimlib-imagex (not through the layer under test) ----------
// Image count, or -1 when libwim cannot open the file.
int imageCount(const QString& wimPath);
// Offset and stored size of the (last) metadata resource in the file; {0, 0} when none.
std::pair<qint64, qint64> metadataResource(const QString& wimPath);
// Boot index, or -1 when the file cannot be opened.
int bootIndex(const QString& wimPath);
// One image property as libwim reads it from the file ("NAME", "WINDOWS/EDITIONID");
// null QString when absent or the file cannot be opened.
QString imageProperty(const QString& wimPath, int image, const QString& property);
// The file's XML as `wimlib-imagex info --xml` prints it.
QString imagexXml(const QString& wimPath);
// True when `wimlib-imagex verify` accepts the file.
bool imagexVerify(const QString& wimPath, QString* output = nullptr);
// Paths (relative to the image root, '/' separated, root not included) of one image.
QStringList imagePaths(const QString& wimPath, int image);
// SHA-1 of the file's bytes, to check a file was left unchanged.
QByteArray fileDigest(const QString& path);
// Relative paths and contents of every file below root (symbolic links as "->target").
std::map<QString, QByteArray> treeContents(const QString& root);

} // namespace wimfix
