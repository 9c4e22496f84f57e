// The firmware and BIOS image transfer: choosing the image, confirming, and
// streaming it to the board in 1024-byte blocks, each followed by a boot-error
// query whose answer paces the stream.
#include <QAction>
#include <QLabel>

#include "app/Encoder.h"
#include "app/Feedback.h"
#include "app/FileOfBytes.h"
#include "app/Gauge.h"
#include "app/OpenDialog.h"
#include "app/Unit1.h"
#include "app/Application.h"
#include "bios/Unit20.h"

namespace {

constexpr int FirmwareBurnBlock = 0;
constexpr int BiosBurnBlock = 1;

std::string SetBurnBlockCall(int block)
{
    return " SetBurnBlock(" + std::to_string(block) + ")";
}

} // namespace

void TForm1::OpenFirmware1Click()
{
    UpdateKind = KindFirmware;
    OpenDialog1->FileName = QStringLiteral("*.hex");
    OpenDialog1->Filter = QStringLiteral("Hex File|*.Hex");
    OpenDialog1->Execute();
    FirmwareFileName = OpenDialog1->FileName.toStdString();
    BurnBlockNumber = FirmwareBurnBlock;
}

void TForm1::OpenImage1Click()
{
    BiosUnlocked = 0;
    Form20->show();
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
    RunTransfer(&TForm1::RunSelectedTransfer);
}

void TForm1::RunSelectedTransfer()
{
    if (UpdateKind == KindFirmware) {
        Execute_Command(SetBurnBlockCall(BurnBlockNumber));
        CopyBootFile(FirmwareFileName);
    }
    if (UpdateKind == KindBios) {
        BurnBlockNumber = BiosBurnBlock;
        Execute_Command(SetBurnBlockCall(BiosBurnBlock));
        CopyBootFile(BiosFileName);
    }
    if (UpdateKind == KindFlashFiles)
        CopyFlashFile();
}

void TForm1::CopyBootFile(const std::string& path)
{
    TFileOfBytes image(path);
    const std::int64_t size = image.Size();
    Gauge1->SetMaxValue(size);
    const std::int64_t count = size / ImageBlockSize + 1;
    std::array<Byte, ImageBlockSize> block{};
    for (std::int64_t k = 1; k <= count; ++k) {
        const std::size_t n = image.Read(block.data(), block.size());
        TxLength = EncodeBlockWrite(TxFrame, GroupBoot, OperationImageBlock, std::nullopt,
                                    std::span<const Byte>(block.data(), n));
        NoReply = 1;
        Send_PVR("Main");
        Gauge1->SetProgress((k + 1) * ImageBlockSize);
        ShowStatus("Updating Please Wait !");
        RequestAndWait(" GetBootError :", "GetBootError");
    }
    ShowStatus("Finish Update");
}

void TForm1::ShowStatus(const char* text)
{
    Panel1->setText(QString::fromLatin1(text));
    // Between a block and the end of its query nothing else is serviced.
    Panel1->repaint();
}
