#include "app/StationTile.h"

#include <QColor>
#include <QLabel>
#include <QPalette>
#include <QProgressBar>
#include <QVBoxLayout>

#include "line/ProductionRecord.h"
#include "link/LinkConstants.h"

namespace nvds {

namespace {

constexpr const char* COLOUR_PASS = "#2e9d3a";
constexpr const char* COLOUR_FAIL = "#c62828";
constexpr const char* COLOUR_BUSY = "#1e63b8";
constexpr const char* COLOUR_IDLE = "#5f6b73";
constexpr const char* COLOUR_ALERT = "#d98b00";

QString Address(const line::StationStatus& status) {
    return status.hasAddress ? QString::fromStdString(line::AddressText(status.lastAddress))
                             : QString();
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

TileFace FaceOf(const line::StationStatus& status) {
    using line::StationState;
    TileFace face;
    switch (status.state) {
        case StationState::Pass:
            return {"PASS", Address(status), COLOUR_PASS};
        case StationState::Fail:
            return {"FAIL", Text(status.message), COLOUR_FAIL};
        case StationState::Skipped:
            return {"SKIPPED", Text(status.message), COLOUR_ALERT};
        case StationState::Waiting:
            // The last chip's outcome stays until the next chip is detected.
            if (status.lastResult == line::ChipResult::Pass) {
                return {"PASS", Address(status), COLOUR_PASS};
            }
            if (status.lastResult == line::ChipResult::Fail) {
                return {"FAIL", Text(status.message), COLOUR_FAIL};
            }
            return {"waiting", "for a chip", COLOUR_IDLE};
        case StationState::Checking:
            return {"checking", "reading the chip", COLOUR_BUSY, true, 0};
        case StationState::Burning:
        case StationState::Verifying: {
            bool verifying = status.state == StationState::Verifying || status.phase == "verify";
            face = {verifying ? "verifying" : "burning", Address(status), COLOUR_BUSY, true,
                    status.page};
            return face;
        }
        case StationState::PortLost:
            return {"port lost", Text(status.message.empty() ? status.port : status.message),
                    COLOUR_ALERT};
        case StationState::RecordUnavailable:
            return {"record unavailable", Text(status.message), COLOUR_ALERT};
        case StationState::Stopped: {
            // The chip left in the socket may be the one finished on the way out.
            QString detail = Text(status.message);
            if (status.lastResult == line::ChipResult::Pass) {
                detail += "\nlast chip PASS " + Address(status);
            } else if (status.lastResult == line::ChipResult::Fail) {
                detail += "\nlast chip FAIL";
            }
            return {"stopped", detail.trimmed(), COLOUR_IDLE};
        }
    }
    return face;
}

CStationTile::CStationTile(const line::StationStatus& status, QWidget* parent) : QFrame(parent) {
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    setMinimumSize(200, 150);
    auto* layout = new QVBoxLayout(this);
    m_lblName = new QLabel(this);
    QFont nameFont = m_lblName->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
    m_lblName->setFont(nameFont);
    m_lblPort = new QLabel(this);
    m_lblPort->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_lblState = new QLabel(this);
    m_lblState->setObjectName("state");
    QFont big = m_lblState->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 2.6);
    m_lblState->setFont(big);
    m_lblState->setAlignment(Qt::AlignCenter);
    m_lblDetail = new QLabel(this);
    m_lblDetail->setObjectName("detail");
    QFont detailFont = m_lblDetail->font();
    detailFont.setPointSizeF(detailFont.pointSizeF() * 1.4);
    m_lblDetail->setFont(detailFont);
    m_lblDetail->setAlignment(Qt::AlignCenter);
    m_lblDetail->setWordWrap(true);
    m_progress = new QProgressBar(this);
    m_progress->setRange(0, static_cast<int>(NVDS_PAGE_COUNT));
    m_progress->setTextVisible(false);
    m_lblCounters = new QLabel(this);
    m_lblCounters->setObjectName("counters");
    layout->addWidget(m_lblName);
    layout->addWidget(m_lblPort);
    layout->addStretch(1);
    layout->addWidget(m_lblState);
    layout->addWidget(m_lblDetail);
    layout->addWidget(m_progress);
    layout->addStretch(1);
    layout->addWidget(m_lblCounters);
    Show(status);
}

void CStationTile::Show(const line::StationStatus& status) {
    m_status = status;
    TileFace face = FaceOf(status);
    m_lblName->setText(Text(status.name.empty() ? status.port : status.name));
    QString port = Text(status.port);
    m_lblPort->setText(fontMetrics().elidedText(port, Qt::ElideMiddle, width() - 24));
    m_lblPort->setToolTip(port);
    m_lblState->setText(face.headline);
    m_lblDetail->setText(face.detail);
    m_progress->setVisible(face.progress);
    m_progress->setValue(face.page);
    int chips = status.done + status.failures;
    QString yield =
        chips > 0 ? QString::number(100.0 * status.done / chips, 'f', 1) + " %" : QString("-");
    m_lblCounters->setText(
        QString("pass %1   fail %2   yield %3").arg(status.done).arg(status.failures).arg(yield));
    // The palette changes only with the colour, not on every page of a burn.
    if (face.colour != m_strColour) {
        m_strColour = face.colour;
        QPalette colours = palette();
        colours.setColor(QPalette::Window, QColor(face.colour));
        colours.setColor(QPalette::WindowText, Qt::white);
        setPalette(colours);
    }
}

}  // namespace nvds
