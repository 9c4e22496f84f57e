#include "app/OpenDialog.h"

#include <QDir>
#include <QFileDialog>

QStringList TOpenDialog::NameFilters(const QString& filter)
{
    const QStringList fields = filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < fields.size(); i += 2)
        filters << fields[i] + QStringLiteral(" (") + QString(fields[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                       QLatin1Char(')');
    return filters;
}

bool TOpenDialog::Execute()
{
    // Qt's own dialog rather than the desktop's, so that it behaves the same
    // everywhere and can be driven by tests.
    QFileDialog dialog(owner_);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(MultiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    dialog.setNameFilters(NameFilters(Filter));
    dialog.setDirectory(QDir::current());
    dialog.selectFile(FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    Files = dialog.selectedFiles();
    FileName = Files.first();
    return true;
}
