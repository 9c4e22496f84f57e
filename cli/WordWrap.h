// Text broken into rows for a terminal of so many columns.
#pragma once

#include <QString>
#include <QStringList>

// The text in rows of at most `width` characters, broken at a blank where
// it can be, else cut; rows after the first start with `indent`.
QStringList WrapWords(const QString& text, qsizetype width, const QString& indent = {});
