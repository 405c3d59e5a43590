#include "platform/Prompter.h"

#include <cstdio>

namespace nvds {

void StderrPrompter::Message(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

bool StderrPrompter::Ask(const std::string& text) {
    std::fprintf(stderr, "%s %s\n", text.c_str(), m_bAnswer ? "[answered Yes]" : "[answered No]");
    std::fflush(stderr);
    return m_bAnswer;
}

void RecordingPrompter::Message(const std::string& text) {
    shown.push_back({false, text});
}

bool RecordingPrompter::Ask(const std::string& text) {
    shown.push_back({true, text});
    if (answers.empty()) {
        return defaultAnswer;
    }
    bool answer = answers.front();
    answers.pop_front();
    return answer;
}

bool RecordingPrompter::AskDefaultNo(const std::string& text) {
    bool answer = Ask(text);
    shown.back().defaultNo = true;
    return answer;
}

std::vector<std::string> RecordingPrompter::Texts() const {
    std::vector<std::string> texts;
    texts.reserve(shown.size());
    for (const Shown& s : shown) {
        texts.push_back(s.text);
    }
    return texts;
}

}  // namespace nvds
