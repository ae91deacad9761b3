// The tick-all pass over a long list, on the screen's real grid (offscreen):
// the pass with its final repaint beside the floor (the grid told that every
// row changed, and repainted), the pass again with a distinct reason on every
// row, one single toggle, the heap across repeated passes, and one reason
// written into every row that has none (F8) beside the pass. Prints figures
// and ends with the line tickall_100k_ms=<median pass> (for the default
// 100,000 rows); run with QT_QPA_PLATFORM=offscreen.
//
//   bench-grid [ROWS]     ROWS: the list's length (default 100000)
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
    const QStringList args = QApplication::arguments();
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::printf("Usage: bench-grid [ROWS]\n"
                    "Ticking every row, one row, and one reason for the rows without one, on a list of\n"
                    "ROWS invoices (100000 when left out), in the real grid.\n");
        return 0;
    }
    bool numeric = true;
    const int rows = args.size() > 1 ? args.at(1).toInt(&numeric) : 100000;
    if (!numeric || rows < 1) {
        std::fprintf(stderr, "bench-grid: o número de linhas deve ser um inteiro positivo, não \"%s\"\n",
                     qPrintable(args.at(1)));
        return 2;
    }
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
    // The list with a reason on every row: the same one, or each its own.
    auto list = [&](bool distinct) {
        DataPacket p = invoicetest::invoices(keys);
        const int reason = p.indexOf(QStringLiteral("DSMOTIVOCANCNFE"));
        for (int i = 0; i < rows; ++i)
            p.setValue(i, reason,
                       distinct ? QStringLiteral("Erro de digitação no valor %1").arg(i)
                                : QStringLiteral("Erro de digitação no valor"));
        return p;
    };
    QElapsedTimer t;
    t.start();
    f->cdsNotaFiscal->SetData(list(false));
    f->dbgPadrao->repaint();
    const double load = ms(t);
    ui::focus(f->dbgPadrao);

    // The floor: the grid told that every row changed, and repainted.
    std::vector<double> floors;
    for (int i = 0; i < 8; ++i) {
        t.restart();
        f->cdsNotaFiscal->DisableControls();
        f->cdsNotaFiscal->EnableControls(); // nothing pending: no signal
        Q_EMIT f->cdsNotaFiscal->dataChanged();
        f->dbgPadrao->repaint();
        floors.push_back(ms(t));
    }

    TColumn* tick = f->dbgPadrao->Column(0);
    auto passes = [&](int n, std::vector<size_t>* heaps) {
        std::vector<double> out;
        for (int i = 0; i < n; ++i) {
            t.restart();
            f->dbgPadraoTitleClick(tick);
            f->dbgPadrao->repaint();
            out.push_back(ms(t));
            if (heaps)
                heaps->push_back(heap());
        }
        return out;
    };
    std::vector<size_t> heaps;
    const std::vector<double> same = passes(8, &heaps);
    const long long ticked = [&] {
        long long n = 0;
        const int check = f->cdsNotaFiscal->FieldByName(QStringLiteral("IDCHECK"))->Index();
        for (int r = 0; r < f->cdsNotaFiscal->ViewRowCount(); ++r)
            n += f->cdsNotaFiscal->value(r, check).toString() == QLatin1String("C");
        return n;
    }();
    std::vector<double> toggles;
    for (int i = 0; i < 20; ++i) {
        t.restart();
        f->ToggleCurrentRow();
        f->dbgPadrao->repaint();
        toggles.push_back(ms(t));
    }
    f->cdsNotaFiscal->SetData(list(true));
    f->dbgPadrao->repaint();
    boToCheck = false;
    const std::vector<double> distinct = passes(8, nullptr);

    // One reason for every row without one: the list as it arrives (no
    // reason anywhere), the action timed with its repaint.
    const auto noReasons = [&] {
        DataPacket p = invoicetest::invoices(keys);
        f->cdsNotaFiscal->SetData(p);
        f->dbgPadrao->repaint();
    };
    std::vector<double> reasonForAll;
    for (int i = 0; i < 8; ++i) {
        noReasons();
        (*rec).textAnswers = {QStringLiteral("Cliente pediu o cancelamento")};
        t.restart();
        f->sbtMotivoClick(f->sbtMotivo);
        f->dbgPadrao->repaint();
        reasonForAll.push_back(ms(t));
    }

    const double floor = median(floors);
    const double pass = median(same);
    std::printf("bench-grid: %d rows, grid %dx%d shown offscreen\n", rows, f->dbgPadrao->width(),
                f->dbgPadrao->height());
    std::printf("  load into the grid + repaint               %8.1f ms\n", load);
    std::printf("  floor: every row changed + repaint         %8.2f ms\n", floor);
    std::printf(
        "  tick-all pass + repaint (median of 8)      %8.2f ms   target 20 ms, ratio %.2f; %.1fx the floor\n",
        pass, pass / 20.0, pass / floor);
    std::printf("    passes: ");
    for (double v : same)
        std::printf(" %.1f", v);
    std::printf("  (rows ticked after them: %lld)\n", ticked);
    std::printf("  the same, each row its own reason          %8.2f ms   %.1fx the floor\n", median(distinct),
                median(distinct) / floor);
    std::printf("  single toggle + repaint (median)           %8.2f ms\n", median(toggles));
    std::printf("  heap after pass 2 / pass 8                 %8.1f / %.1f MB (growth %+.1f KB)\n",
                double(heaps[1]) / 1048576.0, double(heaps.back()) / 1048576.0,
                (double(heaps.back()) - double(heaps[1])) / 1024.0);
    const double reason = median(reasonForAll);
    std::printf("  one reason for every row without one (F8)  %8.2f ms   %.2fx the tick-all pass (goal 2)\n",
                reason, reason / pass);
    std::printf("    runs: ");
    for (double v : reasonForAll)
        std::printf(" %.1f", v);
    std::printf("\n");
    std::printf("  errors shown: %lld\n", static_cast<long long>((*rec).shown().size()));
    std::printf("reason_for_all_%dk_ms=%.2f reason_to_tickall=%.2f\n", rows / 1000, reason, reason / pass);
    std::printf("tickall_%dk_ms=%.2f\n", rows / 1000, pass);
    return 0;
}
