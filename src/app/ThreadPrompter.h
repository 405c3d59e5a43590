#pragma once

#include <memory>
#include <mutex>

#include "app/GuiChannel.h"
#include "platform/Prompter.h"

namespace nvds {

/// A prompter that worker threads may call: every message and question is shown by the
/// window's own prompter on the GUI thread while the worker waits. When the channel is closed
/// (the dialog was left) a message is dropped and a question answered No.
class CThreadPrompter : public Prompter {
public:
    explicit CThreadPrompter(Prompter& target) : m_target(target) {}

    /// The channel of the current run; set while no worker uses this prompter.
    void SetChannel(std::shared_ptr<CGuiChannel> channel);
    void Message(const std::string& text) override;
    bool Ask(const std::string& text) override;
    bool AskDefaultNo(const std::string& text) override;

private:
    std::shared_ptr<CGuiChannel> Channel() const;

    Prompter& m_target;
    mutable std::mutex m_mutex;
    std::shared_ptr<CGuiChannel> m_channel;
};

}  // namespace nvds
