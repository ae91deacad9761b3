#include "packageloader.h"
#include <QDir>

QString PackageLoader::path() {
    const QString dir = qEnvironmentVariable("ZAV_BIN_DIR", QStringLiteral(ZAV_BIN_DIR));
    return QDir(dir).filePath(QStringLiteral("libPkg_Zav50000.so"));
}

PackageLoader::PackageLoader() : m_lib(path()) {}
PackageLoader::~PackageLoader() = default;

bool PackageLoader::load(QString* error) {
    if (!m_lib.load()) {
        *error = m_lib.errorString();
        return false;
    }
    auto get = [&](const char* name) {
        void* p = reinterpret_cast<void*>(m_lib.resolve(name));
        if (!p && error->isEmpty())
            *error = QStringLiteral("missing symbol %1").arg(QLatin1String(name));
        return p;
    };
    IniProc = reinterpret_cast<void (*)()>(get("IniProc"));
    CriaCancelaNFE = reinterpret_cast<void (*)()>(get("CriaCancelaNFE"));
    Initialize = reinterpret_cast<void (*)()>(get("Initialize"));
    Finalize = reinterpret_cast<void (*)()>(get("Finalize"));
    GetPackageInfoTable = reinterpret_cast<const PackageInfo* (*)()>(get("GetPackageInfoTable"));
    frmCancelaNFE = static_cast<TfrmCancelaNFE**>(get("frmCancelaNFE"));
    boIdCriado = static_cast<bool*>(get("boIdCriado"));
    boToCheck = static_cast<bool*>(get("boToCheck"));
    stlControle = static_cast<QStringList**>(get("stlControle"));
    return error->isEmpty();
}
