// The copy of a client's output: a thread of its own runs the copy service, a progress
// window (window-modal, opened without a loop of its own) shows how far it is and offers
// Cancel, and the end is handed back to the window's thread.
#include "jobs/client_copy.h"

#include <QLabel>
#include <QPointer>
#include <QProgressDialog>
#include <algorithm>
#include <atomic>
#include <thread>

#include "app/form1.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/shown_text.h"

namespace shardex {

// One copy: its thread, its cancel flag and its progress window. The thread touches nothing
// of the window's; it posts to it.
class ClientCopy : public std::enable_shared_from_this<ClientCopy> {
public:
    ~ClientCopy() {
        cancel = true;
        if (thread.joinable()) thread.join();
        delete progress.data();
    }

    int slot = -1;
    std::atomic<bool> cancel{false};
    std::thread thread;
    QPointer<QProgressDialog> progress;
};

ClientCopies::ClientCopies() = default;
ClientCopies::~ClientCopies() = default;

bool ClientCopies::copying(int slot) const {
    return std::any_of(copies_.begin(), copies_.end(), [slot](const auto& c) { return c->slot == slot; });
}

void ClientCopies::start(Form1& f, int slot, const std::string& computer, const std::string& name,
                         const std::string& prefix, std::function<void(bool ok)> done) {
    if (!f.services.copyFromClient) {
        done(false);
        return;
    }
    auto copy = std::make_shared<ClientCopy>();
    copy->slot = slot;
    auto* progress = new QProgressDialog(&f);
    copy->progress = progress;
    // The computer's name may come from the network (DNS-SD): plain text only.
    auto* label = new QLabel(progress);
    label->setTextFormat(Qt::PlainText);
    progress->setLabel(label);
    const auto shown = [](const std::string& s) { return platform::printable(s, platform::kShownName); };
    progress->setLabelText(QString::fromStdString("Copying " + shown(name) + " from " + shown(computer) + "..."));
    progress->setCancelButtonText(QStringLiteral("Cancel"));
    progress->setRange(0, 1000);
    progress->setWindowTitle(QStringLiteral("Shardex"));
    progress->setWindowModality(Qt::WindowModal);
    progress->setMinimumDuration(300);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    QObject::connect(progress, &QProgressDialog::canceled, progress, [c = copy.get()] { c->cancel = true; });
    copies_.push_back(copy);

    // The end, on the window's thread: the copy leaves the list first, so that whatever
    // `done` does (ending the slot, giving Go back) sees it over.
    std::weak_ptr<ClientCopy> weak = copy;
    auto finish = [&f, this, weak, prefix, done](bool ok, std::string why) {
        auto c = weak.lock();
        if (!c) return;  // the window went, and its copies with it
        std::erase(copies_, c);
        if (c->progress) c->progress->hide();
        if (!ok) show_message(f, prefix + why);
        done(ok);
        // The thread has posted this as its last act: it is joined here, at once.
        if (c->thread.joinable()) c->thread.join();
    };
    const auto service = f.services.copyFromClient;
    const std::string target = platform::shardex_folder_prefix() + name;
    const auto post = f.uiExecutor();
    copy->thread = std::thread([service, computer, name, target, post, finish, c = copy.get()] {
        bool ok = true;
        std::string why;
        try {
            service(computer, name, target, [post, c](std::int64_t doneBytes, std::int64_t total) {
                const int value = total > 0 ? static_cast<int>(doneBytes * 1000 / total) : 0;
                QPointer<QProgressDialog> progress = c->progress;
                post([progress, value] {
                    if (progress) progress->setValue(value);
                });
                return !c->cancel.load();
            });
        } catch (const std::exception& e) {
            ok = false;
            why = e.what();
        }
        post([finish, ok, why] { finish(ok, why); });
    });
}

}  // namespace shardex
