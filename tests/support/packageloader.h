#pragma once
// The screen package loaded the way the host loads it: by file, with its
// entries and globals resolved by their plain names.
#include <QLibrary>
#include <QString>
#include <QStringList>

class TfrmCancelaNFE;
struct PackageInfo;

class PackageLoader {
public:
    PackageLoader();
    ~PackageLoader();
    bool load(QString* error);

    void (*IniProc)() = nullptr;
    void (*CriaCancelaNFE)() = nullptr;
    void (*Initialize)() = nullptr;
    void (*Finalize)() = nullptr;
    const PackageInfo* (*GetPackageInfoTable)() = nullptr;
    TfrmCancelaNFE** frmCancelaNFE = nullptr;
    bool* boIdCriado = nullptr;
    bool* boToCheck = nullptr;
    QStringList** stlControle = nullptr;

    static QString path();

private:
    QLibrary m_lib;
};
