// The update history's tests: a history of their own in a temporary folder,
// and the updates they append to it.
#pragma once

#include "transfer/board/BoardTry.h"
#include "transfer/record/History.h"

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTime>

#include <gtest/gtest.h>

#include <string>

inline void WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class UpdateHistory : public testing::Test {
protected:
    static TBoardResult SerialUpdate()
    {
        TBoardResult result;
        result.board = "/dev/ttyUSB0";
        result.outcome = Ending::Unconfirmed;
        result.missingAnswers = 2;
        result.boardErrors = 1;
        result.seconds = 12.4;
        return result;
    }

    // Appends the update of one file at a fixed time.
    QString Append(const TBoardResult& result, const std::string& file = "/images/app.hex",
                   HistoryKind kind = HistoryKind::Firmware, HistoryLink link = HistoryLink::Serial)
    {
        return AppendHistory(link, {kind, {file}}, result, QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26, 417), Qt::UTC),
                             history);
    }

    QTemporaryDir folder;
    // Inside a folder that does not exist yet: the first append makes it.
    QString history = folder.filePath("state/orvenda-updater/history.jsonl");
};
