#include "testtools.h"
#include "data/datapacket.h"
#include "services/exceptions.h"

#include <QProcess>
#include <QTest>
#include <QXmlStreamReader>

namespace zavtest {

bool run(const QString& program, const QStringList& arguments, const QString& dir, QByteArray* output) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.waitForFinished(120000);
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QStringList texts(const QByteArray& xml, const QString& name) {
    QStringList found;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement() && reader.name() == name)
            found.append(reader.readElementText(QXmlStreamReader::IncludeChildElements));
    }
    return found;
}

QString failureOf(const std::function<void()>& call) {
    return failureText<EZavError>(call, QStringLiteral("(no failure)"));
}

void comparePackets(const DataPacket& a, const DataPacket& b) {
    QCOMPARE(a.fields(), b.fields());
    QCOMPARE(a.rowCount(), b.rowCount());
    for (int r = 0; r < a.rowCount(); ++r) {
        for (int c = 0; c < a.fieldCount(); ++c) {
            QCOMPARE(a.isNull(r, c), b.isNull(r, c));
            QCOMPARE(a.value(r, c), b.value(r, c));
        }
    }
}

} // namespace zavtest
