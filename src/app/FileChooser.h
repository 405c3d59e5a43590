#pragma once

#include <QString>
#include <QWidget>
#include <optional>

namespace nvds {

/// Asks the user for a file path; an empty result means cancelled. The window asks through
/// this so that tests can answer with paths instead of opening a dialog.
class FileChooser {
public:
    virtual ~FileChooser() = default;
    /// An existing file to read.
    virtual QString OpenPath(QWidget* parent, const QString& filter) = 0;
    /// A file to write (it need not exist).
    virtual QString SavePath(QWidget* parent, const QString& filter) = 0;
    /// The production record to keep, starting from `current`: a file path (browsed through
    /// SavePath) or a server connection text typed by hand; an empty text turns the record
    /// off. No value when the user cancelled. Shows a small dialog unless overridden.
    virtual std::optional<QString> RecordTarget(QWidget* parent, const QString& current);
};

/// The platform's open and save dialogs.
class QtFileChooser : public FileChooser {
public:
    QString OpenPath(QWidget* parent, const QString& filter) override;
    QString SavePath(QWidget* parent, const QString& filter) override;
};

/// Turns a "Name(*.ext)|*.ext||" filter into Qt's "Name(*.ext)" form.
QString QtFilterFromPairs(const QString& pairs);

}  // namespace nvds
