#include "cli/WordWrap.h"

#include <algorithm>

QStringList WrapWords(const QString& text, qsizetype width, const QString& indent)
{
    width = std::max(width, indent.size() + 1);
    QStringList rows;
    QString rest = text;
    while (rest.size() > width) {
        // A blank inside the indent would make no headway.
        const qsizetype least = rows.isEmpty() ? 0 : indent.size();
        qsizetype cut = rest.lastIndexOf(' ', width);
        if (cut <= least)
            cut = width;
        QString row = rest.left(cut);
        while (row.endsWith(' '))
            row.chop(1);
        rows << row;
        rest = indent + rest.mid(cut).trimmed();
    }
    rows << rest;
    return rows;
}
