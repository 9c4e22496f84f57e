// The board's command handling: carries out each accepted request on its file
// store and produces the answer for the requests the board answers.
//
// What the board keeps: SetBurnBlock(n) starts the burn block image n afresh
// and makes it the target of the image blocks that follow; CreateDataFile and
// CreateFlashFile start a file under their name and hand out a fresh handle
// (one counter for both kinds, from 1), which the block writes and the close
// request must name; EraseFlash removes every flash file and ends their
// handles.
//
// Answers (group, operation, result 0, then):
//   GetBootError          the boot error byte (0 unless set; when it is set
//                         for the Nth answer alone, 0 in every other answer)
//   CreateDataFile        the new handle (32 bits)
//   CreateFlashFile       the new handle (32 bits)
//   GetNumberofDataFiles  the number of data files kept (32 bits)
//   GetFlashInfo          the number of flash files (32 bits), then their
//                         total size in bytes (32 bits)
//
// A board set to refuse creates answers CreateDataFile and CreateFlashFile
// with its refusal code as the result and nothing after it; it keeps no file
// and hands out no handle, so that the blocks and the close that may follow
// name no open file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "tools/boardsim/FileStore.h"
#include "tools/boardsim/Protocol.h"

namespace boardsim {

struct Outcome {
    std::optional<Bytes> answer;
    // Empty when the board carried the request out; otherwise why it refused
    // it (a block write or close that names no open file or burn block).
    std::string error;
    // A note for the transcript that is not an error (e.g. the handle given).
    std::string note;
    // A flash file was closed with a size other than the one it was created with.
    bool sizeMismatch = false;
};

struct BoardSettings {
    std::uint8_t bootError = 0;     // what GetBootError reports
    std::uint32_t bootErrorAt = 0;  // 0: in every answer; N: in the Nth alone, 0 in the others
    std::uint8_t refuseCreate = 0;  // 0: creates succeed; otherwise their refusal code
};

class Board {
public:
    Board(FileStore& store, const BoardSettings& settings);

    Outcome Handle(const Request& request);

private:
    struct OpenFile {
        std::string path;          // in the store
        std::uint32_t announced;   // flash files: the length of the create request
        std::uint64_t written;
        bool flash;
    };

    Outcome GetBootError();
    Outcome SetBurnBlock(std::uint8_t block);
    Outcome WriteImageBlock(const Request& request);
    Outcome CreateFile(const Request& request, bool flash);
    Outcome WriteFileBlock(const Request& request, bool flash);
    Outcome CloseFile(const Request& request, bool flash);
    Outcome EraseFlash();
    Outcome GetNumberofDataFiles() const;
    Outcome GetFlashInfo() const;

    // The open file of this handle and kind, or null.
    OpenFile* Find(std::uint32_t handle, bool flash);

    FileStore& store_;
    BoardSettings settings_;
    std::optional<std::string> burnTarget_;
    std::map<std::uint32_t, OpenFile> open_;
    std::uint32_t nextHandle_ = 1;
    std::uint64_t bootErrorAnswers_ = 0;
    std::set<std::string> dataFiles_;
    std::map<std::string, std::uint64_t> flashFiles_;  // name and size
};

}  // namespace boardsim
