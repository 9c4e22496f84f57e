// The main window's image menu (TForm1): the firmware and BIOS image
// transfer: choosing the image, confirming, and streaming it to the board in
// 1024-byte blocks, each followed by a boot-error query whose answer paces
// the stream.
#include <QAction>
#include <QLabel>

#include "app/Feedback.h"
#include "app/OpenDialog.h"
#include "app/Unit1.h"
#include "app/Unit20.h"

void TForm1::OpenFirmware1Click()
{
    UpdateKind = KindFirmware;
    OpenDialog1->FileName = QStringLiteral("*.hex");
    OpenDialog1->Filter = QStringLiteral("Hex File|*.Hex");
    OpenDialog1->Execute();
    FirmwareFileName = OpenDialog1->FileName.toStdString();
}

void TForm1::OpenImage1Click()
{
    BiosUnlocked = 0;
    Form20->show();
}

void TForm1::OnBiosPassword(bool right)
{
    if (right)
        BiosUnlocked = 1;
    Contin();
}

void TForm1::Contin()
{
    if (BiosUnlocked != 1) {
        TerminateProgram();
        return;
    }
    UpdateKind = KindBios;
    OpenDialog1->FileName = QStringLiteral("QLTBIOS.HEX");
    OpenDialog1->Filter = QStringLiteral("BIOS File|*.HEX");
    OpenDialog1->Execute();
    BiosFileName = OpenDialog1->FileName.toStdString();
}

void TForm1::Update1Click()
{
    if (!ConfirmOkCancel(QStringLiteral("Please Confirm Update ?"), QStringLiteral("Update Confirmation")))
        return;
    RunTransfer(SelectedRequest());
}

TUpdateRequest TForm1::SelectedRequest() const
{
    if (UpdateKind == KindFlashFiles)
        return {HistoryKind::Flash, {FlashFileNames.begin(), FlashFileNames.begin() + FlashFileCount}};
    if (UpdateKind == KindBios)
        return {HistoryKind::Bios, {BiosFileName}};
    return {HistoryKind::Firmware, {FirmwareFileName}};
}
