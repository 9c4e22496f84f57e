// The main window's file menu (TForm1): the flash-file and data-file
// transfers, files written into the board's own file store in 512-byte
// blocks, each block frame carrying the handle that the board gave when the
// file was created.
#include <QAction>
#include <QLabel>

#include "app/Feedback.h"
#include "app/OpenDialog.h"
#include "app/Unit1.h"

void TForm1::OpenOSDFiles1Click()
{
    UpdateKind = KindFlashFiles;
    OpenDialog1->Filter = QStringLiteral("All Files|*.*");
    if (!OpenDialog1->Execute())
        return;
    const QStringList& chosen = OpenDialog1->Files;
    FlashFileCount = static_cast<std::int32_t>(std::min<qsizetype>(chosen.size(), MaxFlashFiles));
    for (int i = 0; i < FlashFileCount; ++i)
        FlashFileNames[static_cast<std::size_t>(i)] = chosen[i].toStdString();
    if (chosen.size() > MaxFlashFiles)
        ShowMessage(QStringLiteral("At most %1 flash files can be written at once: the first %1 of the %2 chosen "
                                   "files are kept.")
                        .arg(MaxFlashFiles)
                        .arg(chosen.size()),
                    QStringLiteral("Flash Files"), false);
}

void TForm1::SendDataFile1Click()
{
    OpenDialog1->Filter = QStringLiteral("All Files|*.*");
    if (!OpenDialog1->Execute())
        return;
    DataFileName = OpenDialog1->FileName.toStdString();
    if (!ConfirmOkCancel(QStringLiteral("Please Confirm Update ?"), QStringLiteral("Update Confirmation")))
        return;
    RunTransfer({HistoryKind::Data, {DataFileName}});
}
