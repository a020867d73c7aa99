// Dialogs that answer without a person and remember what they were asked.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/dialogs.h"

namespace shardex::testing {

struct ShownMessage {
    std::string text;
    std::string title;
    platform::Buttons buttons;
};

class FakeDialogs : public platform::Dialogs {
public:
    platform::Answer message(const std::string& text, const std::string& title, platform::Buttons buttons) override {
        shown.push_back({text, title, buttons});
        if (whileOpen) whileOpen();  // a person reading the box: the window's loop runs meanwhile
        if (answers.empty()) return platform::Answer::Ok;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
    std::string openFile(const std::string& title, const std::string&) override {
        openTitles.push_back(title);
        return nextOpenPath;
    }

    std::vector<ShownMessage> shown;
    std::deque<platform::Answer> answers;  // answers to give, in order; Ok when empty
    std::string nextOpenPath;              // what the file-open dialog returns
    std::function<void()> whileOpen;       // runs while a message box is open
    std::vector<std::string> openTitles;
};

}  // namespace shardex::testing
