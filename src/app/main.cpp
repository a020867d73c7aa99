// The Shardex program: the main window on the real platform services.
#include <QApplication>
#include <QLocale>
#include <clocale>

#include "app/form1.h"
#include "app/formats.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Shardex"));
    // The preview player's library reads numbers in the C locale.
    std::setlocale(LC_NUMERIC, "C");
    QLocale locale;
    shardex::set_number_separators({locale.decimalPoint().toStdString(), locale.groupSeparator().toStdString()});

    shardex::Form1 form(shardex::default_services());
    form.show();
    form.load();
    return app.exec();
}
