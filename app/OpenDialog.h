// The main window's file-open dialog. Like the toolkit dialog the transfers
// were designed around, it keeps its file name: before it is shown the name is
// a preset, after a confirmed choice it is the first chosen file, and after a
// cancel the preset stays.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

class TOpenDialog {
public:
    explicit TOpenDialog(QWidget* owner) : owner_(owner) {}

    QString FileName;  // preset before Execute, the first chosen file after it
    QString Filter;    // "Description|pattern", entries separated by "|"
    QStringList Files; // every chosen file of the last confirmed choice
    bool MultiSelect = true;

    // Shows the dialog modally; true when the operator confirmed a choice.
    bool Execute();

    // "Hex File|*.Hex" as the toolkit's name filters: "Hex File (*.Hex)".
    static QStringList NameFilters(const QString& filter);

private:
    QWidget* owner_;
};
