#include "ui/chooser_filter.h"

#include <QString>

namespace tessaro::ui {

QStringList ChooserNameFilters(std::string_view filter) {
    const QStringList parts =
        QString::fromUtf8(filter.data(), static_cast<qsizetype>(filter.size())).split('|');
    QStringList filters;
    // Pairs of text and patterns; a trailing '|' leaves one empty part.
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString& text = parts[i];
        const QString patterns = parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ');
        if (text.isEmpty() || patterns.isEmpty()) continue;
        // Qt reads the patterns from the text's last parentheses: add them
        // only when the text does not show them already.
        const QString shown = "(" + patterns + ")";
        filters << (text.endsWith(shown) ? text : text + " " + shown);
    }
    return filters;
}

}  // namespace tessaro::ui
