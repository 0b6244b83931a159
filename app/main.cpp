#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

#include "app/app_locale.hpp"
#include "app/programa.hpp"
#include "app/ui_services.hpp"
#include "kqz_version.hpp"

int main(int argc, char** argv) {
    // --version answers without a display (a package check, a remote shell).
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kqz-basko %s\n", kqz::kVersionLine);
            return 0;
        }
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KQZ_BASKO"));
    QApplication::setApplicationVersion(QString::fromUtf8(kqz::kVersionLine));
    QLocale::setDefault(kqz::app::AppLocale());

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Download de XMLs SAT de seus clientes"));
    options.addHelpOption();
    options.addVersionOption();
    const QCommandLineOption servidor(QStringLiteral("server"),
                                      QStringLiteral("Servidor, por exemplo http://localhost:8080 "
                                                     "(padrão: $KQZ_SERVER ou http://localhost:8080)."),
                                      QStringLiteral("URL"));
    options.addOption(servidor);
    options.process(application);

    kqz::app::QtUiServices ui;
    kqz::app::AppContext context{ui};
    context.servidor = options.value(servidor).toStdString();
    return kqz::app::Executar(context);
}
