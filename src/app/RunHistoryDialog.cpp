#include "app/RunHistoryDialog.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimeZone>
#include <QVBoxLayout>

#include "app/AppTexts.h"
#include "app/FileChooser.h"
#include "app/GuiChannel.h"
#include "platform/AtomicFile.h"
#include "platform/Prompter.h"

namespace nvds {

namespace {

const char* const COLUMNS[] = {"Ended",  "Address",        "Station",      "Host",
                               "Lot",    "Outcome",        "Reason",       "Seconds",
                               "Golden", "Golden SHA-256", "Image SHA-256"};
constexpr int COLUMN_COUNT = static_cast<int>(sizeof COLUMNS / sizeof COLUMNS[0]);

// The end time in the recording host's own offset, "2026-12-07T05:50:01.123+01:00".
std::string TimeText(const line::HistoryRow& row) {
    int64_t at = row.endedAtMs != 0 ? row.endedAtMs : row.startedAtMs;
    QDateTime time = QDateTime::fromMSecsSinceEpoch(at, QTimeZone(row.utcOffsetMinutes * 60));
    return time.toString(Qt::ISODateWithMs).toStdString();
}

std::vector<std::string> Fields(const line::HistoryRow& row) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", row.seconds);
    return {TimeText(row),
            line::AddressText(row.address),
            row.context.station.port,
            row.context.station.host,
            row.context.lot,
            line::RecordStateName(row.outcome),
            row.reason,
            seconds,
            row.context.goldenName,
            row.context.goldenSha256,
            row.imageSha256};
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

}  // namespace

std::string HistoryCsv(const std::vector<line::HistoryRow>& rows) {
    std::string csv;
    auto addLine = [&csv](const std::vector<std::string>& fields) {
        for (size_t i = 0; i < fields.size(); ++i) {
            csv += (i > 0 ? "," : "") + CsvField(fields[i]);
        }
        csv += "\r\n";
    };
    addLine(std::vector<std::string>(std::begin(COLUMNS), std::end(COLUMNS)));
    for (const line::HistoryRow& row : rows) {
        addLine(Fields(row));
    }
    return csv;
}

CRunHistoryDialog::CRunHistoryDialog(Prompter& prompter, FileChooser& chooser, std::string target,
                                     line::HistoryFilter filter, QWidget* parent)
    : QDialog(parent),
      m_prompter(prompter),
      m_chooser(chooser),
      m_channel(std::make_shared<CGuiChannel>(this)) {
    setWindowTitle(TITLE_RUN_HISTORY);
    m_lblState = new QLabel("Reading the record...", this);
    m_table = new QTableWidget(0, COLUMN_COUNT, this);
    QStringList headers;
    for (const char* column : COLUMNS) {
        headers << column;
    }
    m_table->setHorizontalHeaderLabels(headers);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_btnExport = new QPushButton("Export CSV...", this);
    m_btnExport->setEnabled(false);
    auto* close = new QPushButton("Close", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_lblState, 1);
    buttons->addWidget(m_btnExport);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table, 1);
    layout->addLayout(buttons);
    connect(m_btnExport, &QPushButton::clicked, this, &CRunHistoryDialog::OnExport);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    resize(980, 420);

    // The query runs apart from the window: a server that does not answer keeps only this
    // thread waiting, and the channel drops its answer once the dialog is gone.
    std::shared_ptr<CGuiChannel> channel = m_channel;
    m_query = std::thread([this, channel, target = std::move(target), filter] {
        std::string error;
        std::vector<line::HistoryRow> rows;
        std::unique_ptr<line::ProductionRecord> record =
            line::OpenProductionRecordToRead(target, error);
        bool ok = record != nullptr && record->History(filter, rows);
        if (record != nullptr && !ok) {
            error = record->LastError().empty() ? "The record keeps no history of burns."
                                                : record->LastError();
        }
        channel->Post([this, ok, error, rows = std::move(rows)]() mutable {
            Show(ok, error, std::move(rows));
        });
    });
}

CRunHistoryDialog::~CRunHistoryDialog() {
    m_channel->Close();
    m_query.detach();
}

void CRunHistoryDialog::Show(bool ok, const std::string& error,
                             std::vector<line::HistoryRow> rows) {
    m_bLoaded = true;
    m_rows = std::move(rows);
    if (!ok) {
        m_lblState->setText(QString::fromStdString(error));
        emit loaded();
        return;
    }
    m_table->setRowCount(static_cast<int>(m_rows.size()));
    for (int r = 0; r < static_cast<int>(m_rows.size()); ++r) {
        std::vector<std::string> fields = Fields(m_rows[static_cast<size_t>(r)]);
        for (int c = 0; c < COLUMN_COUNT; ++c) {
            m_table->setItem(
                r, c, new QTableWidgetItem(QString::fromStdString(fields[static_cast<size_t>(c)])));
        }
    }
    m_table->resizeColumnsToContents();
    m_lblState->setText(QString("%1 row(s)").arg(m_rows.size()));
    m_btnExport->setEnabled(true);
    emit loaded();
}

void CRunHistoryDialog::OnExport() {
    QString path = m_chooser.SavePath(this, "CSV file (*.csv);;All files (*)");
    if (path.isEmpty()) {
        return;
    }
    std::string csv = HistoryCsv(m_rows);
    std::string error;
    if (!WriteFileAtomically(path.toStdString(), csv.data(), csv.size(), &error)) {
        m_prompter.Message(MSG_HISTORY_NOT_WRITTEN + error);
    }
}

}  // namespace nvds
