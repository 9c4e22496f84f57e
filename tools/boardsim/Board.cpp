#include "tools/boardsim/Board.h"


namespace boardsim {

namespace {

const std::string FlashFolder = "flash/";
const std::string DataFolder = "data/";

std::string BurnImagePath(std::uint8_t block)
{
    return "burn" + std::to_string(block) + ".bin";
}

Outcome Refused(std::string error)
{
    Outcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

Outcome Answer(Command command, const Bytes& data, std::uint8_t result = ResultSuccess)
{
    const CommandInfo& info = InfoOf(command);
    Outcome outcome;
    outcome.answer = BuildAnswer(info.group, info.operation, result, data);
    return outcome;
}

}  // namespace

Board::Board(FileStore& store, const BoardSettings& settings) : store_(store), settings_(settings) {}

Outcome Board::Handle(const Request& request)
{
    switch (request.command) {
    case Command::GetBootError:
        return GetBootError();
    case Command::SetBurnBlock:
        return SetBurnBlock(request.value);
    case Command::ImageBlock:
        return WriteImageBlock(request);
    case Command::CreateDataFile:
        return CreateFile(request, false);
    case Command::CreateFlashFile:
        return CreateFile(request, true);
    case Command::DataFileBlock:
        return WriteFileBlock(request, false);
    case Command::FlashFileBlock:
        return WriteFileBlock(request, true);
    case Command::CloseDataFile:
        return CloseFile(request, false);
    case Command::CloseFlashFile:
        return CloseFile(request, true);
    case Command::EraseFlash:
        return EraseFlash();
    case Command::GetNumberofDataFiles:
        return GetNumberofDataFiles();
    case Command::GetFlashInfo:
        return GetFlashInfo();
    case Command::SetBurnMode:
        break;  // burning is the real board's business; nothing to keep here
    }
    return {};
}

Outcome Board::GetBootError()
{
    ++bootErrorAnswers_;
    const bool reported = settings_.bootErrorAt == 0 || bootErrorAnswers_ == settings_.bootErrorAt;
    return Answer(Command::GetBootError, Bytes{reported ? settings_.bootError : NoBootError});
}

Outcome Board::SetBurnBlock(std::uint8_t block)
{
    if (burnTarget_) {
        store_.Finish(*burnTarget_);
    }
    burnTarget_ = BurnImagePath(block);
    store_.Start(*burnTarget_);
    return {};
}

Outcome Board::WriteImageBlock(const Request& request)
{
    if (!burnTarget_) {
        return Refused("image block before any SetBurnBlock");
    }
    store_.Append(*burnTarget_, request.data);
    return {};
}

Outcome Board::CreateFile(const Request& request, bool flash)
{
    if (settings_.refuseCreate != ResultSuccess) {
        Outcome outcome = Answer(request.command, {}, settings_.refuseCreate);
        outcome.note = "refused with result " + std::to_string(settings_.refuseCreate);
        return outcome;
    }
    const std::string path = (flash ? FlashFolder : DataFolder) + request.name;
    // A second create of the same name starts the file again; handles to the
    // old content end with it.
    std::erase_if(open_, [&](const auto& entry) { return entry.second.path == path; });
    store_.Start(path);
    if (flash) {
        flashFiles_[request.name] = 0;
    } else {
        dataFiles_.insert(request.name);
    }
    const std::uint32_t handle = nextHandle_++;
    open_[handle] = OpenFile{path, request.length, 0, flash};
    Bytes data;
    AppendLong(data, handle);
    Outcome outcome = Answer(request.command, data);
    outcome.note = "handle=" + std::to_string(handle);
    return outcome;
}

Board::OpenFile* Board::Find(std::uint32_t handle, bool flash)
{
    const auto it = open_.find(handle);
    return it == open_.end() || it->second.flash != flash ? nullptr : &it->second;
}

Outcome Board::WriteFileBlock(const Request& request, bool flash)
{
    OpenFile* file = Find(request.handle, flash);
    if (file == nullptr) {
        return Refused("handle " + std::to_string(request.handle) + " names no open " +
                       (flash ? "flash file" : "data file"));
    }
    store_.Append(file->path, request.data);
    file->written += request.data.size();
    if (flash) {
        flashFiles_[file->path.substr(FlashFolder.size())] = file->written;
    }
    return {};
}

Outcome Board::CloseFile(const Request& request, bool flash)
{
    OpenFile* file = Find(request.handle, flash);
    if (file == nullptr) {
        return Refused("handle " + std::to_string(request.handle) + " names no open " +
                       (flash ? "flash file" : "data file"));
    }
    Outcome outcome;
    if (flash && file->written != file->announced) {
        outcome.sizeMismatch = true;
        outcome.note = file->path + " closed with " + std::to_string(file->written) +
                       " bytes, created with length " + std::to_string(file->announced);
    }
    store_.Finish(file->path);
    open_.erase(request.handle);
    return outcome;
}

Outcome Board::EraseFlash()
{
    std::erase_if(open_, [](const auto& entry) { return entry.second.flash; });
    store_.RemoveUnder(FlashFolder);
    flashFiles_.clear();
    return {};
}

Outcome Board::GetNumberofDataFiles() const
{
    Bytes data;
    AppendLong(data, static_cast<std::uint32_t>(dataFiles_.size()));
    return Answer(Command::GetNumberofDataFiles, data);
}

Outcome Board::GetFlashInfo() const
{
    std::uint64_t total = 0;
    for (const auto& [name, size] : flashFiles_) {
        total += size;
    }
    Bytes data;
    AppendLong(data, static_cast<std::uint32_t>(flashFiles_.size()));
    AppendLong(data, static_cast<std::uint32_t>(total));
    return Answer(Command::GetFlashInfo, data);
}

}  // namespace boardsim
