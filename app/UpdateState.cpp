#include "app/UpdateState.h"

Byte CommMode = 0;
Byte UpdateKind = 0;
std::string FirmwareFileName;
std::string BiosFileName;
std::string DataFileName;
std::array<std::string, MaxFlashFiles> FlashFileNames;
std::int32_t FlashFileCount = 0;
std::int32_t BurnBlockNumber = 0;
Byte BiosUnlocked = 0;

void ResetUpdateState()
{
    CommMode = 0;
    UpdateKind = 0;
    FirmwareFileName.clear();
    BiosFileName.clear();
    DataFileName.clear();
    FlashFileNames = {};
    FlashFileCount = 0;
    BurnBlockNumber = 0;
    BiosUnlocked = 0;
}
