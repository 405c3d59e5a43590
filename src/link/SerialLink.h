#pragma once

#include <string>

#include "link/LinkTransport.h"
#include "link/SerialPort.h"

namespace nvds {

/// The boot loader on a serial device: the port opened raw at the asked rate, a reader thread
/// feeding the receive queue, DTR as the reset line.
class CSerialLink : public LinkTransport {
public:
    explicit CSerialLink(std::string path) : m_strPath(std::move(path)) {}

    bool Open(uint32_t baud, RxQueue& rx) override {
        if (!m_port.OpenPort(m_strPath, baud)) {
            return false;
        }
        m_port.StartReader(rx);
        return true;
    }
    void Close() override { m_port.ClosePort(); }
    bool IsOpen() const override { return m_port.IsOpen(); }
    bool Write(const uint8_t* data, size_t size) override { return m_port.Write(data, size); }
    std::chrono::steady_clock::time_point Drain() override { return m_port.Drain(); }
    void SetResetLine(bool on) override { m_port.SetDtr(on); }
    void Purge() override { m_port.Purge(); }
    std::string LastError() const override { return m_port.LastError(); }
    std::string Warning() const override { return m_port.Warning(); }
    bool LineLost() const override { return m_port.LineLost(); }
    std::string Name() const override { return m_strPath; }

private:
    std::string m_strPath;
    CSerialPort m_port;
};

}  // namespace nvds
