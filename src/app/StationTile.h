#pragma once

#include <QFrame>
#include <QString>

#include "line/Station.h"

class QLabel;
class QProgressBar;

namespace nvds {

/// The big text and the colour a tile shows for a station's status: "PASS" with the address,
/// "FAIL" with the reason, "burning" with the page, "port lost", ... PASS and FAIL stay while
/// the station waits for the chip to be taken out and for the next one.
struct TileFace {
    QString headline;  // large type
    QString detail;    // under it: the address, the reason, what the station waits for
    QString colour;    // background, "#rrggbb"
    bool progress = false;
    int page = 0;  // 0..16 while burning or verifying
};

TileFace FaceOf(const line::StationStatus& status);

/// One station on the board: name, port, state in large type, a progress bar while the chip is
/// burned or read back, and its counters.
class CStationTile : public QFrame {
    Q_OBJECT

public:
    explicit CStationTile(const line::StationStatus& status, QWidget* parent = nullptr);

    void Show(const line::StationStatus& status);
    const line::StationStatus& Status() const { return m_status; }

    QLabel* m_lblName = nullptr;
    QLabel* m_lblPort = nullptr;
    QLabel* m_lblState = nullptr;
    QLabel* m_lblDetail = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_lblCounters = nullptr;

private:
    line::StationStatus m_status;
    QString m_strColour;
};

}  // namespace nvds
