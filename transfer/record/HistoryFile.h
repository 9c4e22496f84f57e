// The system's part of the update history's file, one file per platform:
// where the history lives, and the append under the file's lock.
#pragma once

#include <QByteArray>
#include <QString>

#include "transfer/record/History.h"

// AppendHistoryLine's answers for a history file it will not write to, lest
// it write into another file through a link, or into another user's file
// when run by root; negative, so that they never meet a system
// error number.
enum FileRefusal : int {
    NotRegularFileError = -1,
    SymbolicLinkError = -2,
    OtherOwnerError = -3,
};

// The user's folder for a program's state, which the program's own folder
// goes in.
QString HistoryStateFolder();

// Makes the folder and those above it that are missing. Returns 0, or the
// system's error number of the folder that could not be made, which is put
// in `failed`.
int MakeHistoryFolder(const QString& folder, QString& failed);

// Appends the line to the history at `path` with one write under the file's
// lock (AppendHistory tells how), rotating a full file first; returns 0, a
// refusal or the system's error number.
int AppendHistoryLine(const QString& path, const QByteArray& line, const HistoryLockWaiting& lockWaiting);
