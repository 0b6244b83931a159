#include "app/pasta_download.hpp"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace kqz::app {
namespace {

constexpr const char* kChave = "download/pasta";

QSettings Configuracao() {
    return QSettings(QStringLiteral("KQZ"), QStringLiteral("kqz-basko"));
}

}  // namespace

QString PastaInicialDeDownload() {
    QString lembrada = Configuracao().value(QLatin1String(kChave)).toString();
    if (!lembrada.isEmpty() && QFileInfo(lembrada).isDir()) {
        return lembrada;
    }
    QString documentos = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documentos.isEmpty() && QFileInfo(documentos).isDir()) {
        return documentos;
    }
    return QDir::homePath();
}

void LembrarPastaDeDownload(const QString& escolhida) {
    const QString pai = QFileInfo(QDir::cleanPath(escolhida)).absolutePath();
    QSettings configuracao = Configuracao();
    configuracao.setValue(QLatin1String(kChave), pai);
}

}  // namespace kqz::app
