#include "ops/WimReport.h"

// The report arrives with the imaging layer; until then it is empty.
QString buildWimReport(const QString&)
{
    return QString();
}
