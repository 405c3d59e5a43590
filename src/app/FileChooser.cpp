#include "app/FileChooser.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include "app/AppTexts.h"

namespace nvds {

QString QtFileChooser::OpenPath(QWidget* parent, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
}

QString QtFileChooser::SavePath(QWidget* parent, const QString& filter) {
    // No overwrite question: the save replaces an existing file, as the command always did.
    return QFileDialog::getSaveFileName(parent, QString(), QString(), filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
}

std::optional<QString> FileChooser::RecordTarget(QWidget* parent, const QString& current) {
    QDialog dialog(parent);
    dialog.setWindowTitle(TITLE_CHOOSE_RECORD);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(
        "Record every burn in this file or PostgreSQL database (empty: no record):", &dialog));
    auto* row = new QHBoxLayout;
    auto* target = new QLineEdit(current, &dialog);
    target->setObjectName("recordTarget");
    target->setMinimumWidth(360);
    auto* browse = new QPushButton("&Browse...", &dialog);
    row->addWidget(target);
    row->addWidget(browse);
    layout->addLayout(row);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto* off = buttons->addButton("O&ff", QDialogButtonBox::ResetRole);
    layout->addWidget(buttons);
    QObject::connect(browse, &QPushButton::clicked, &dialog, [&] {
        // A new file or an existing record: the save dialog allows both.
        QString path = SavePath(&dialog, "Production record (*.db *.sqlite);;All files (*)");
        if (!path.isEmpty()) {
            target->setText(path);
        }
    });
    QObject::connect(off, &QPushButton::clicked, &dialog, [&] {
        target->clear();
        dialog.accept();
    });
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    return target->text().trimmed();
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
