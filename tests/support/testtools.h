#pragma once
// Small tools several tests use on what the programs under test write: a
// command run to its end, and the texts of an XML document's elements.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace zavtest {

// Runs the program in dir until it ends (two minutes at the most), its output
// and errors together into *output; true when it exited normally with 0.
bool run(const QString& program, const QStringList& arguments, const QString& dir,
         QByteArray* output = nullptr);

// The text of each element with that local name, in document order.
QStringList texts(const QByteArray& xml, const QString& name);

} // namespace zavtest
