#pragma once
// Small tools several tests use: a row of a data-driven test on one line, a
// command run to its end, the texts of an XML document's elements, the text of
// the failure a call raises, and two data packets compared cell by cell.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTest>
#include <functional>

class DataPacket;

namespace zavtest {

// Runs the program in dir until it ends (two minutes at the most), its output
// and errors together into *output; true when it exited normally with 0.
bool run(const QString& program, const QStringList& arguments, const QString& dir,
         QByteArray* output = nullptr);

// One row of a data-driven test, its values in the columns' order (a text
// literal is a QString, as QTest::newRow takes it): a case on one line.
template <class... Values> void addRow(const char* tag, const Values&... values) {
    (QTest::newRow(tag) << ... << values);
}

// The text of each element with that local name, in document order.
QStringList texts(const QByteArray& xml, const QString& name);

// The text of the failure of type Error the call raises, or `none` when it
// raises none; a failure of any other type goes on to the caller.
template <class Error> QString failureText(const std::function<void()>& call, const QString& none) {
    try {
        call();
    } catch (const Error& e) {
        return e.text();
    }
    return none;
}

// The text of the EZavError the call raises, or "(no failure)".
QString failureOf(const std::function<void()>& call);

// Records a failure of the test function unless both have the same fields
// and, cell by cell, the same values and NULLs.
void comparePackets(const DataPacket& a, const DataPacket& b);

} // namespace zavtest
