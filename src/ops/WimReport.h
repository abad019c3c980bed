// The information report: the header, the images and the raw XML of a WIM file as text.
#pragma once

#include <QString>

// Builds the report for the WIM file at path (user-interface thread, no progress dialog).
QString buildWimReport(const QString& path);
