// System Info, Help and F1, and the user help itself: its pages and pictures exist and
// every link resolves.
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "about/about_box.h"
#include "about/desktop.h"
#include "about/help.h"
#include "jobs/job_setup.h"
#include "support/test_window.h"

namespace shardex::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kSourceDir = SHARDEX_SOURCE_DIR;
const fs::path kHelpDir = kSourceDir / "docs" / "help";

std::string read_file(const fs::path& file) {
    std::ostringstream s;
    s << std::ifstream(file, std::ios::binary).rdbuf();
    return s.str();
}

void write_file(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

using About = WindowTest;

// The first program of the list that is found is started; anything else ends in the message.
TEST_F(About, SystemInfoStartsTheFirstProgramFoundOrSaysItIsUnavailable) {
    const auto& names = system_info_programs();
    ASSERT_GE(names.size(), 3u);
    struct Case {
        const char* intent;
        bool services;
        std::vector<std::string> installed;  // names found on the PATH
        bool startWorks;
        std::string started;  // "" = none, and the message is shown
    } cases[] = {
        {"nothing installed", true, {}, true, ""},
        {"only a later one installed", true, {names.back()}, true, "/usr/bin/" + names.back()},
        {"the earlier of two wins", true, {names[2], names[1]}, true, "/usr/bin/" + names[1]},
        {"found but it cannot be started", true, {names[1]}, false, ""},
        {"no desktop services at all", false, {}, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.intent);
        dialogs->shown.clear();
        std::vector<std::string> started;
        f->services.findProgram = nullptr;
        f->services.startProgram = nullptr;
        if (c.services) {
            f->services.findProgram = [&](const std::string& name) {
                return std::count(c.installed.begin(), c.installed.end(), name) ? "/usr/bin/" + name : std::string();
            };
            f->services.startProgram = [&](const std::string& path) { return started.push_back(path), c.startWorks; };
        }
        Cmd_About_Click(*f);
        f->frmAbout->cmdSysInfo->click();
        EXPECT_EQ(messages(), c.started.empty() ? std::vector<std::string>{kSysInfoUnavailable}
                                                : std::vector<std::string>{});
        if (!c.started.empty()) {
            EXPECT_EQ(started, std::vector<std::string>{c.started});
        }
    }
}

// The real look-up and start: an executable on the PATH is found and runs on its own.
TEST(DesktopServices, FindsAProgramOnThePathAndStartsItDetached) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path bin = fs::path(dir.path().toStdString()) / "bin";
    const fs::path marker = bin.parent_path() / "started";
    const fs::path tool = bin / "hardinfo";
    write_file(tool, "#!/bin/sh\necho started > '" + marker.string() + "'\n");
    fs::permissions(tool, fs::perms::owner_all);
    write_file(bin / "kinfocenter", "not executable\n");
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QByteArray::fromStdString(bin.string()));
    const std::string found = desktop::find_program("hardinfo");
    const std::string others = desktop::find_program("kinfocenter") + desktop::find_program("cpu-x");
    qputenv("PATH", savedPath);
    EXPECT_EQ(fs::path(found), tool);
    EXPECT_EQ(others, "") << "not executable, or not there";
    ASSERT_TRUE(desktop::start_detached(found));
    EXPECT_TRUE(wait_until([&] { return fs::exists(marker); }, 10000));
    EXPECT_FALSE(desktop::start_detached((bin / "no-such-program").string()));
}

// Help and F1 (with the focus in any control) open the help in the browser; when it is not
// found, or no browser opens, the message says where it is looked for or lies.
TEST_F(About, HelpAndF1OpenTheHelpOrSayWhereItIs) {
    QTemporaryDir helpDir;
    const std::string missing = "/nonexistent/share/shardex/help/index.html";
    const std::string index = helpDir.path().toStdString() + "/help/index.html";
    std::vector<std::string> opened;
    bool browserWorks = true;
    f->services.helpLocations = [&] { return std::vector<std::string>{missing, index}; };
    f->services.openInBrowser = [&](const std::string& file) { return opened.push_back(file), browserWorks; };

    f->Cmd_Help->click();
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_NE(messages()[0].find(missing), std::string::npos) << messages()[0];
    EXPECT_NE(messages()[0].find(index), std::string::npos) << messages()[0];

    write_file(index, "<html></html>");
    dialogs->shown.clear();
    f->show();
    f->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.get()));
    f->Cmd_Help->click();
    for (QWidget* w : std::initializer_list<QWidget*>{f->local_load, f->Combo_Profile, f->Cmd_Go}) {
        w->setFocus();
        QTest::keyClick(w, Qt::Key_F1);
    }
    EXPECT_EQ(opened, std::vector<std::string>(4, index));
    EXPECT_TRUE(dialogs->shown.empty());

    browserWorks = false;
    f->Cmd_Help->click();
    EXPECT_EQ(messages(), std::vector<std::string>{
        "No web browser could be opened to show the help. Open this file in a web browser:\n" + index});
}

std::vector<fs::path> help_pages() {
    std::vector<fs::path> pages;
    for (const auto& e : fs::directory_iterator(kHelpDir))
        if (e.path().extension() == ".html") pages.push_back(e.path());
    return pages;
}

// Every link and picture resolves inside the help folder (the help works offline), every
// page is reached from the first one, and the help's icon is the program's.
TEST(HelpPages, EveryLinkAndPictureResolves) {
    const auto pages = help_pages();
    ASSERT_GE(pages.size(), 6u);
    const std::regex ref("(href|src)\\s*=\\s*\"([^\"]*)\"");
    std::set<std::string> linkedFromIndex;
    int checked = 0;
    // Followed in the help as the build lays it out beside the program and installs it: the
    // pages, and the picture of the window that the build renders.
    const fs::path built = (fs::path(SHARDEX_PROGRAM_DIR) / "help").lexically_normal();
    for (const auto& page : pages) {
        const std::string html = read_file(page);
        for (auto it = std::sregex_iterator(html.begin(), html.end(), ref); it != std::sregex_iterator(); ++it) {
            const std::string target = (*it)[2];
            SCOPED_TRACE(page.filename().string() + ": " + target);
            EXPECT_EQ(target.find("://"), std::string::npos);
            const auto hash = target.find('#');
            const std::string file = target.substr(0, hash);
            const fs::path resolved = (built / (file.empty() ? page.filename().string() : file)).lexically_normal();
            ASSERT_TRUE(fs::is_regular_file(resolved)) << resolved;
            EXPECT_EQ(resolved.parent_path(), built);
            if (hash != std::string::npos) {
                EXPECT_NE(read_file(resolved).find("id=\"" + target.substr(hash + 1) + "\""), std::string::npos);
            }
            if (page.filename() == "index.html") linkedFromIndex.insert(resolved.filename().string());
            ++checked;
        }
    }
    EXPECT_GT(checked, 50);
    for (const auto& page : pages) EXPECT_EQ(linkedFromIndex.count(page.filename().string()), 1u) << page;
    EXPECT_EQ(read_file(kHelpDir / "shardex.svg"), read_file(kSourceDir / "src" / "about" / "shardex.svg"));
}

}  // namespace
}  // namespace shardex::testing
