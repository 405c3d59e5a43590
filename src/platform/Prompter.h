#pragma once

#include <deque>
#include <string>
#include <vector>

namespace nvds {

/// Shows the system's fixed texts to the user: a plain OK message, or a Yes/No question.
/// Every user-facing text goes through one of these, verbatim.
class Prompter {
public:
    virtual ~Prompter() = default;
    /// Shows an OK message.
    virtual void Message(const std::string& text) = 0;
    /// Asks a Yes/No question; true means Yes.
    virtual bool Ask(const std::string& text) = 0;
    /// Asks a Yes/No question whose default answer is No (Enter answers No), for a step that
    /// must not happen by accident; true means Yes.
    virtual bool AskDefaultNo(const std::string& text) { return Ask(text); }
};

/// Writes every message to stderr, one per line, and answers questions with a fixed answer
/// (the command-line tool takes the answer from its flags).
class StderrPrompter : public Prompter {
public:
    explicit StderrPrompter(bool answer = false) : m_bAnswer(answer) {}
    void Message(const std::string& text) override;
    bool Ask(const std::string& text) override;

private:
    bool m_bAnswer;
};

/// Records what was shown, for tests; questions take the scripted answers in order and the
/// default answer once they run out.
class RecordingPrompter : public Prompter {
public:
    struct Shown {
        bool question;
        std::string text;
        bool defaultNo = false;  // asked with No as the default answer
    };

    void Message(const std::string& text) override;
    bool Ask(const std::string& text) override;
    bool AskDefaultNo(const std::string& text) override;

    /// Texts of messages and questions in the order they were shown.
    std::vector<std::string> Texts() const;
    void Clear() { shown.clear(); }

    std::vector<Shown> shown;
    std::deque<bool> answers;
    bool defaultAnswer = false;
};

}  // namespace nvds
