#include "tests/support/FakeWindow.h"

namespace testsupport {

void FakeWindow::setStatus(const QString &status)
{
    statuses.append(status);
    if (onStatus)
        onStatus(status);
}

void FakeWindow::setUploading(bool value)
{
    uploading = value;
    uploadingChanges.append(value);
}

void FakeWindow::clearRecord()
{
    statuses.clear();
    uploadingChanges.clear();
    progress.clear();
    reports.clear();
}

QString progressStatus(const QString &fileName)
{
    return QStringLiteral("Converting and uploading %1...").arg(fileName);
}

} // namespace testsupport
