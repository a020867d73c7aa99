// Message boxes and the file-open dialog, behind one interface so that tests can answer
// them without a person.
#pragma once

#include <string>

namespace shardex::platform {

enum class Buttons { Ok, OkCancel };
enum class Answer { Ok, Cancel };

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A modal message box without an icon.
    virtual Answer message(const std::string& text, const std::string& title, Buttons buttons) = 0;
    // A modal file-open dialog; filter as "Description|*.ext". Returns the full path of
    // the chosen file, or "" when the user cancels.
    virtual std::string openFile(const std::string& title, const std::string& filter) = 0;
    // The same, starting in `folder` ("" or a folder that is gone: wherever the platform likes).
    virtual std::string openFileIn(const std::string& title, const std::string& filter, const std::string& folder) {
        (void)folder;
        return openFile(title, filter);
    }
};

}  // namespace shardex::platform
