#include "about/help.h"

#include <filesystem>
#include <system_error>

#include "app/form1.h"

namespace shardex {

std::vector<std::string> help_locations(const std::string& programFolder) {
    namespace fs = std::filesystem;
    const fs::path dir(programFolder);
    return {(dir.parent_path() / "share" / "shardex" / "help" / "index.html").lexically_normal().string(),
            (dir / "help" / "index.html").lexically_normal().string()};
}

std::string first_existing_file(const std::vector<std::string>& locations) {
    for (const auto& file : locations) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(file, ec)) return file;
    }
    return {};
}

void Cmd_Help_Click(Form1& f) {
    std::vector<std::string> places;
    if (f.services.helpLocations) places = f.services.helpLocations();
    const std::string file = first_existing_file(places);
    if (file.empty()) {
        std::string text = "The Shardex help is not installed on this computer. It is looked for in:";
        for (const auto& p : places) text += "\n" + p;
        text += "\nInstall Shardex again, or open docs/help/index.html of its source in a web browser.";
        show_message(f, text);
        return;
    }
    if (!f.services.openInBrowser || !f.services.openInBrowser(file))
        show_message(f, "No web browser could be opened to show the help. Open this file in a web browser:\n" + file);
}

}  // namespace shardex
