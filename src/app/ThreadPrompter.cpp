#include "app/ThreadPrompter.h"

namespace nvds {

void CThreadPrompter::SetChannel(std::shared_ptr<CGuiChannel> channel) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_channel = std::move(channel);
}

std::shared_ptr<CGuiChannel> CThreadPrompter::Channel() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_channel;
}

void CThreadPrompter::Message(const std::string& text) {
    if (auto channel = Channel()) {
        channel->Call(
            [this, text] {
                m_target.Message(text);
                return true;
            },
            false);
    }
}

bool CThreadPrompter::Ask(const std::string& text) {
    auto channel = Channel();
    return channel && channel->Call([this, text] { return m_target.Ask(text); }, false);
}

bool CThreadPrompter::AskDefaultNo(const std::string& text) {
    auto channel = Channel();
    return channel && channel->Call([this, text] { return m_target.AskDefaultNo(text); }, false);
}

}  // namespace nvds
