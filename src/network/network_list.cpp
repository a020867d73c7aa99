#include "network/network_list.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>

#include "app/form1.h"

namespace shardex {
namespace {

// An entry of the computer list; reading at or past the end gives an empty name.
std::string entry(const Form1& f, int i) {
    auto* item = f.ListBox_NetComputers->item(i);
    return (i >= 0 && item) ? item->text().toStdString() : std::string();
}

}  // namespace

std::string Get_Server_Name(Form1& f) { return f.services.computerName ? f.services.computerName() : std::string(); }

void Fill_Network_List(Form1& f) {
    auto& S = f.S;
    f.ListBox_NetComputers->clear();
    if (f.services.browseComputers)
        for (const auto& name : f.services.browseComputers())
            f.ListBox_NetComputers->addItem(QString::fromStdString(name));
    S.Server_Computer = Get_Server_Name(f);

    const int n = f.ListBox_NetComputers->count();
    for (int i = 0; i <= n; ++i) {
        if (entry(f, i) != S.Server_Computer) {
            S.Client1_Computer = entry(f, i);
            S.Client2_Computer = entry(f, i + 1);
            break;
        }
    }
    f.Frame_Local->setTitle(QString::fromStdString("Server: " + S.Server_Computer));
    f.Frame_Remote->setTitle(QString::fromStdString("Client 1: " + S.Client1_Computer));
    f.Frame_Remote2->setTitle(QString::fromStdString("Client 2: " + S.Client2_Computer));

    if (n == 1) {
        f.local_load->setText(QStringLiteral("100"));
        f.remote_load->setText(QStringLiteral("0"));
        f.remote2_load->setText(QStringLiteral("0"));
    } else if (n == 2) {
        f.local_load->setText(QStringLiteral("50"));
        f.remote_load->setText(QStringLiteral("50"));
        f.remote2_load->setText(QStringLiteral("0"));
    }

    f.Combo1->clear();
    f.Combo2->clear();
    for (int i = 0; i <= n; ++i) {
        if (entry(f, i) != S.Server_Computer) {
            f.Combo1->addItem(QString::fromStdString(entry(f, i)));
            f.Combo2->addItem(QString::fromStdString(entry(f, i)));
        }
    }
    f.Combo1->setEditText(QString::fromStdString(S.Client1_Computer));
    f.Combo2->setEditText(QString::fromStdString(S.Client2_Computer));
}

void Combo1_Click(Form1& f) {
    if (f.S.Remote_Connected == 1) {
        show_message(f, "Start Shardex again to change clients.");
        return;
    }
    f.S.Client1_Computer = f.Combo1->currentText().toStdString();
    f.Frame_Remote->setTitle(QString::fromStdString("Client 1: " + f.S.Client1_Computer));
}

void Combo2_Click(Form1& f) {
    if (f.ListBox_NetComputers->count() < 3) return;
    if (f.S.Remote2_Connected == 1) {
        show_message(f, "Start Shardex again to change clients.");
        return;
    }
    f.S.Client2_Computer = f.Combo2->currentText().toStdString();
    f.Frame_Remote2->setTitle(QString::fromStdString("Client 2: " + f.S.Client2_Computer));
}

}  // namespace shardex
