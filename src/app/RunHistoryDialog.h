#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "line/ProductionRecord.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace nvds {

class CGuiChannel;
class FileChooser;
class Prompter;

/// The history rows as CSV: a header row, then one line per row; fields with a comma, a quote
/// or a line break are quoted, quotes doubled.
std::string HistoryCsv(const std::vector<line::HistoryRow>& rows);

/// The history of one run in a table, read from the record on a worker thread (a record on a
/// server that does not answer shows a busy state, then its message), with Export CSV.
class CRunHistoryDialog : public QDialog {
    Q_OBJECT

public:
    CRunHistoryDialog(Prompter& prompter, FileChooser& chooser, std::string target,
                      line::HistoryFilter filter, QWidget* parent = nullptr);
    /// Waits for the query still running (it ends with the record's own time-outs).
    ~CRunHistoryDialog() override;

    /// Asks for a file and writes the rows shown into it as CSV.
    void OnExport();
    /// True once the query has answered (rows or an error).
    bool Loaded() const { return m_bLoaded; }

    QTableWidget* m_table = nullptr;
    QLabel* m_lblState = nullptr;
    QPushButton* m_btnExport = nullptr;

signals:
    void loaded();

private:
    void Show(bool ok, const std::string& error, std::vector<line::HistoryRow> rows);

    Prompter& m_prompter;
    FileChooser& m_chooser;
    std::shared_ptr<CGuiChannel> m_channel;
    std::thread m_query;
    std::vector<line::HistoryRow> m_rows;
    bool m_bLoaded = false;
};

}  // namespace nvds
