#include "app/FileChooser.h"

#include <QFileDialog>
#include <QStringList>

namespace nvds {

QString QtFileChooser::OpenPath(QWidget* parent, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

QString QtFileChooser::SavePath(QWidget* parent, const QString& filter) {
    // No overwrite question: the save replaces an existing file, as the command always did.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

QString QtFilterFromPairs(const QString& pairs) {
    // The pairs are "display|pattern|display|pattern||"; Qt shows the display text and reads
    // the pattern in its parentheses, so each pair becomes "display" with the pattern enclosed.
    QStringList parts = pairs.split('|', Qt::SkipEmptyParts);
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString display = parts[i];
        QString pattern = parts[i + 1];
        if (!display.contains('(' + pattern + ')')) {
            display += " (" + pattern + ')';
        }
        filters << display;
    }
    return filters.join(";;");
}

}  // namespace nvds
