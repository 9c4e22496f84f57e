// The update history: appends, reading back, damaged and cut-off lines,
// control characters in the table, a folder in the file's place and appends
// from many threads at once.
#include "transfer/record/History.h"
#include "transfer/board/BoardTry.h"
#include "cli/HistoryTable.h"
#include "tests/transfer/UpdateHistory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// SHA-256 of "abc".
constexpr const char* AbcSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST_F(UpdateHistory, AnAppendedUpdateReadsBackWithTheFilesHash)
{
    const QString image = folder.filePath("app.hex");
    WriteFile(image, "abc");
    TBoardResult result = SerialUpdate();
    result.sentFiles = {{image.toStdString(), 3, AbcSha256}};
    result.firstBoardError = TBoardError{"GetBootError", 4, 0, 7};
    EXPECT_EQ(Append(result, image.toStdString()), QString());

    const HistoryReading reading = ReadHistory(history);
    EXPECT_TRUE(reading.error.isEmpty());
    ASSERT_EQ(reading.lines.size(), 1);
    const QJsonObject entry = QJsonDocument::fromJson(reading.lines[0]).object();
    EXPECT_EQ(entry["time"].toString(), "2026-03-14T15:09:26.417Z");
    EXPECT_EQ(entry["link"].toString(), "serial");
    EXPECT_EQ(entry["board"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(entry["file"].toString(), image);
    EXPECT_EQ(entry["size"].toInteger(), 3);
    EXPECT_EQ(entry["sha256"].toString(), AbcSha256);
    EXPECT_EQ(entry["kind"].toString(), "firmware");
    EXPECT_EQ(entry["outcome"].toString(), "unconfirmed");
    // The keys of the command line's live events.
    EXPECT_EQ(entry["missingAnswers"].toInt(), 2);
    EXPECT_EQ(entry["boardErrors"].toInt(), 1);
    const QJsonObject first = entry["firstBoardError"].toObject();
    EXPECT_EQ(first["wait"].toString(), "GetBootError");
    EXPECT_EQ(first["block"].toInteger(), 4);
    EXPECT_EQ(first["result"].toInt(-1), 0);
    EXPECT_EQ(first["bootError"].toInt(), 7);
    EXPECT_DOUBLE_EQ(entry["seconds"].toDouble(), 12.4);
    // One line, ended, so that the next append starts a line of its own.
    EXPECT_EQ(ReadFile(history), reading.lines[0] + '\n');
}

TEST_F(UpdateHistory, TheTableShowsOneRowPerUpdateUnderItsHeadings)
{
    TBoardResult serial = SerialUpdate();
    serial.sentFiles = {{"/images/app.hex", 123456, AbcSha256}};
    TBoardResult network = SerialUpdate();
    network.board = "192.168.0.10";
    network.outcome = Ending::Stopped;
    network.message = "the board does not answer: check the address, the board's power and that nothing else "
                      "updates it";
    ASSERT_EQ(Append(serial), QString());
    ASSERT_EQ(Append(network, "/images/QLTBIOS.HEX", HistoryKind::Bios, HistoryLink::Udp), QString());

    const QStringList rows = HistoryTable(ReadHistory(history).lines).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(rows.size(), 4);
    EXPECT_TRUE(rows[0].startsWith("Time")) << rows[0].toStdString();
    for (const char* heading : {"Board", "File", "Kind", "Outcome", "Miss", "Err", "Reason"})
        EXPECT_TRUE(rows[0].contains(heading)) << heading;
    const QStringList first = rows[1].split(' ', Qt::SkipEmptyParts);
    // The date and time, then the columns in order; no reason for an update without one.
    EXPECT_EQ(first.mid(2), QStringList({"/dev/ttyUSB0", "app.hex", "firmware", "unconfirmed", "2", "1"}));
    EXPECT_TRUE(rows[2].contains("192.168.0.10"));
    EXPECT_TRUE(rows[2].contains("QLTBIOS.HEX"));
    EXPECT_TRUE(rows[2].contains("stopped"));
    // The reason is told whole, wrapped under its column.
    const qsizetype reason = rows[0].indexOf("Reason");
    QString told;
    for (qsizetype k = 2; k < rows.size(); ++k) {
        EXPECT_LE(rows[k].size(), HistoryTableColumns) << rows[k].toStdString();
        if (k > 2) {
            EXPECT_EQ(rows[k].indexOf(QRegularExpression("\\S")), reason) << rows[k].toStdString();
        }
        told += (told.isEmpty() ? "" : " ") + rows[k].mid(reason);
    }
    EXPECT_EQ(told.toStdString(), network.message);
    // The columns line up: every row puts its outcome where the heading is.
    const qsizetype outcome = rows[0].indexOf("Outcome");
    EXPECT_EQ(rows[1].indexOf("unconfirmed"), outcome);
    EXPECT_EQ(rows[2].indexOf("stopped"), outcome);
    // A wider terminal takes the reason on one row.
    EXPECT_EQ(HistoryTable(ReadHistory(history).lines, 200).split('\n', Qt::SkipEmptyParts).size(), 3);
}

// Lines written before the keys became those of the live events read the
// same; the first board error is stored with its facts, and the table tells
// the reason that names it.
TEST_F(UpdateHistory, OlderKeysReadTheSameAndTheFirstBoardErrorIsKept)
{
    QDir().mkpath(QFileInfo(history).path());
    WriteFile(history, R"({"time":"2026-03-14T15:09:26Z","board":"10.0.0.7","outcome":"warnings","missing_answers":4,"board_errors":3})"
                       "\n");
    TBoardResult result = SerialUpdate();
    result.firstBoardError = TBoardError{"GetBootError", 4, 0, 7};
    result.message = "the board reported boot error 7 after block 4";
    ASSERT_EQ(Append(result), QString());
    const QList<QByteArray> lines = ReadHistory(history).lines;
    const QStringList rows = HistoryTable(lines, 200).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 3);
    EXPECT_TRUE(rows[1].contains(QRegularExpression("warnings +4 +3$"))) << rows[1].toStdString();
    EXPECT_TRUE(rows[2].endsWith("the board reported boot error 7 after block 4")) << rows[2].toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object().value("firstBoardError").toObject(),
              QJsonObject({{"wait", "GetBootError"}, {"block", 4}, {"result", 0}, {"bootError", 7}}));
}

// The history command's choices, alone and together, over two runs of two
// updates each.
TEST_F(UpdateHistory, FiltersTakeABoardOutcomesARunAndTheLastFew)
{
    int update = 0;
    for (const char* board : {"10.0.0.7", "10.0.0.8", "10.0.0.7", "10.0.0.7"}) {
        TBoardResult result = SerialUpdate();
        result.board = board;
        result.outcome = result.board == "10.0.0.8" ? Ending::Failed : Ending::Updated;
        // Which update it was, in which run.
        const QString run = update < 2 ? "run-a" : "run-b";
        ASSERT_EQ(AppendHistory(HistoryLink::Udp, {HistoryKind::Firmware, {"/" + std::to_string(update++)}}, result,
                                QDateTime::currentDateTimeUtc(), history, {}, run),
                  QString());
    }
    const QList<QByteArray> lines = ReadHistory(history).lines;
    auto files = [](const QList<QByteArray>& kept) {
        QStringList names;
        for (const QByteArray& line : kept)
            names << QFileInfo(QJsonDocument::fromJson(line).object()["file"].toString()).fileName();
        return names.join(',');
    };
    struct Case {
        HistoryFilter filter;
        const char* chosen;
    };
    for (const Case& choice : std::vector<Case>{
             {{.board = "10.0.0.7"}, "0,2,3"},
             {{.outcomes = {"failed"}}, "1"},
             {{.outcomes = {"failed", "updated"}, .last = 3}, "1,2,3"},
             {{.board = "10.0.0.7", .outcomes = {"updated"}, .last = 2}, "2,3"},
             {{.run = "run-a"}, "0,1"},
             {{.run = LastRun}, "2,3"},
             {{.outcomes = {"failed"}, .run = LastRun}, ""},
             {{.last = 10}, "0,1,2,3"},
         })
        EXPECT_EQ(files(FilterHistory(lines, choice.filter)), choice.chosen) << choice.chosen;
}

// Lines written before the endings were named as now read as they are.
// A full history is rotated by the append that finds it so: the full file
// becomes the rotated part, read before the new one; the last updates are
// read from the end, also across the two parts.
TEST_F(UpdateHistory, AFullHistoryIsRotatedAndReadAcrossItsParts)
{
    QDir().mkpath(QFileInfo(history).path());
    const QByteArray filler = R"({"time":"2026-03-14T15:09:26Z","board":"10.0.0.9","outcome":"updated"})" "\n";
    QByteArray full;
    while (full.size() < HistoryRotateSize)
        full += filler;
    WriteFile(history, full);
    const qsizetype fillers = full.size() / filler.size();
    TBoardResult result = SerialUpdate();
    result.board = "10.0.0.7";
    ASSERT_EQ(Append(result), QString());
    EXPECT_EQ(ReadFile(RotatedHistoryPath(history)), full);
    const QList<QByteArray> lines = ReadHistory(history).lines;
    ASSERT_EQ(lines.size(), fillers + 1);
    EXPECT_NE(lines.back().indexOf("10.0.0.7"), -1);

    const auto board = [](const QString& name) {
        return [name](const QJsonObject& entry) { return entry.value("board").toString() == name; };
    };
    const HistoryReading last = LastHistoryLines(history, 2, board("10.0.0.9"));
    EXPECT_EQ(last.lines, QList<QByteArray>({filler.trimmed(), filler.trimmed()}));
    EXPECT_EQ(LastHistoryLines(history, 5, board("10.0.0.7")).lines, QList<QByteArray>{lines.back()});
}

TEST_F(UpdateHistory, AnOlderWarningsLineIsListedAsWritten)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(history).path()));
    WriteFile(history, R"({"time":"2026-03-14T15:09:26Z","board":"/dev/ttyUSB0","file":"/a/app.hex",)"
                       R"("kind":"firmware","outcome":"warnings","missing_answers":2,"board_errors":0})"
                       "\n");
    const HistoryReading reading = ReadHistory(history);
    ASSERT_EQ(reading.lines.size(), 1);
    EXPECT_EQ(reading.unreadable, 0);
    EXPECT_TRUE(HistoryTable(reading.lines).contains(" warnings ")) << HistoryTable(reading.lines).toStdString();
}

TEST_F(UpdateHistory, DamagedLinesAreSkippedAndCounted)
{
    ASSERT_EQ(Append(SerialUpdate()), QString());
    const QByteArray sound = ReadFile(history);
    // The last damaged line carries a raw escape character, which JSON never does.
    WriteFile(history, "not json\n" + sound + "{\"time\":\"2026-03-14T15:0\n[1,2]\n{\"link\":\"udp\"}\n\n" + sound +
                           "{\"time\":\"2026-03-14T15:09:26Z\",\"board\":\"\x1b[2J\"}\n");
    const HistoryReading reading = ReadHistory(history);
    EXPECT_TRUE(reading.error.isEmpty());
    EXPECT_EQ(reading.lines, QList<QByteArray>({sound.trimmed(), sound.trimmed()}));
    // Five damaged lines; the empty one is no record and not counted.
    EXPECT_EQ(reading.unreadable, 5);
    EXPECT_EQ(HistoryTable({"garbage", sound.trimmed()}).count('\n'), 2);
}

TEST_F(UpdateHistory, AnAppendAfterACutOffLineStartsALineOfItsOwn)
{
    ASSERT_EQ(Append(SerialUpdate()), QString());
    const QByteArray sound = ReadFile(history);
    const QByteArray cutOff = sound.left(sound.size() / 2);
    WriteFile(history, sound + cutOff);
    ASSERT_EQ(Append(SerialUpdate()), QString());
    EXPECT_EQ(ReadFile(history), sound + cutOff + '\n' + sound);
    const HistoryReading reading = ReadHistory(history);
    EXPECT_EQ(reading.lines.size(), 2);
    EXPECT_EQ(reading.unreadable, 1);
}

TEST_F(UpdateHistory, ControlCharactersInNamesAreShownEscaped)
{
    TBoardResult forged = SerialUpdate();
    // A board name that would end its row and forge another one, and a file
    // name that would clear the terminal; both short enough for their columns.
    forged.board = "S0\n2026-01-01 00:00";
    ASSERT_EQ(Append(forged, "/images/\x1b[2J\t\x7f"), QString());
    const QString table = HistoryTable(ReadHistory(history).lines);
    const QStringList rows = table.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 2) << table.toStdString();
    EXPECT_TRUE(rows[1].contains("S0\\n2026-01-01 00:00")) << rows[1].toStdString();
    EXPECT_TRUE(rows[1].contains("\\x1b[2J\\x09\\x7f")) << rows[1].toStdString();
    for (const QChar character : table)
        EXPECT_TRUE(character == '\n' || character.category() != QChar::Other_Control) << int{character.unicode()};
}

TEST_F(UpdateHistory, NoHistoryYetReadsAsEmpty)
{
    const HistoryReading reading = ReadHistory(history);
    EXPECT_TRUE(reading.lines.isEmpty());
    EXPECT_TRUE(reading.error.isEmpty());
    EXPECT_EQ(HistoryTable(reading.lines).count('\n'), 1);
}

TEST_F(UpdateHistory, AFolderInPlaceOfTheFileCannotBeRead)
{
    ASSERT_TRUE(QDir().mkpath(history));
    EXPECT_FALSE(ReadHistory(history).error.isEmpty());
}

TEST_F(UpdateHistory, AppendsFromManyThreadsKeepTheirLinesWhole)
{
    constexpr int Threads = 8;
    constexpr int AppendsPerThread = 40;
    // Long lines, so that a line written in pieces would show.
    TBoardResult result = SerialUpdate();
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t) {
        result.board = std::string(8000, static_cast<char>('a' + t));
        writers.emplace_back([result, this] {
            for (int i = 0; i < AppendsPerThread; ++i)
                Append(result);
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    const QByteArray all = ReadFile(history);
    EXPECT_EQ(all.count('\n'), Threads * AppendsPerThread);
    EXPECT_EQ(ReadHistory(history).lines.size(), Threads * AppendsPerThread);
}

} // namespace
