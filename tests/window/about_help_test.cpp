// The About box, System Info, Help and F1, and the user help itself: its links and pictures
// resolve, it uses the window's own captions, and its troubleshooting page quotes the
// messages as the program writes them (read from the sources, so the two cannot drift).
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "about/about_box.h"
#include "about/desktop.h"
#include "about/help.h"
#include "jobs/job_setup.h"
#include "window/run_fixture.h"

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

// ---------------------------------------------------------------------------------------
// About box and System Info

class AboutTest : public WindowFixture {
protected:
    AboutBox* box() { return f->frmAbout.get(); }
};

TEST_F(AboutTest, ShowsTheApplicationsIdentityInAModelessBoxMadeOnce) {
    f->show();
    f->Cmd_About->click();
    AboutBox* first = box();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(first->isVisible());
    EXPECT_FALSE(first->isModal());
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the main window stays usable";

    EXPECT_EQ(first->windowTitle().toStdString(), "About Shardex");
    EXPECT_EQ(first->lblVersion->text().toStdString(), "Version 0.9.0");
    EXPECT_TRUE(first->lblDescription->text().startsWith(QStringLiteral("Shardex is a software solution")));
    EXPECT_FALSE(first->picIcon->pixmap().isNull()) << "the icon resource is compiled in";
    const std::string notice = first->lblDisclaimer->text().toStdString();
    EXPECT_NE(notice.find(kCopyrightText), std::string::npos) << notice;
    EXPECT_NE(notice.find(kMakerName), std::string::npos) << notice;

    // OK closes it; About shows the same box again, and a second About makes no second box.
    first->cmdOK->click();
    EXPECT_FALSE(first->isVisible());
    f->Cmd_About->click();
    f->Cmd_About->click();
    EXPECT_EQ(box(), first);
    EXPECT_TRUE(first->isVisible());
    const auto tops = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(tops.begin(), tops.end(), [](QWidget* w) { return w->objectName() == "frmAbout"; }), 1);
}

// The first program of the list that is found is started; anything else ends in the message.
TEST_F(AboutTest, SystemInfoStartsTheFirstProgramFoundOrSaysItIsUnavailable) {
    const auto& names = system_info_programs();
    ASSERT_GE(names.size(), 3u);
    struct Case {
        const char* intent;
        bool services;
        std::vector<std::string> installed;  // names found on the PATH
        bool startWorks;
        std::string started;  // "" = none, and the message is shown
    };
    const Case cases[] = {
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
            f->services.startProgram = [&](const std::string& path) {
                started.push_back(path);
                return c.startWorks;
            };
        }
        Cmd_About_Click(*f);
        box()->cmdSysInfo->click();
        if (c.started.empty()) {
            ASSERT_EQ(dialogs->shown.size(), 1u);
            EXPECT_EQ(dialogs->shown[0].text, kSysInfoUnavailable);
        } else {
            EXPECT_TRUE(dialogs->shown.empty());
            EXPECT_EQ(started, std::vector<std::string>{c.started});
        }
    }
}

// The real look-up and start: a program on the PATH is found and runs on its own.
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
    const std::string notExecutable = desktop::find_program("kinfocenter");
    const std::string missing = desktop::find_program("cpu-x");
    qputenv("PATH", savedPath);

    EXPECT_EQ(fs::path(found), tool);
    EXPECT_EQ(notExecutable + missing, "");
    ASSERT_TRUE(desktop::start_detached(found));
    EXPECT_TRUE(wait_until([&] { return fs::exists(marker); }, 10000));
    EXPECT_FALSE(desktop::start_detached((bin / "no-such-program").string()));
}

// ---------------------------------------------------------------------------------------
// Help and F1

TEST(HelpLocations, AnInstallIsPreferredThenTheCopyBesideTheProgram) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const fs::path root(dir.path().toStdString());
    const fs::path installed = root / "share" / "shardex" / "help" / "index.html";
    const fs::path beside = root / "bin" / "help" / "index.html";
    const auto places = help_locations((root / "bin").string());
    EXPECT_EQ(first_existing_file(places), "") << "nothing there yet";
    write_file(beside, "build");
    EXPECT_EQ(fs::path(first_existing_file(places)), beside);
    write_file(installed, "install");
    EXPECT_EQ(fs::path(first_existing_file(places)), installed);
    fs::remove(installed);
    fs::create_directories(installed);
    EXPECT_EQ(fs::path(first_existing_file(places)), beside) << "a folder of that name is not the help";

    // The build puts the help beside the shardex program, where the program looks for it.
    const std::string built = first_existing_file(help_locations(SHARDEX_PROGRAM_DIR));
    ASSERT_NE(built, "") << "no help beside " << SHARDEX_PROGRAM_DIR;
    EXPECT_EQ(read_file(built), read_file(kHelpDir / "index.html"));
}

class HelpTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        ASSERT_TRUE(helpDir.isValid());
        index = (fs::path(helpDir.path().toStdString()) / "help" / "index.html").string();
        f->services.helpLocations = [this] { return std::vector<std::string>{missing, index}; };
        f->services.openInBrowser = [this](const std::string& file) {
            opened.push_back(file);
            return browserWorks;
        };
    }
    QTemporaryDir helpDir;
    std::string missing = "/nonexistent/share/shardex/help/index.html";
    std::string index;
    std::vector<std::string> opened;
    bool browserWorks = true;
};

TEST_F(HelpTest, HelpButtonAndF1OpenTheHelpInTheBrowser) {
    write_file(index, "<html></html>");
    f->show();
    f->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.get()));
    f->Cmd_Help->click();
    // F1 with the focus in any control of the window.
    for (QWidget* w : std::initializer_list<QWidget*>{f->local_load, f->Combo_Profile, f->Cmd_Go}) {
        w->setFocus();
        QTest::keyClick(w, Qt::Key_F1);
    }
    EXPECT_EQ(opened, std::vector<std::string>(4, index));
    EXPECT_TRUE(dialogs->shown.empty());
}

TEST_F(HelpTest, SaysWhereTheHelpIsWhenItCannotBeShown) {
    // Not installed: the message names every place looked in.
    f->Cmd_Help->click();
    EXPECT_TRUE(opened.empty());
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_NE(dialogs->shown[0].text.find(missing), std::string::npos) << dialogs->shown[0].text;
    EXPECT_NE(dialogs->shown[0].text.find(index), std::string::npos) << dialogs->shown[0].text;

    // Installed, but no browser opens: the message gives the file to open by hand.
    write_file(index, "<html></html>");
    dialogs->shown.clear();
    browserWorks = false;
    f->Cmd_Help->click();
    ASSERT_EQ(dialogs->shown.size(), 1u);
    EXPECT_EQ(dialogs->shown[0].text,
              "No web browser could be opened to show the help. Open this file in a web browser:\n" + index);
}

// ---------------------------------------------------------------------------------------
// The help's pages

std::vector<fs::path> help_pages() {
    std::vector<fs::path> pages;
    for (const auto& e : fs::directory_iterator(kHelpDir))
        if (e.path().extension() == ".html") pages.push_back(e.path());
    std::sort(pages.begin(), pages.end());
    return pages;
}

// The text a reader sees: tags dropped, the entities the pages use decoded, blanks made one.
std::string visible_text(const std::string& html) {
    std::string t = std::regex_replace(html, std::regex("<[^>]*>"), "");
    const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&nbsp;", " "}, {"&amp;", "&"}};
    for (const auto& [from, to] : entities)
        for (auto at = t.find(from); at != std::string::npos; at = t.find(from, at + 1)) t.replace(at, std::strlen(from), to);
    return std::regex_replace(t, std::regex("\\s+"), " ");
}

TEST(HelpPages, EveryLinkAndPictureResolves) {
    const auto pages = help_pages();
    ASSERT_GE(pages.size(), 6u);
    const std::regex ref("(href|src)\\s*=\\s*\"([^\"]*)\"");
    std::set<std::string> linkedFromIndex;
    int checked = 0;
    for (const auto& page : pages) {
        const std::string html = read_file(page);
        for (auto it = std::sregex_iterator(html.begin(), html.end(), ref); it != std::sregex_iterator(); ++it) {
            const std::string target = (*it)[2];
            SCOPED_TRACE(page.filename().string() + ": " + target);
            EXPECT_EQ(target.find("://"), std::string::npos) << "the help works offline";
            const auto hash = target.find('#');
            const std::string file = target.substr(0, hash);
            const fs::path resolved = file.empty() ? page : (page.parent_path() / file).lexically_normal();
            ASSERT_TRUE(fs::is_regular_file(resolved)) << resolved;
            EXPECT_EQ(resolved.parent_path(), kHelpDir.lexically_normal()) << "everything lies in the help folder";
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

// The help names the window's controls by the captions the window really shows.
TEST_F(AboutTest, TheHelpUsesTheWindowsOwnCaptions) {
    std::string all;
    for (const auto& page : help_pages()) all += read_file(page);
    std::vector<QString> captions;
    for (QPushButton* b : {f->Cmd_File2, f->Cmd_Profile, f->Cmd_Go, f->Cmd_Help, f->Cmd_About, f->Cmd_Exit,
                           f->Cmd_MarkIn, f->Cmd_MarkOut, f->Cmd_Local_Encode})
        captions.push_back(b->text());
    for (QGroupBox* g : {f->Frame2, f->Frame_Profile, f->Frame_Local, f->Frame_Remote, f->Frame_Remote2,
                         f->Frame_CPU_Disk, f->Frame_Network})
        captions.push_back(g->title());
    for (QLabel* l : {f->Label_MarkIn, f->Label_MarkOut, f->Label_Edit_Length, f->Label_CPU, f->Label_Disk,
                      f->Label_Network, f->Label_Network_Traffic, f->Label12})
        captions.push_back(l->text().section(QLatin1Char(' '), 0, 0));
    for (const QString& c : captions) {
        const std::string bold = "<b>" + c.trimmed().toStdString() + "</b>";
        EXPECT_NE(all.find(bold), std::string::npos) << bold;
    }
}

// The string literals of a C++ source, adjacent ones joined as the compiler joins them.
std::vector<std::string> string_literals(const std::string& code) {
    std::vector<std::string> out;
    std::string current;
    bool open = false;  // a literal ended and another may still join it
    std::size_t i = 0;
    auto skip_blank = [&] {
        while (i < code.size()) {
            if (std::isspace(static_cast<unsigned char>(code[i]))) ++i;
            else if (code.compare(i, 2, "//") == 0) i = std::min(code.find('\n', i), code.size());
            else if (code.compare(i, 2, "/*") == 0) i = std::min(code.find("*/", i), code.size() - 2) + 2;
            else break;
        }
    };
    while (i < code.size()) {
        if (open) {
            skip_blank();
            if (i >= code.size() || code[i] != '"') {
                out.push_back(current);
                current.clear();
                open = false;
                continue;
            }
        }
        const char c = code[i];
        if (c == '/' && (code.compare(i, 2, "//") == 0 || code.compare(i, 2, "/*") == 0)) {
            skip_blank();
        } else if (c == 'R' && code.compare(i, 2, "R\"") == 0) {
            const auto paren = code.find('(', i);
            const std::string end = ")" + code.substr(i + 2, paren - i - 2) + "\"";
            const auto stop = code.find(end, paren);
            i = stop == std::string::npos ? code.size() : stop + end.size();
        } else if (c == '\'' || c == '"') {
            ++i;
            std::string text;
            while (i < code.size() && code[i] != c) {
                if (code[i] == '\\' && i + 1 < code.size()) {
                    const char e = code[++i];
                    text += e == 'n' ? '\n' : e == 't' ? '\t' : e;
                } else {
                    text += code[i];
                }
                ++i;
            }
            ++i;
            if (c == '"') {
                current += text;
                open = true;
            }
        } else {
            ++i;
        }
    }
    if (open) out.push_back(current);
    return out;
}

// Each message as the help quotes it. "{}" stands for what the program fills in at run time;
// "|" joins two literals that the program puts side by side. Each piece must be text of the
// source file named, and the troubleshooting page must show the pieces in order.
TEST(HelpPages, TroubleshootingQuotesTheMessagesAsTheProgramWritesThem) {
    struct Quote {
        const char* file;
        std::string message;
    };
    const Quote quotes[] = {
        // Reaching the clients.
        {"src/platform/remote/channel.cpp",
         "is not reachable: no Shardex program answers there (connection refused); start shardex-agent on it or "
         "check the port"},
        {"src/platform/remote/channel.cpp",
         "is not reachable: its name cannot be resolved; check the name, or give its address with --peer "
         "{}=HOST:PORT"},
        {"src/platform/remote/channel.cpp", "did not answer in time"},
        {"src/platform/remote/channel.cpp", "stopped answering: it left the network or froze"},
        {"src/platform/remote/channel.cpp", "closed the connection: its program stopped or the computer left the network"},
        {"src/platform/remote/channel.cpp", "does not know this call: its Shardex version differs from this computer's"},
        {"src/platform/remote/remote_encoder.cpp", "lost the connection to {} ({}): it stopped answering"},
        {"src/platform/remote/remote_network.cpp",
         "cannot share the source on {}: the port is in use or the address is not this computer's"},
        {"src/platform/remote/peers.cpp", " is not a peer entry: write NAME=HOST:PORT, e.g. NODE1=192.168.1.20:47810"},
        {"src/jobs/slots.cpp", "Remote Encoder: "},
        {"src/jobs/slots.cpp", "Remote Encoder-2: "},
        // Certificates.
        {"src/platform/remote/channel.cpp",
         "is not a Shardex agent or does not use this network's certificates; copy the network folder made by "
         "'shardex-agent --init' to it"},
        {"src/platform/remote/channel.cpp",
         "refused the connection: it is not a computer of this Shardex network; copy the network folder made by "
         "'shardex-agent --init' to both computers"},
        {"src/platform/remote/network_certs.cpp",
         "No network certificate in '{}': run 'shardex-agent --init' on one computer and copy the folder it writes "
         "to this computer"},
        {"src/platform/remote/network_certs.cpp",
         "The network folder '{}' lacks '{}': copy the whole folder again from the computer that made it"},
        {"src/platform/remote/network_certs.cpp",
         "' was not signed by the network authority '{}': the files come from different networks; copy the whole "
         "folder again from the computer that made it"},
        // A profile missing on a client.
        {"agent/agent_service.cpp",
         "no profile is set for this job: the profile chosen on the Server is not installed on {}"},
        // The agent's start-up.
        {"agent/main.cpp",
         "there is no Shardex folder '{}': run 'shardex-agent --init' (or create the folder) and start the agent again"},
        {"agent/main.cpp",
         "cannot listen on {}: the port is in use by another program or the address is not one of this computer's"},
        {"agent/main.cpp", "this computer's name cannot be read: give one with --name"},
        {"agent/main.cpp", "cannot announce this agent on the network ({}): Servers find it only through their peers entries"},
        {"src/platform/remote/network_certs.cpp",
         "' holds a network already ('{}' exists). Making a new one would shut this computer out of that network; to "
         "do it anyway, add --force (or remove the folder) and copy the new one to every computer afterwards"},
        // The window.
        {"src/run/run_control.cpp", "Incorrect Server/Client Load"},
        {"src/run/run_control.cpp", "No Client Available"},
        {"src/run/run_control.cpp", "No Client-2 Available"},
        {"src/network/network_list.cpp", "Start Shardex again to change clients."},
        {"src/source/source_selection.cpp",
         "A new source can't be chosen while encoding jobs run. Wait until they end or stop them."},
        {"src/source/source_selection.cpp", "cannot open '{}': |its length is 0"},
        {"src/source/source_selection.cpp", "cannot read the size of '{}': {}"},
        {"src/profiles/profile_catalogue.cpp", "Unable to initialize Profile(s)"},
        {"src/profiles/profile_summary.cpp", "Unexpected condition in profile processing!"},
        {"src/jobs/completion.cpp", "Local Encoder Error: {}"},
        {"src/platform/encoder/transcoder.cpp", "the disk is full: |cannot write output file"},
        {"src/platform/remote/share_client.cpp", "the disk is full: |cannot write "},
        {"src/jobs/figures.cpp", "Status:  Failed - no output file"},
        // About and Help.
        {"src/about/about_box.h", kSysInfoUnavailable},
        {"src/about/help.cpp", "No web browser could be opened to show the help. Open this file in a web browser:"},
    };
    const std::string page = visible_text(read_file(kHelpDir / "troubleshooting.html"));
    std::map<std::string, std::vector<std::string>> literals;
    for (const auto& q : quotes) {
        SCOPED_TRACE(std::string(q.file) + ": " + q.message);
        auto& lits = literals[q.file];
        if (lits.empty()) lits = string_literals(read_file(kSourceDir / q.file));
        ASSERT_FALSE(lits.empty()) << "cannot read " << q.file;

        // Pieces of the message between "{}" and "|", and the page's pattern for it.
        std::string pattern;
        std::string piece;
        auto flush = [&](const std::string& then) {
            if (!piece.empty()) {
                bool inSource = false;
                for (const auto& l : lits) inSource = inSource || l.find(piece) != std::string::npos;
                EXPECT_TRUE(inSource) << "'" << piece << "' is not written by " << q.file;
                const std::string shown = std::regex_replace(piece, std::regex("\\s+"), " ");
                pattern += std::regex_replace(shown, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
            }
            piece.clear();
            pattern += then;
        };
        for (std::size_t i = 0; i < q.message.size(); ++i) {
            if (q.message.compare(i, 2, "{}") == 0) {
                flush(".{1,60}?");
                ++i;
            } else if (q.message[i] == '|') {
                flush("");
            } else {
                piece += q.message[i];
            }
        }
        flush("");
        EXPECT_TRUE(std::regex_search(page, std::regex(pattern))) << "the troubleshooting page lacks: " << q.message;
    }
    // The page names every program that System Info looks for.
    for (const auto& name : system_info_programs()) EXPECT_NE(page.find(name), std::string::npos) << name;
}

}  // namespace
}  // namespace shardex::testing
