#include "cli/Plan.h"

#include "transfer/engine/FileOfBytes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <iostream>

#include "cli/Terminal.h"

namespace {

// How a board is reached, as the plan tells it.
std::string LinkText(const TCliOptions& options, const std::string& key)
{
    switch (options.link) {
    case CliLink::Serial:
    case CliLink::Saved:
        return "serial " + key;
    case CliLink::Udp:
    case CliLink::UdpSearch:
        return "udp " + key;
    case CliLink::Usb:
        break;
    }
    return "usb";
}

// The board's key (IdentifyBoards): its address over UDP, its device over
// the serial line.
std::string KeyOf(const TUpdatePlan& plan, std::size_t board)
{
    return plan.identities[board].identity.name;
}

constexpr std::size_t PlanReadSize = 64 * 1024;

// A file's size and SHA-256, read as a transfer reads it: one descriptor, and
// a file that changes while it is read is an error. Raises what the reading
// raises.
QJsonObject FileFacts(const std::string& path)
{
    TFileOfBytes file(path);
    std::array<unsigned char, PlanReadSize> piece{};
    while (file.Read(piece.data(), piece.size()) > 0) {
    }
    file.CheckUnchanged();
    return {{"path", QString::fromLocal8Bit(path.c_str())},
            {"size", static_cast<qint64>(file.Size())},
            {"sha256", QString::fromStdString(file.Sha256())}};
}

const char* const Answers[] = {"y", "yes"};

} // namespace

bool PrintPlan(const TUpdatePlan& plan, std::FILE* out, std::string& error)
{
    QJsonArray boards;
    for (std::size_t k = 0; k < plan.boards.size(); ++k) {
        if (!plan.identities[k].error.empty()) {
            error = plan.identities[k].error;
            return false;
        }
        const std::string key = KeyOf(plan, k);
        boards.append(QJsonObject{{"key", QString::fromStdString(key)},
                                  {"given", QString::fromStdString(plan.identities[k].identity.spelling)},
                                  {"link", QString::fromStdString(LinkText(plan.options, key))}});
    }
    QJsonArray files;
    for (const std::string& path : plan.options.files) {
        try {
            files.append(FileFacts(path));
        } catch (const std::exception& failure) {
            error = path + ": " + failure.what();
            return false;
        }
    }
    if (plan.options.json) {
        const QJsonObject object{{"event", "plan"}, {"boards", boards}, {"files", files}};
        std::fprintf(out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    } else {
        std::fprintf(out, "%lld board%s, nothing sent:\n", static_cast<long long>(boards.size()),
                     boards.size() == 1 ? "" : "s");
        for (const QJsonValue& board : boards)
            std::fprintf(out, "  board %s (given as %s), %s\n", qPrintable(board["key"].toString()),
                         qPrintable(board["given"].toString()), qPrintable(board["link"].toString()));
        for (const QJsonValue& file : files)
            std::fprintf(out, "  file %s, %lld bytes, sha256 %s\n", qPrintable(file["path"].toString()),
                         file["size"].toInteger(), qPrintable(file["sha256"].toString()));
    }
    std::fflush(out);
    return true;
}

bool ConfirmSearchedBoards(const TUpdatePlan& plan, bool yes, std::string& error)
{
    std::fprintf(stderr, "The search found %zu board%s:\n", plan.boards.size(), plan.boards.size() == 1 ? "" : "s");
    for (std::size_t k = 0; k < plan.boards.size(); ++k)
        std::fprintf(stderr, "  %s\n", KeyOf(plan, k).c_str());
    if (yes)
        return true;
    if (!IsTerminal(StandardInput)) {
        error = "a search chose these boards and no one can confirm it: give --yes to update them";
        return false;
    }
    std::fprintf(stderr, "Update %s? [y/N] ", plan.boards.size() == 1 ? "this board" : "these boards");
    std::fflush(stderr);
    std::string answer;
    std::getline(std::cin, answer);
    for (const char* accepted : Answers) {
        if (QString::fromStdString(answer).trimmed().compare(QLatin1String(accepted), Qt::CaseInsensitive) == 0)
            return true;
    }
    error = "not confirmed";
    return false;
}
