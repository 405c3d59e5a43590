#include "link/ConnectTarget.h"

#include <string>

#include "link/BaudTable.h"
#include "link/LinkConstants.h"
#include "link/ProgstarDlg.h"
#include "link/UsbTransport.h"
#include "platform/Clock.h"

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

std::string Baud(uint32_t rate) {
    return std::to_string(rate) + " baud";
}

// Nothing answered a sync byte: what came back, if anything, and what usually causes that.
std::string NoAnswerCause(int garbled, const std::string& where) {
    if (garbled > 0) {
        return "no answer to any sync byte" + where + ", only " + std::to_string(garbled) +
               " garbled byte(s) (bad CRCs or no frame): noise on the line or the wrong rate";
    }
    return "no answer to any sync byte" + where +
           ": no chip, the chip not in boot mode, the wrong port, or the other crystal (each "
           "crystal has its own sync rate: 16MHz " +
           Baud(SyncBaud(CRYSTAL_16MHZ)) + ", 32MHz " + Baud(SyncBaud(CRYSTAL_32MHZ)) + ")";
}

class UartSync : public SyncStep {
public:
    int Begin(CProgstarDlg& engine) override {
        m_nGarbledBefore = engine.GarbledBytes();
        return engine.ReopenPort(SyncBaud(engine.m_nCrystal)).Ok() ? 1 : 0;
    }

    int Attempt(CProgstarDlg& engine) override {
        if (++m_nDtrCounter >= DTR_PULSE_EVERY) {
            m_nDtrCounter = 0;
            PulseReset(engine);
        }
        // Only an answer to this very sync byte may count.
        engine.ResetReceiveState();
        uint8_t sync = CMD_SYNC;
        engine.WriteRaw(&sync, 1);
        if (!engine.WaitAck(SYNC_PERIOD)) {
            return 0;
        }
        ++m_nSyncAnswers;
        engine.ClearStatus();
        const uint8_t* payload = engine.m_baudPayload.data();
        if (!engine.SendFrame(CMD_SET_BAUDRATE, payload, 0, 4, CONFIRM_AFTER_WIRE)) {
            return 0;
        }
        // The chip now listens at the working rate; confirm the rate there. A port that does
        // not reopen does not end the connect: the attempts go on (failing at once on the closed
        // port) until the connect's time is up, and the cause then names the refusal.
        if (const LinkOutcome reopened = engine.ReopenPort(engine.m_nBaudRate); !reopened) {
            m_strReopenError = reopened.cause;
        }
        return engine.SendFrame(CMD_SET_BAUDRATE, payload, 0, 4, CONFIRM_AFTER_WIRE);
    }

    int ProgressEvery() const override { return PROGRESS_EVERY_SERIAL; }

    std::string Diagnose(const CProgstarDlg& engine) const override {
        std::string syncRate = Baud(SyncBaud(engine.m_nCrystal));
        if (!m_strReopenError.empty()) {
            return "the chip answered at " + syncRate +
                   " but the port did not open at the working rate of " + Baud(engine.m_nBaudRate) +
                   " (" + m_strReopenError +
                   "): a rate the adapter does not take; try a lower rate";
        }
        if (m_nSyncAnswers == 0) {
            return NoAnswerCause(engine.GarbledBytes() - m_nGarbledBefore, " at " + syncRate);
        }
        return "the chip answered " + std::to_string(m_nSyncAnswers) + " sync byte(s) at " +
               syncRate + " but never confirmed the working rate of " + Baud(engine.m_nBaudRate) +
               ": the wrong crystal, or a rate the adapter or the chip does not take; try the "
               "other crystal or a lower rate";
    }

private:
    // DTR resets the chip on most boards: raise it, drop what is in flight, release it.
    static void PulseReset(CProgstarDlg& engine) {
        engine.Transport().SetResetLine(true);
        SleepMs(DTR_STEP.count());
        engine.Transport().Purge();
        SleepMs(DTR_STEP.count());
        engine.Transport().SetResetLine(false);
        SleepMs(DTR_STEP.count());
    }

    int m_nDtrCounter = DTR_PULSE_EVERY - 1;  // the first attempt pulses
    int m_nSyncAnswers = 0;
    std::string m_strReopenError;  // why the port last refused the working rate
    int m_nGarbledBefore = 0;
};

class BridgeSync : public SyncStep {
public:
    explicit BridgeSync(UsbTransport& usb) : m_usb(usb) {}

    int Begin(CProgstarDlg& /*engine*/) override { return 1; }

    int Attempt(CProgstarDlg& engine) override {
        engine.ResetReceiveState();
        uint8_t sync = CMD_SYNC;
        if (m_usb.UsbBulkOut(&sync, 1) == USB_OUT_ISSUED) {
            m_usb.UsbBulkIn(&m_nAnswer, 1);
        } else {
            // No bridge: the transfers, which pace this loop, return at once.
            SleepMs(SYNC_PERIOD.count());
        }
        return m_nAnswer == STATUS_ACK ? 1 : 0;
    }

    int ProgressEvery() const override { return PROGRESS_EVERY_USB; }

    std::string Diagnose(const CProgstarDlg& /*engine*/) const override {
        return "no answer to any sync byte over the USB bridge: no bridge, no chip, or the chip "
               "not in boot mode";
    }

private:
    UsbTransport& m_usb;
    uint8_t m_nAnswer = 0x02;  // a bulk IN that times out leaves the last answer
};

}  // namespace

std::unique_ptr<SyncStep> MakeUartSync() {
    return std::make_unique<UartSync>();
}

std::unique_ptr<SyncStep> MakeBridgeSync(UsbTransport& usb) {
    return std::make_unique<BridgeSync>(usb);
}

namespace {

// The connect loop; `limited` false: no time limit, only a cancel ends it.
LinkOutcome RunConnect(CProgstarDlg& engine, bool limited, const ConnectProgress& progress) {
    auto openFailed = [&engine] {
        return LinkOutcome{LinkCode::OpenFailed, MSG_OPEN_FAILED, engine.Transport().LastError()};
    };
    std::unique_ptr<SyncStep> step = engine.Transport().MakeSyncStep();
    if (!step->Begin(engine)) {
        return openFailed();
    }
    ConnectClock clock;
    for (;;) {
        clock.Step(step->ProgressEvery(), progress);
        if (step->Attempt(engine)) {
            engine.m_bConnected = 1;
            return {};
        }
        // A chip that answers every sync byte but never confirms the rate must not keep the
        // loop from looking at the clock either.
        if (engine.Cancelled()) {
            return {LinkCode::Cancelled, "", ""};
        }
        if (!clock.Expired()) {
            continue;
        }
        if (limited) {
            return {LinkCode::Overtime, MSG_CONNECT_OVERTIME, step->Diagnose(engine)};
        }
        // Without a time limit, each connect's time starts a fresh connect: a step left syncing
        // at the working rate (its rate was never confirmed) would otherwise never find a chip
        // that a reset put back at the sync rate.
        step = engine.Transport().MakeSyncStep();
        if (!step->Begin(engine)) {
            return openFailed();
        }
        clock = ConnectClock{};
    }
}

}  // namespace

LinkOutcome ConnectTarget(CProgstarDlg& engine, const ConnectProgress& progress) {
    return RunConnect(engine, true, progress);
}

LinkOutcome ConnectTargetUntilCancelled(CProgstarDlg& engine, const ConnectProgress& progress) {
    return RunConnect(engine, false, progress);
}

int WaitChipGone(CProgstarDlg& engine, std::chrono::milliseconds period, int misses) {
    engine.m_bConnected = 0;
    int unanswered = 0;
    while (!engine.Cancelled()) {
        // A fresh step each time: it reopens the link at the sync rate and its first attempt
        // pulses the reset line, so a chip left at the working rate answers as well.
        std::unique_ptr<SyncStep> step = engine.Transport().MakeSyncStep();
        bool answered = step->Begin(engine) && step->Attempt(engine);
        unanswered = answered ? 0 : unanswered + 1;
        if (unanswered >= misses) {
            return engine.Cancelled() ? 0 : 1;
        }
        // WaitAck returns early on a cancel; no status byte is expected in between.
        engine.ResetReceiveState();
        engine.WaitAck(period);
        engine.ClearStatus();
    }
    return 0;
}

}  // namespace nvds
