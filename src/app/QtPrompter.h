#pragma once

#include <QWidget>

#include "platform/Prompter.h"

namespace nvds {

/// Shows messages and Yes/No questions in modal message boxes over the main window.
class QtPrompter : public Prompter {
public:
    void SetParent(QWidget* parent) { m_pParent = parent; }
    void Message(const std::string& text) override;
    bool Ask(const std::string& text) override;
    bool AskDefaultNo(const std::string& text) override;

private:
    QWidget* m_pParent = nullptr;
};

}  // namespace nvds
