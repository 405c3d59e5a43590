#include "app/BoardSetup.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <set>

#include "app/FileChooser.h"
#include "app/IniOp.h"
#include "catalogue/BdAddr.h"
#include "image/ImageFile.h"
#include "line/RecordShared.h"
#include "link/BaudTable.h"
#include "link/LinkConstants.h"

namespace nvds {

namespace {

constexpr uint32_t TAG_DEVICE_ADDRESS = 1;
constexpr int COL_PORT = 0;  // tick box and the interface's text
constexpr int COL_NAME = 1;  // the station's name, editable
constexpr int ROLE_PATH = Qt::UserRole;

constexpr const char* KEY_IMAGE = "LINE_IMAGE";
constexpr const char* KEY_FIRST = "LINE_FIRST_ADDRESS";
constexpr const char* KEY_LAST = "LINE_LAST_ADDRESS";
constexpr const char* KEY_STEP = "LINE_STEP";
constexpr const char* KEY_RECORD = "LINE_RECORD";
constexpr const char* KEY_LOT = "LINE_LOT";
constexpr const char* KEY_OSC = "LINE_OSC";
constexpr const char* KEY_BAUD = "LINE_BAUDRATE";
constexpr const char* KEY_STATIONS = "LINE_STATIONS";

// Station lists are stored as "path=name;path=name"; these characters are escaped as %XX.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '%' || c == ';' || c == '=' || static_cast<unsigned char>(c) < 0x20) {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseStations(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> stations;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        std::string item = text.substr(start, end == std::string::npos ? end : end - start);
        size_t eq = item.find('=');
        if (eq != std::string::npos) {
            stations.emplace_back(Unescaped(item.substr(0, eq)), Unescaped(item.substr(eq + 1)));
        }
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return stations;
}

std::string Trimmed(const QString& text) {
    return text.trimmed().toStdString();
}

}  // namespace

std::string SetupProblem(const BoardSetupValues& values, bool goldenLoaded,
                         const std::string& goldenError, line::AddressPool& pool, uint64_t& left) {
    left = 0;
    if (values.image.empty()) {
        return "Choose the golden image.";
    }
    if (!goldenLoaded) {
        return goldenError.empty() ? "The golden image does not load." : goldenError;
    }
    std::optional<uint64_t> first = ParseAddress(values.first);
    if (!first) {
        return "The first address is not a device address (six hex pairs).";
    }
    pool = line::AddressPool{};
    pool.first = *first;
    pool.step = values.step;
    if (!values.last.empty()) {
        std::optional<uint64_t> last = ParseAddress(values.last);
        if (!last) {
            return "The last address is not a device address (six hex pairs).";
        }
        pool.last = *last;
    }
    line::PoolBounds bounds;
    std::string error;
    if (!line::PoolBoundsOf(pool, bounds, error)) {
        return error;
    }
    left = bounds.high - bounds.low + 1;
    if (values.record.empty()) {
        return "Choose the production record.";
    }
    if (!line::CheckRecordTarget(values.record, error)) {
        return error;
    }
    if (values.stations.empty()) {
        return "Tick at least one station.";
    }
    std::set<std::string> names;
    std::set<std::string> paths;
    bool serial = false;
    for (const line::StationPort& station : values.stations) {
        if (station.name.empty()) {
            return "Give the station on " + station.path + " a name.";
        }
        if (!names.insert(station.name).second) {
            return "Two stations are named \"" + station.name + "\".";
        }
        if (!paths.insert(station.path).second) {
            return "The port " + station.path + " is ticked twice.";
        }
        serial = serial || station.path != SPI_ENTRY;
    }
    if (serial && FindBaudRow(values.baud, values.crystal) < 0) {
        return "The baud rate is not a rate of the chosen crystal.";
    }
    return {};
}

const std::vector<std::string>& BoardSettingKeys() {
    static const std::vector<std::string> keys = {KEY_IMAGE, KEY_FIRST,  KEY_LAST,
                                                  KEY_STEP,  KEY_RECORD, KEY_LOT,
                                                  KEY_OSC,   KEY_BAUD,   KEY_STATIONS};
    return keys;
}

std::vector<std::pair<std::string, std::string>> StoredBoardSettings(const CIniOp& ini) {
    // A key the board never wrote reads as this text, which no value of the board's takes.
    static const std::string absent = "\x01";
    std::vector<std::pair<std::string, std::string>> stored;
    for (const std::string& key : BoardSettingKeys()) {
        std::string value = ini.IniGetString(key, absent);
        if (value != absent) {
            stored.emplace_back(key, value);
        }
    }
    return stored;
}

CBoardSetup::CBoardSetup(FileChooser& chooser, std::string sysDbPath, std::string userDbPath,
                         std::shared_ptr<const LinkFactory> links, QWidget* parent)
    : QWidget(parent),
      m_chooser(chooser),
      m_config(m_prompter, std::move(sysDbPath), std::move(userDbPath)),
      m_links(std::move(links)) {
    m_bCatalogue = m_config.LoadTagDb(m_config.GetSysDbPath(), m_catalogue) == 1;
    if (m_bCatalogue) {
        m_config.LoadTagDb(m_config.GetUserDbPath(), m_catalogue);  // optional
    }

    auto* form = new QFormLayout;
    auto* imageRow = new QHBoxLayout;
    m_editImage = new QLineEdit(this);
    m_editImage->setReadOnly(true);
    m_btnImage = new QPushButton("Choose...", this);
    imageRow->addWidget(m_editImage, 1);
    imageRow->addWidget(m_btnImage);
    form->addRow("Golden image:", imageRow);
    m_lblGolden = new QLabel(this);
    m_lblGolden->setTextInteractionFlags(Qt::TextSelectableByMouse);
    form->addRow("", m_lblGolden);

    auto* lastRow = new QHBoxLayout;
    m_editFirst = new QLineEdit(this);
    m_editFirst->setPlaceholderText("C0 11 22 00 00 01");
    m_editLast = new QLineEdit(this);
    m_editLast->setPlaceholderText("(end of the lower three pairs)");
    m_cmbStep = new QComboBox(this);
    m_cmbStep->addItems({"+1", "-1"});
    m_lblLeft = new QLabel(this);
    lastRow->addWidget(m_editLast, 1);
    lastRow->addWidget(new QLabel("Step", this));
    lastRow->addWidget(m_cmbStep);
    form->addRow("First address:", m_editFirst);
    form->addRow("Last address:", lastRow);
    form->addRow("", m_lblLeft);

    auto* recordRow = new QHBoxLayout;
    m_editRecord = new QLineEdit(this);
    m_editRecord->setPlaceholderText("record.db or postgresql://...");
    m_btnRecord = new QPushButton("Choose...", this);
    recordRow->addWidget(m_editRecord, 1);
    recordRow->addWidget(m_btnRecord);
    form->addRow("Record:", recordRow);
    m_editLot = new QLineEdit(this);
    form->addRow("Lot:", m_editLot);

    auto* linkRow = new QHBoxLayout;
    m_cmbCrystal = new QComboBox(this);
    m_cmbCrystal->addItems({"16MHz", "32MHz"});
    m_cmbBaud = new QComboBox(this);
    linkRow->addWidget(m_cmbCrystal);
    linkRow->addWidget(new QLabel("Baud", this));
    linkRow->addWidget(m_cmbBaud, 1);
    form->addRow("Crystal:", linkRow);
    FillBaudList(115200);

    m_stations = new QTableWidget(0, 2, this);
    m_stations->setObjectName("stations");
    m_stations->setHorizontalHeaderLabels({"Interface", "Station name"});
    m_stations->horizontalHeader()->setStretchLastSection(true);
    m_stations->verticalHeader()->hide();
    m_stations->setSelectionMode(QAbstractItemView::NoSelection);
    m_stations->setEditTriggers(QAbstractItemView::DoubleClicked |
                                QAbstractItemView::SelectedClicked |
                                QAbstractItemView::EditKeyPressed);
    m_btnPorts = new QPushButton("Refresh", this);
    const std::pair<QWidget*, const char*> names[] = {
        {m_editImage, "image"}, {m_btnImage, "chooseImage"}, {m_lblGolden, "golden"},
        {m_editFirst, "first"}, {m_editLast, "last"},        {m_cmbStep, "step"},
        {m_lblLeft, "left"},    {m_editRecord, "record"},    {m_btnRecord, "chooseRecord"},
        {m_editLot, "lot"},     {m_cmbCrystal, "crystal"},   {m_cmbBaud, "baud"},
        {m_btnPorts, "refresh"}};
    for (const auto& [widget, name] : names) {
        widget->setObjectName(name);
    }

    m_lblProblem = new QLabel(this);
    m_lblProblem->setObjectName("problem");
    m_lblProblem->setWordWrap(true);
    m_lblProblem->setStyleSheet("color: #a00000;");

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(form);
    auto* stationsHead = new QHBoxLayout;
    stationsHead->addWidget(new QLabel("Stations:", this), 1);
    stationsHead->addWidget(m_btnPorts);
    layout->addLayout(stationsHead);
    layout->addWidget(m_stations, 1);
    layout->addWidget(m_lblProblem);

    connect(m_btnImage, &QPushButton::clicked, this, [this] {
        QString path = m_chooser.OpenPath(this, "NVDS image (*.nvds);;All files (*)");
        if (!path.isEmpty()) {
            LoadGolden(path.toStdString());
        }
    });
    connect(m_btnRecord, &QPushButton::clicked, this, [this] {
        std::optional<QString> chosen = m_chooser.RecordTarget(this, m_editRecord->text());
        if (chosen) {
            m_editRecord->setText(chosen->trimmed());
        }
    });
    connect(m_cmbCrystal, &QComboBox::currentIndexChanged, this,
            [this] { FillBaudList(m_cmbBaud->currentText().toUInt()); });
    connect(m_btnPorts, &QPushButton::clicked, this, &CBoardSetup::RefreshPorts);
    for (QLineEdit* edit : {m_editFirst, m_editLast, m_editRecord, m_editLot}) {
        connect(edit, &QLineEdit::textChanged, this, &CBoardSetup::Revalidate);
    }
    for (QComboBox* combo : {m_cmbStep, m_cmbBaud}) {
        connect(combo, &QComboBox::currentIndexChanged, this, &CBoardSetup::Revalidate);
    }
    connect(m_stations, &QTableWidget::itemChanged, this, &CBoardSetup::Revalidate);
    RefreshPorts();
    Revalidate();
}

CBoardSetup::~CBoardSetup() = default;

void CBoardSetup::FillBaudList(uint32_t keep) {
    int crystal = m_cmbCrystal->currentIndex() == CRYSTAL_32MHZ ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    QSignalBlocker block(m_cmbBaud);
    m_cmbBaud->clear();
    for (int row = 0; row < BAUD_ROW_COUNT; ++row) {
        m_cmbBaud->addItem(QString::number(BaudOfRow(row, crystal)));
    }
    int row = FindBaudRow(keep, crystal);
    m_cmbBaud->setCurrentIndex(row >= 0                   ? row
                               : crystal == CRYSTAL_32MHZ ? DEFAULT_BAUD_INDEX_32MHZ
                                                          : DEFAULT_BAUD_INDEX_16MHZ);
    Revalidate();
}

BoardSetupValues CBoardSetup::Values() const {
    BoardSetupValues values;
    values.image = m_editImage->text().toStdString();
    values.first = Trimmed(m_editFirst->text());
    values.last = Trimmed(m_editLast->text());
    values.step = m_cmbStep->currentIndex() == 1 ? -1 : 1;
    values.record = Trimmed(m_editRecord->text());
    values.lot = Trimmed(m_editLot->text());
    values.crystal = m_cmbCrystal->currentIndex() == 1 ? CRYSTAL_32MHZ : CRYSTAL_16MHZ;
    values.baud = m_cmbBaud->currentText().toUInt();
    for (int row = 0; row < m_stations->rowCount(); ++row) {
        QTableWidgetItem* port = m_stations->item(row, COL_PORT);
        if (port->checkState() == Qt::Checked) {
            values.stations.push_back({Trimmed(m_stations->item(row, COL_NAME)->text()),
                                       port->data(ROLE_PATH).toString().toStdString()});
        }
    }
    return values;
}

void CBoardSetup::LoadGolden(const std::string& path) {
    m_editImage->setText(QString::fromStdString(path));
    m_golden = std::make_unique<line::GoldenImage>();
    m_strGoldenError.clear();
    QString shown;
    if (!m_bCatalogue) {
        m_strGoldenError = "The tag catalogue could not be read.";
    } else if (!m_golden->Load(path, m_catalogue, m_strGoldenError)) {
        m_golden.reset();
    } else {
        // The address the golden file itself holds, as the list would show it.
        TagTable table = m_catalogue;
        NvdsImage image = ErasedImage();
        std::string address = "?";
        if (OpenImageFile(path, image, table).result == 1) {
            address = table[TAG_DEVICE_ADDRESS].valueText;
        }
        // The digest in two halves, so that all of it fits the pane.
        QString digest = QString::fromStdString(m_golden->Sha256());
        shown = QString("%1\nSHA-256 %2\n%3\nDevice address (tag 1) in the file: %4")
                    .arg(QString::fromStdString(m_golden->Name()), digest.left(32), digest.mid(32),
                         QString::fromStdString(address));
    }
    m_lblGolden->setText(shown);
    Revalidate();
}

void CBoardSetup::RefreshPorts() {
    std::vector<std::pair<std::string, std::pair<bool, QString>>> kept;
    for (int row = 0; row < m_stations->rowCount(); ++row) {
        QTableWidgetItem* port = m_stations->item(row, COL_PORT);
        kept.push_back(
            {port->data(ROLE_PATH).toString().toStdString(),
             {port->checkState() == Qt::Checked, m_stations->item(row, COL_NAME)->text()}});
    }
    QSignalBlocker block(m_stations);
    m_stations->setRowCount(0);
    std::vector<ComPortEntry> ports = m_links->Ports();
    for (const ComPortEntry& entry : ports) {
        // The bridge has no path; its entry text stands for it, as `nvds line --port SPI` takes.
        std::string path = entry.path.empty() ? entry.text : entry.path;
        int row = m_stations->rowCount();
        m_stations->insertRow(row);
        auto* port = new QTableWidgetItem(QString::fromLocal8Bit(entry.text));
        port->setData(ROLE_PATH, QString::fromStdString(path));
        port->setToolTip(QString::fromStdString(path));
        port->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        port->setCheckState(Qt::Unchecked);
        auto* name = new QTableWidgetItem(QString("Station %1").arg(row + 1));
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsEditable | Qt::ItemIsSelectable);
        for (const auto& [keptPath, state] : kept) {
            if (keptPath == path) {
                port->setCheckState(state.first ? Qt::Checked : Qt::Unchecked);
                name->setText(state.second);
            }
        }
        m_stations->setItem(row, COL_PORT, port);
        m_stations->setItem(row, COL_NAME, name);
    }
    m_stations->resizeColumnToContents(COL_PORT);
    Revalidate();
}

bool CBoardSetup::TickStation(const std::string& path, bool on, const std::string& name) {
    for (int row = 0; row < m_stations->rowCount(); ++row) {
        QTableWidgetItem* port = m_stations->item(row, COL_PORT);
        if (port->data(ROLE_PATH).toString().toStdString() == path) {
            if (!name.empty()) {
                m_stations->item(row, COL_NAME)->setText(QString::fromStdString(name));
            }
            port->setCheckState(on ? Qt::Checked : Qt::Unchecked);
            return true;
        }
    }
    return false;
}

void CBoardSetup::Revalidate() {
    if (m_cmbBaud == nullptr || m_stations == nullptr || m_lblProblem == nullptr) {
        return;  // still being built
    }
    BoardSetupValues values = Values();
    m_strProblem = SetupProblem(values, m_golden != nullptr, m_strGoldenError, m_pool, m_nLeft);
    m_lblLeft->setText(m_nLeft > 0 ? QString("%1 address(es) in the range").arg(m_nLeft)
                                   : QString());
    m_lblProblem->setText(QString::fromStdString(m_strProblem));
    emit changed();
}

void CBoardSetup::Lock(bool locked) {
    for (QWidget* field : std::initializer_list<QWidget*>{
             m_btnImage, m_editFirst, m_editLast, m_cmbStep, m_editRecord, m_btnRecord, m_editLot,
             m_cmbCrystal, m_cmbBaud, m_stations, m_btnPorts}) {
        field->setEnabled(!locked);
    }
}

void CBoardSetup::LoadSettings(const CIniOp& ini, const std::string& record) {
    m_editFirst->setText(QString::fromStdString(ini.IniGetString(KEY_FIRST, "")));
    m_editLast->setText(QString::fromStdString(ini.IniGetString(KEY_LAST, "")));
    m_cmbStep->setCurrentIndex(ini.IniGetInt(KEY_STEP, 1) < 0 ? 1 : 0);
    m_editRecord->setText(QString::fromStdString(ini.IniGetString(KEY_RECORD, record)));
    m_editLot->setText(QString::fromStdString(ini.IniGetString(KEY_LOT, "")));
    m_cmbCrystal->setCurrentIndex(ini.IniGetString(KEY_OSC, "16MHz") == "32MHz" ? 1 : 0);
    FillBaudList(static_cast<uint32_t>(ini.IniGetInt(KEY_BAUD, 115200)));
    for (const auto& [path, name] : ParseStations(ini.IniGetString(KEY_STATIONS, ""))) {
        TickStation(path, true, name);
    }
    std::string image = ini.IniGetString(KEY_IMAGE, "");
    if (!image.empty()) {
        LoadGolden(image);
    }
    Revalidate();
}

void CBoardSetup::SaveSettings(const CIniOp& ini) const {
    BoardSetupValues values = Values();
    std::string stations;
    for (const line::StationPort& station : values.stations) {
        stations +=
            (stations.empty() ? "" : ";") + Escaped(station.path) + "=" + Escaped(station.name);
    }
    ini.IniWriteString(KEY_IMAGE, values.image);
    ini.IniWriteString(KEY_FIRST, values.first);
    ini.IniWriteString(KEY_LAST, values.last);
    ini.IniWriteString(KEY_STEP, std::to_string(values.step));
    ini.IniWriteString(KEY_RECORD, values.record);
    ini.IniWriteString(KEY_LOT, values.lot);
    ini.IniWriteString(KEY_OSC, values.crystal == CRYSTAL_32MHZ ? "32MHz" : "16MHz");
    ini.IniWriteString(KEY_BAUD, std::to_string(values.baud));
    ini.IniWriteString(KEY_STATIONS, stations);
}

}  // namespace nvds
