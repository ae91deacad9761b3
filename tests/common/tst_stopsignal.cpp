// SIGTERM and SIGINT sent to this very process become one call of the stop
// function, on the watching thread, and only once what it stops is running.
#include "stopsignal.h"

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <csignal>
#include <unistd.h>

class TestStopSignal : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void stopsOnce_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("runningFirst");
        QTest::newRow("SIGTERM while running") << int(SIGTERM) << true;
        QTest::newRow("SIGINT while running") << int(SIGINT) << true;
        QTest::newRow("SIGTERM before running") << int(SIGTERM) << false;
    }
    void stopsOnce() {
        QFETCH(int, signal);
        QFETCH(bool, runningFirst);
        std::atomic<bool> running{runningFirst};
        std::atomic<int> stops{0};
        zavcommon::StopSignal watcher([&] { return running.load(); }, [&] { ++stops; });
        QVERIFY(!watcher.stopRequested());
        QCOMPARE(watcher.signalNumber(), 0);

        QCOMPARE(::kill(::getpid(), signal), 0);
        QTRY_VERIFY(watcher.stopRequested());
        QCOMPARE(watcher.signalNumber(), signal);
        if (!runningFirst) {
            // Nothing to stop yet: the stop waits until it runs.
            QTest::qWait(100);
            QCOMPARE(stops.load(), 0);
            running = true;
        }
        QTRY_COMPARE(stops.load(), 1);
        // Once, not again while it keeps running.
        QTest::qWait(50);
        QCOMPARE(stops.load(), 1);
    }

    void endsWithoutASignal() {
        std::atomic<int> stops{0};
        {
            zavcommon::StopSignal watcher([] { return true; }, [&] { ++stops; });
            QVERIFY(!watcher.stopRequested());
        }
        QCOMPARE(stops.load(), 0);
    }

    void endsWhileWaitingForTheRun() {
        std::atomic<int> stops{0};
        {
            zavcommon::StopSignal watcher([] { return false; }, [&] { ++stops; });
            QCOMPARE(::kill(::getpid(), SIGINT), 0);
            QTRY_VERIFY(watcher.stopRequested());
        } // never ran: the watcher ends without stopping anything
        QCOMPARE(stops.load(), 0);
    }
};

// The signals are blocked before any thread starts, as the processes do, so
// that the ones sent here wait for the watching thread instead of ending the
// test.
int main(int argc, char* argv[]) {
    zavcommon::StopSignal::block();
    QCoreApplication app(argc, argv);
    TestStopSignal test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_stopsignal.moc"
