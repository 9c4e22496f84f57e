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
    Gauge1->SetMaxValue(image.Size());
    StreamBlocks(image, {ImageBlockSize, GroupBoot, OperationImageBlock, nullptr, " GetBootError :", "GetBootError"});
    ShowStatus("Finish Update");
}

void TForm1::StreamBlocks(TFileOfBytes& file, const BlockStream& stream)
{
    // size div block + 1 blocks: a file that fills its last block exactly
    // still ends with an empty block, which the board expects.
    const std::int64_t count = file.Size() / stream.blockSize + 1;
    std::array<Byte, ImageBlockSize> block{};
    for (std::int64_t k = 1; k <= count; ++k) {
        const std::size_t n = file.Read(block.data(), static_cast<std::size_t>(stream.blockSize));
        std::optional<std::uint32_t> handle;
        if (stream.handle != nullptr)
            handle = static_cast<std::uint32_t>(*stream.handle);
        TxLength = EncodeBlockWrite(TxFrame, stream.group, stream.operation, handle,
                                    std::span<const Byte>(block.data(), n));
        NoReply = 1;
        Send_PVR("Main");
        // One block ahead, as the board's operators know it: the gauge is full
        // when the last block goes out.
        Gauge1->SetProgress((k + 1) * stream.blockSize);
        ShowStatus("Updating Please Wait !");
        RequestAndWait(stream.query, stream.label);
    }
}

void TForm1::ShowStatus(const char* text)
{
    Panel1->setText(QString::fromLatin1(text));
    // Between a block and the end of its query nothing else is serviced.
    Panel1->repaint();
}
