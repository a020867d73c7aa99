// A window for the source routines' tests: fake dialogs, a fake graph per chosen file and
// files of a chosen size in a temporary folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>

#include "app/colors.h"
#include "app/form1.h"
#include "media/test_media.h"
#include "source/preview_player.h"
#include "source/source_selection.h"
#include "source/trim_markers.h"
#include "support/fake_dialogs.h"
#include "support/fake_graph.h"

namespace shardex::testing {

inline std::string text(const QLabel* l) { return l->text().toStdString(); }
inline std::string text(const QLineEdit* t) { return t->text().toStdString(); }

class SourceWindow {
public:
    SourceWindow() {
        Services s;
        s.dialogs = dialogs;
        s.createGraph = [this]() -> std::shared_ptr<media::FilterGraph> {
            auto g = next ? next : std::make_shared<FakeGraph>();
            next.reset();
            made.push_back(g);
            return g;
        };
        form = std::make_unique<Form1>(std::move(s));
    }

    Form1& f() { return *form; }

    // A file of `bytes` bytes (sparse, its content does not matter to a fake graph).
    std::string file(const std::string& name, std::uintmax_t bytes) {
        auto p = dir.path() / name;
        { std::ofstream(p, std::ios::binary); }
        std::filesystem::resize_file(p, bytes);
        return p.string();
    }

    // Chooses `path` through the source button; the graph it opens is `graph`.
    std::shared_ptr<FakeGraph> choose(const std::string& path, std::shared_ptr<FakeGraph> graph = nullptr) {
        next = graph ? graph : std::make_shared<FakeGraph>();
        auto g = next;
        dialogs->nextOpenPath = path;
        Cmd_File_Click(*form);
        return g;
    }

    // A source of `seconds` length, chosen and playing; the fake graph that plays it.
    std::shared_ptr<FakeGraph> source(double seconds, const std::string& name = "clip.avi",
                                      std::uintmax_t bytes = 3000000) {
        auto g = std::make_shared<FakeGraph>();
        g->length = seconds;
        choose(file(name, bytes), g);
        return g;
    }

    std::shared_ptr<FakeDialogs> dialogs = std::make_shared<FakeDialogs>();
    std::shared_ptr<FakeGraph> next;
    std::vector<std::weak_ptr<FakeGraph>> made;  // every graph the window asked for
    TempMediaDir dir;
    std::unique_ptr<Form1> form;
};

}  // namespace shardex::testing
