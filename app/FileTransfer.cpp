// The flash-file and data-file transfers: files written into the board's own
// file store in 512-byte blocks, each block frame carrying the handle that
// the board gave when the file was created.
#include <QAction>
#include <QFileInfo>
#include <QLabel>
#include <chrono>
#include <thread>

#include "app/Encoder.h"
#include "app/Feedback.h"
#include "app/FileOfBytes.h"
#include "app/Gauge.h"
#include "app/OpenDialog.h"
#include "app/Unit1.h"

namespace {

constexpr int FileBlockSize = 512;
constexpr auto EraseSettleTime = std::chrono::milliseconds(1000);
constexpr auto BurnStartTime = std::chrono::milliseconds(1000);
constexpr auto WriteSettleTime = std::chrono::milliseconds(500);
constexpr int FlashFileType = 3;

// The board needs these pauses; the window is not serviced during them.
void Pause(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

std::string Unsigned(std::int32_t handle)
{
    return std::to_string(static_cast<std::uint32_t>(handle));
}

} // namespace

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
    RunTransfer(&TForm1::CopyDataFile);
}

void TForm1::RequestAndWait(const std::string& callText, const std::string& label)
{
    Execute_Command(callText);
    if (CommMode == ModeRS232)
        WaitAck(label);
}

void TForm1::CopyFlashFile()
{
    ShowStatus("Erasing Flash Please Wait !");
    Execute_Command(" EraseFlash : ");
    Pause(EraseSettleTime);
    RequestAndWait(" GetFlashInfo :", "GetFlashInfo :");
    for (int i = 0; i < FlashFileCount; ++i) {
        const std::string& path = FlashFileNames[static_cast<std::size_t>(i)];
        TFileOfBytes file(path);
        const std::int64_t size = file.Size();
        const std::string name = QFileInfo(QString::fromStdString(path)).fileName().toStdString();
        Gauge1->SetMaxValue(size);
        RequestAndWait(" CreateFlashFile(" + name + ";" + std::to_string(size) + ";" + std::to_string(FlashFileType) +
                           ")",
                       "Create Flash File");
        StreamBlocks(file, {FileBlockSize, GroupBoot, OperationFlashFileBlock, &FlashFileHandle,
                            " GetNumberofDataFiles :", "GetNumberofDataFiles :"});
        Execute_Command(" CloseFlashFile(" + Unsigned(FlashFileHandle) + ")");
    }
    ShowStatus("Finish Write");
    Pause(WriteSettleTime);
}

void TForm1::CopyDataFile()
{
    RequestAndWait(" CreateDataFile(Flash.dat)", "Create Data File");
    {
        TFileOfBytes file(DataFileName);
        Gauge1->SetMaxValue(file.Size());
        StreamBlocks(file, {FileBlockSize, GroupDataFile, OperationDataFileBlock, &DataFileHandle,
                            " GetNumberofDataFiles :", "GetNumberofDataFiles :"});
        Execute_Command(" CloseDataFile(" + Unsigned(DataFileHandle) + ")");
    }
    ShowStatus("Finish Phase 1");
    Pause(BurnStartTime);
    Execute_Command(" SetBurnMode(0B)");
    ShowStatus("Please Wait for Burning to Finish");
}
