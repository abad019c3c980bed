// The information report: the header, the images and the raw XML of a WIM file as text.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>

// Builds the report for the WIM file at path (taken as given, not made a full path) and
// returns the complete text for the information page's output box. When the file cannot be
// opened, its attributes read or the temporary folder set, the result is that one error
// line (Text::OpenWimFailed, WimAttributesFailed or TempFolderUnusable). An image whose XML cannot
// be read calls onXmlError once (the information page shows the XML error box there) and shows
// empty texts and zero counts. Runs on the calling thread; the file is closed before it returns.
// *opened (when given) tells whether the file was read, i.e. the result is a report and not an
// error line.
QString buildWimReport(const QString& path, const std::function<void()>& onXmlError = {},
                       bool* opened = nullptr);

// The size text of the report: "N Bytes", "N KB" or "N MB" (truncating) with CR LF.
QString reportSizeText(std::int64_t totalBytes);
