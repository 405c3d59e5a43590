#include "link/ConnectTarget.h"

#include "link/BaudTable.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"
#include "platform/Clock.h"
#include "platform/Prompter.h"

namespace nvds {

namespace {

struct ConnectClock {
    uint64_t t0 = Ticks();
    int progress = 0;
    int sub = 0;

    void Step(int every, const ConnectProgress& report) {
        if (++sub == every) {
            sub = 0;
            ++progress;
            if (report) {
                report(progress % PROGRESS_RANGE);
            }
        }
    }
    bool Expired() const { return Ticks() - t0 >= static_cast<uint64_t>(CONNECT_LIMIT.count()); }
};

// True when the connect must end: cancelled (quietly) or out of time (with the overtime message).
bool MustStop(CProgstarDlg& engine, Prompter& prompter, const ConnectClock& clock) {
    if (engine.Cancelled()) {
        return true;
    }
    if (clock.Expired()) {
        prompter.Message(MSG_CONNECT_OVERTIME);
        return true;
    }
    return false;
}

// DTR resets the chip on most boards: raise it, drop what is in flight, release it.
void PulseDtr(CProgstarDlg& engine) {
    engine.Serial().SetDtr(true);
    SleepMs(DTR_STEP.count());
    engine.Serial().Purge();
    SleepMs(DTR_STEP.count());
    engine.Serial().SetDtr(false);
    SleepMs(DTR_STEP.count());
}

// Sends sync bytes until one draws STATUS_ACK. 1 answered, 0 cancelled or out of time.
int SyncLoop(CProgstarDlg& engine, Prompter& prompter, ConnectClock& clock,
             const ConnectProgress& report) {
    int dtrCounter = DTR_PULSE_EVERY - 1;
    for (;;) {
        clock.Step(PROGRESS_EVERY_SERIAL, report);
        if (++dtrCounter >= DTR_PULSE_EVERY) {
            dtrCounter = 0;
            PulseDtr(engine);
        }
        // Only an answer to this very sync byte may end the loop.
        engine.ResetReceiveState();
        uint8_t sync = CMD_SYNC;
        engine.WriteRaw(&sync, 1);
        if (engine.WaitAck(SYNC_PERIOD)) {
            return 1;
        }
        if (MustStop(engine, prompter, clock)) {
            return 0;
        }
    }
}

int ConnectSerial(CProgstarDlg& engine, Prompter& prompter, const ConnectProgress& report) {
    if (!engine.ReopenPort(SyncBaud(engine.m_nCrystal))) {
        return 0;
    }
    ConnectClock clock;
    for (;;) {
        if (!SyncLoop(engine, prompter, clock, report)) {
            return 0;
        }
        engine.ClearStatus();
        const uint8_t* payload = engine.m_baudPayload.data();
        if (engine.SendFrame(CMD_SET_BAUDRATE, payload, 0, 4, 1)) {
            // The chip now listens at the working rate; confirm the rate there.
            engine.ReopenPort(engine.m_nBaudRate);
            if (engine.SendFrame(CMD_SET_BAUDRATE, payload, 0, 4, 1)) {
                engine.m_bConnected = 1;
                return 1;
            }
        }
        // A chip that answers every sync byte but never confirms the rate would otherwise
        // keep the sync loop from ever looking at the clock.
        if (MustStop(engine, prompter, clock)) {
            return 0;
        }
    }
}

int ConnectUsb(CProgstarDlg& engine, Prompter& prompter, const ConnectProgress& report) {
    ConnectClock clock;
    uint8_t sync = CMD_SYNC;
    uint8_t answer = 0x02;
    for (;;) {
        clock.Step(PROGRESS_EVERY_USB, report);
        engine.ResetReceiveState();
        if (engine.Usb().UsbBulkOut(&sync, 1) == USB_OUT_ISSUED) {
            engine.Usb().UsbBulkIn(&answer, 1);
        } else {
            // No bridge: the transfers, which pace this loop, return at once.
            SleepMs(SYNC_PERIOD.count());
        }
        if (answer == STATUS_ACK) {
            engine.m_bConnected = 1;
            return 1;
        }
        if (MustStop(engine, prompter, clock)) {
            return 0;
        }
    }
}

}  // namespace

int ConnectTarget(CProgstarDlg& engine, Prompter& prompter, const ConnectProgress& progress) {
    return engine.m_bUsbMode ? ConnectUsb(engine, prompter, progress)
                             : ConnectSerial(engine, prompter, progress);
}

}  // namespace nvds
