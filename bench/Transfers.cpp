#include "bench/Transfers.h"

#include <QAction>
#include <QLabel>
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "app/Unit1.h"
#include "app/UpdateState.h"

namespace {

// Images are written and compared in pieces of this size.
constexpr std::size_t FileChunk = 64 * 1024;
// The image's bytes vary with their position, with no period of a block, and
// include the frame's start byte.
constexpr std::uint64_t PatternStep = 7;
constexpr std::uint64_t PatternDrift = 251;

const QString FinishText = QStringLiteral("Finish Update");
const QString ConfirmationCaption = QStringLiteral("Update Confirmation");

void CheckNoErrorReported(const UpdaterSession& session)
{
    for (const SeenBox& box : session.driver.Boxes()) {
        if (box.caption != ConfirmationCaption)
            throw std::runtime_error("the updater reported \"" + box.caption.toStdString() + "\": \""
                                     + box.text.toStdString() + "\"");
    }
    if (Form1->Panel1->text() != FinishText)
        throw std::runtime_error("the transfer ended with \"" + Form1->Panel1->text().toStdString() + "\"");
}

// Takes the clock's reading when the status panel first shows "Finish
// Update": the stream's end. What follows, the board's settle before the
// update's ending is decided, is a cost of the run, not of its blocks.
class TFinishWatch {
public:
    explicit TFinishWatch(const Stopwatch& clock)
        : shown_(QObject::connect(Form1, &TForm1::StatusShown, [this, &clock](const QString& text) {
              if (!finish_ && text == FinishText)
                  finish_ = clock.Elapsed();
          }))
    {
    }
    ~TFinishWatch() { QObject::disconnect(shown_); }
    TFinishWatch(const TFinishWatch&) = delete;
    TFinishWatch& operator=(const TFinishWatch&) = delete;
    // The reading at the finish (none before it was shown).
    Usage AtFinish() const { return finish_.value_or(Usage{}); }

private:
    QMetaObject::Connection shown_;
    std::optional<Usage> finish_;
};

// Compares piece by piece, so that a large image is never held whole.
bool SameContent(const std::string& one, const std::string& other)
{
    std::ifstream first(one, std::ios::binary);
    std::ifstream second(other, std::ios::binary);
    std::array<char, FileChunk> a{};
    std::array<char, FileChunk> b{};
    while (first && second) {
        first.read(a.data(), a.size());
        second.read(b.data(), b.size());
        if (first.gcount() != second.gcount() || !std::equal(a.begin(), a.begin() + first.gcount(), b.begin()))
            return false;
    }
    return first.eof() && second.eof();
}

} // namespace

void CheckBoardKeptImage(const BoardSim& board, const std::filesystem::path& folder, const std::string& path,
                         std::uint64_t size)
{
    board.Flush();
    const std::filesystem::path kept = folder / "burn0.bin";
    std::error_code error;
    const std::uintmax_t keptSize = std::filesystem::file_size(kept, error);
    if (error || keptSize != size)
        throw std::runtime_error("the board kept " + (error ? std::string("no image") : std::to_string(keptSize))
                                 + " of " + std::to_string(size) + " bytes");
    if (!SameContent(path, kept.string()))
        throw std::runtime_error("the board kept an image that differs from the one sent");
}

std::string WriteImage(const UpdaterSession& session, const std::string& name, std::uint64_t size)
{
    const std::string path = session.windows.PathOf(name);
    WriteImageAt(path, size);
    return path;
}

void WriteImageAt(const std::string& path, std::uint64_t size)
{
    std::ofstream image(path, std::ios::binary | std::ios::trunc);
    std::array<char, FileChunk> chunk{};
    for (std::uint64_t offset = 0; offset < size;) {
        const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - offset));
        for (std::size_t i = 0; i < length; ++i, ++offset)
            chunk[i] = static_cast<char>(offset * PatternStep + offset / PatternDrift);
        image.write(chunk.data(), static_cast<std::streamsize>(length));
    }
    image.close();
    if (!image)
        throw std::runtime_error("cannot write the image " + path);
}

Usage TimedUpdate(UpdaterSession& session, const std::string& path, std::uint64_t size)
{
    // What File, Open Firmware leaves behind, without the dialog.
    Form1->UpdateKind = KindFirmware;
    Form1->FirmwareFileName = path;
    session.driver.Clear();

    const Stopwatch clock;
    const TFinishWatch finish(clock);
    Form1->Update1->trigger();

    CheckNoErrorReported(session);
    CheckBoardKeptImage(*session.board, session.board->OutFolder(), path, size);
    return finish.AtFinish();
}
