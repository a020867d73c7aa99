// The copy of a client's output: the window waits for it, as it would for a file copy of
// the system's, and shows its progress; the user may cancel it.
#include "jobs/client_copy.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressDialog>

#include "app/form1.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/shown_text.h"

namespace shardex {

bool copy_client_output(Form1& f, const std::string& computer, const std::string& name, const std::string& prefix,
                        std::string* why) {
    if (!f.services.copyFromClient) return false;
    QProgressDialog progress(&f);
    // The computer's name may come from the network (DNS-SD): plain text only.
    auto* label = new QLabel(&progress);
    label->setTextFormat(Qt::PlainText);
    progress.setLabel(label);
    const auto shown = [](const std::string& s) { return platform::printable(s, platform::kShownName); };
    progress.setLabelText(QString::fromStdString("Copying " + shown(name) + " from " + shown(computer) + "..."));
    progress.setCancelButtonText(QStringLiteral("Cancel"));
    progress.setRange(0, 1000);
    progress.setWindowTitle(QStringLiteral("Shardex"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    try {
        f.services.copyFromClient(computer, name, platform::shardex_folder_prefix() + name,
                                  [&progress](std::int64_t done, std::int64_t total) {
                                      progress.setValue(total > 0 ? static_cast<int>(done * 1000 / total) : 0);
                                      QCoreApplication::processEvents();
                                      return !progress.wasCanceled();
                                  });
        return true;
    } catch (const std::exception& e) {
        progress.close();
        if (why)
            *why = e.what();
        else
            show_message(f, prefix + e.what());
        return false;
    }
}

}  // namespace shardex
