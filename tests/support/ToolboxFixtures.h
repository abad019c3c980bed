// Fixtures of the toolbox tests: trees of incompressible files (so that sizes and parts are
// predictable), wimlib-imagex runs, the parts of a split set, and hostile or damaged WIMs made
// by rewriting a good one with libwim or byte by byte.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace toolfix {

// `files` files of `bytes` pseudo-random bytes each below root ("f0.bin", ...; every tenth in a
// folder "sub"), each file different.
void makeNoiseTree(const QString& root, int files, int bytes);

// Runs wimlib-imagex with args; its exit code (output merged into *output when given).
int imagex(const QStringList& args, QString* output = nullptr);

// The files of the split set whose first part is `firstPart` (firstPart, name2.swm, ...) that
// exist, in part order.
QStringList partsOf(const QString& firstPart);

// Where a file's data lies in a WIM: the resource that holds it (for data in a solid resource,
// that whole resource). {-1, 0} when the file has no data or the WIM cannot be read.
struct Location {
    qint64 offset = -1;
    qint64 size = 0;
};
Location dataOf(const QString& wimPath, int image, const QString& pathInImage);

// The first resource of file data in the file's own blob table (also in a part without
// metadata); {-1, 0} when none.
Location anyDataOf(const QString& wimPath);

// Whether every resource of file data in the WIM is a solid one (as in Microsoft's ESD files).
bool allDataSolid(const QString& wimPath);

// XORs one byte of the file at offset with 0xFF.
bool flipByte(const QString& path, qint64 offset);

// Renames an entry inside image 1 with libwim (the new name may be anything libwim accepts,
// e.g. 300 characters long).
bool renameInImage(const QString& wimPath, const QString& from, const QString& to);

// Rewrites the name `from` of an entry of an uncompressed WIM's image 1 as `to` (same length),
// fixing the metadata's digest, so that libwim reads names no capture can make ("..",
// "/abs", "a/b"). False when the name is not found.
bool patchName(const QString& wimPath, const QString& from, const QString& to);

// A WIM whose one image holds `folders` folders /d000, /d001, ... of `files` empty files each,
// with names as long as those of a real installation; made with libwim from one folder on
// disk added many times, so it takes seconds, not minutes.
bool makeManyFileWim(const QString& wimPath, int folders, int files);

} // namespace toolfix
