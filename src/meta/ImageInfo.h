// An image's XML information as a record, and the load-change-store cycle that changes one
// element of it, over WIMGetImageInformation / WIMSetImageInformation and the XML tree.
// These functions show nothing and log nothing; the caller passes a hook that reports an
// unreadable XML (the operations' wrappers in ops/ImageInfoOps.h show the XML error box).
// Callable from any thread; each call works on its own document.
#pragma once

#include "meta/XmlDocument.h"
#include "platform/WinTypes.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <functional>
#include <memory>

struct ImageInfo {
    QString name;                // NAME
    QString description;         // DESCRIPTION
    QString displayName;         // DISPLAYNAME
    QString displayDescription;  // DISPLAYDESCRIPTION
    QString flags;               // FLAGS
    std::int32_t dirCount = 0;   // DIRCOUNT
    std::int32_t fileCount = 0;  // FILECOUNT
    std::int64_t totalBytes = 0; // TOTALBYTES
};

// Called when an image's XML cannot be read: no handle, WIMGetImageInformation failed, or
// the text does not parse.
using XmlErrorReport = std::function<void()>;

enum class InfoStoreResult {
    Stored,        // the new XML was handed to the library
    XmlUnreadable, // nothing written; the error hook was called
    StoreFailed,   // WIMSetImageInformation failed; its last-error code is kept
};

// The information text of an image or WIM handle as the library hands it out (its leading
// U+FEFF included), up to its first NUL; the library's buffer is freed. False when
// WIMGetImageInformation fails (last-error code as the library set it).
bool loadInfoText(HANDLE handle, QString& text);
// The XML of an image (image handle) or of a whole WIM file (WIM handle) as a tree; null
// when the library call fails or the text does not parse. The library's buffer is freed.
std::unique_ptr<XmlDocument> loadInfoXml(HANDLE handle);
// Serializes `document` and hands it to WIMSetImageInformation (the text with its leading
// U+FEFF, byte count twice its length). Returns false when the handle is null
// (ERROR_INVALID_HANDLE), when the tree holds a character XML cannot carry and so is not
// serialized (ERROR_INVALID_DATA, the library is not called), or when the call fails
// (last-error code as the library set it).
bool storeInfoXml(HANDLE image, const XmlDocument& document);

// Decimal text to integer as the counts are read: leading white space and one sign allowed,
// digits up to the first other character, 0 without digits; out-of-range values saturate.
std::int64_t decimalValue(QStringView text);

// Fills `info` from the image's XML (the top element's direct children, names matched
// exactly). Always clears `info` first. On an unreadable XML calls onXmlError once and
// returns false with `info` cleared.
bool readImageInfo(HANDLE image, ImageInfo& info, const XmlErrorReport& onXmlError);
// Sets the text of the top element's direct child `elementName` (appending it as the last
// child when missing; an existing one keeps its place and attributes) and stores the XML.
// Every other element is written back unchanged.
InfoStoreResult setImageElement(HANDLE image, QStringView elementName, const QString& text,
                                const XmlErrorReport& onXmlError);
