// The tick-all pass over a long list, on the screen's real grid (offscreen):
// the pass with its final repaint, one single toggle, and the heap across
// repeated passes. Prints figures; run with QT_QPA_PLATFORM=offscreen.
#include "Cli_Zav50000.h"
#include "data/clientdataset.h"
#include "data/dtmdbgeral.h"
#include "invoicepacket.h"
#include "recordingservices.h"
#include "testdb.h"
#include "uitest.h"
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <algorithm>
#include <cstdio>
#include <malloc.h>

namespace {
double ms(const QElapsedTimer& t) {
    return double(t.nsecsElapsed()) / 1e6;
}
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
size_t heap() {
    return mallinfo2().uordblks;
}
} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    zavtest::TestDatabases dbs;
    QString why;
    if (dbs.ensure(zavtest::kSQLite, &why) != zavtest::TestDatabases::Availability::Ready) {
        std::fprintf(stderr, "bench-grid: %s\n", qPrintable(why));
        return 1;
    }
    dtmDBGeral::open(dbs.connectionText(zavtest::kSQLite));
    ScopedRecording rec;
    TestHostWindow host;
    IniProc();
    TfrmCancelaNFE* f = frmCancelaNFE;
    f->panFiltro->OnExit = nullptr;
    f->panFiltro->OnEnter = nullptr;

    QStringList keys;
    keys.reserve(rows);
    for (int i = 0; i < rows; ++i)
        keys << QStringLiteral("K%1").arg(i, 8, 10, QLatin1Char('0'));
    DataPacket p = invoicetest::invoices(keys);
    const int reason = p.indexOf(QStringLiteral("DSMOTIVOCANCNFE"));
    for (int i = 0; i < rows; ++i)
        p.setValue(i, reason, QStringLiteral("Erro de digitação no valor"));
    QElapsedTimer t;
    t.start();
    f->cdsNotaFiscal->SetData(p);
    f->dbgPadrao->repaint();
    const double load = ms(t);
    ui::focus(f->dbgPadrao);

    TColumn* tick = f->dbgPadrao->Column(0);
    std::vector<double> passes;
    std::vector<size_t> heaps;
    for (int i = 0; i < 8; ++i) {
        t.restart();
        f->dbgPadraoTitleClick(tick);
        f->dbgPadrao->repaint();
        passes.push_back(ms(t));
        heaps.push_back(heap());
    }
    std::vector<double> toggles;
    for (int i = 0; i < 20; ++i) {
        t.restart();
        f->ToggleCurrentRow();
        f->dbgPadrao->repaint();
        toggles.push_back(ms(t));
    }
    std::printf("bench-grid: %d rows, grid %dx%d shown offscreen\n", rows, f->dbgPadrao->width(),
                f->dbgPadrao->height());
    std::printf("  load into the grid + repaint      %8.1f ms\n", load);
    std::printf("  tick-all pass + repaint (median)  %8.1f ms   target 100 ms, ratio %.2f\n", median(passes),
                median(passes) / 100.0);
    std::printf("  single toggle + repaint (median)  %8.2f ms\n", median(toggles));
    std::printf("  heap after pass 2 / pass 8        %8.1f / %.1f MB (growth %+.1f KB)\n",
                heaps[1] / 1048576.0, heaps.back() / 1048576.0,
                (double(heaps.back()) - double(heaps[1])) / 1024.0);
    std::printf("  errors shown: %lld\n", static_cast<long long>((*rec).shown().size()));
    return 0;
}
