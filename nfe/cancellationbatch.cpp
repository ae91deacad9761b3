#include "cancellationbatch.h"
#include "digits.h"

#include "authoritymessages.h"
#include "batchdocument.h"
#include "schemaset.h"
#include "xmlhandles.h"

#include <QSet>

namespace zavnfe {

namespace {

// xmlNewTextChild escapes its text (&, <, >), unlike xmlNewChild.
xmlNode* addText(xmlNode* parent, xmlNs* ns, const char* name, const QString& text) {
    return xmlNewTextChild(parent, ns, xmlText(name), xmlText(text.toUtf8().constData()));
}

void addEvent(xmlNode* root, const CancellationEvent& event) {
    const CancellationData& data = event.data();
    xmlNode* evento = xmlNewChild(root, nullptr, xmlText("evento"), nullptr);
    // Declared again on evento so that the signed evento stands on its own
    // when it is later stored inside procEventoNFe.
    xmlNs* ns = xmlNewNs(evento, xmlText(CancellationBatch::kNamespace), nullptr);
    xmlSetNs(evento, ns);
    xmlNewProp(evento, xmlText("versao"), xmlText(CancellationBatch::kVersion));

    xmlNode* info = xmlNewChild(evento, ns, xmlText("infEvento"), nullptr);
    xmlNewProp(info, xmlText("Id"), xmlText(event.id().toLatin1().constData()));
    addText(info, ns, "cOrgao", event.stateCode());
    addText(info, ns, "tpAmb", QString::number(data.environment));
    addText(info, ns, "CNPJ", data.issuerCnpj);
    addText(info, ns, "chNFe", data.accessKey);
    addText(info, ns, "dhEvento", event.dateTime());
    addText(info, ns, "tpEvento", QLatin1StringView(CancellationEvent::kEventType));
    addText(info, ns, "nSeqEvento", QString::number(CancellationEvent::kSequence));
    addText(info, ns, "verEvento", QLatin1StringView(CancellationBatch::kVersion));

    xmlNode* detail = xmlNewChild(info, ns, xmlText("detEvento"), nullptr);
    xmlNewProp(detail, xmlText("versao"), xmlText(CancellationBatch::kVersion));
    addText(detail, ns, "descEvento", QLatin1StringView(CancellationEvent::kDescription));
    addText(detail, ns, "nProt", data.authorisationProtocol);
    addText(detail, ns, "xJust", data.reason);
}

// Why a batch with that id and that many events cannot be made, or empty.
QString batchProblem(const QString& batchId, qsizetype events) {
    if (!zavfiscal::isDigits(batchId, 1, 15))
        return QStringLiteral("Número do lote inválido: de 1 a 15 algarismos.");
    if (events < 1 || events > CancellationBatch::kMaxEvents)
        return QStringLiteral("Um lote leva de 1 a %1 eventos (recebeu %2).")
            .arg(CancellationBatch::kMaxEvents)
            .arg(events);
    return {};
}

// No batch: empty, with why in *error (when given).
QByteArray refused(QString* error, const QString& why) {
    if (error)
        *error = why;
    return {};
}

// No document: null, with why in *error (when given).
XmlDoc noDocument(QString* error, const QString& why) {
    refused(error, why);
    return {};
}

} // namespace

XmlDoc batchDocument(const QString& batchId, const QList<CancellationEvent>& events, QString* error) {
    if (const QString problem = batchProblem(batchId, events.size()); !problem.isEmpty())
        return noDocument(error, problem);
    QSet<QString> keys;
    for (const CancellationEvent& event : events) {
        if (keys.contains(event.data().accessKey))
            return noDocument(
                error, QStringLiteral("A NF-e %1 aparece duas vezes no lote.").arg(event.data().accessKey));
        keys.insert(event.data().accessKey);
    }

    XmlDoc doc(xmlNewDoc(xmlText("1.0")));
    xmlNode* root = xmlNewDocNode(doc.get(), nullptr, xmlText("envEvento"), nullptr);
    xmlDocSetRootElement(doc.get(), root);
    xmlNs* ns = xmlNewNs(root, xmlText(CancellationBatch::kNamespace), nullptr);
    xmlSetNs(root, ns);
    xmlNewProp(root, xmlText("versao"), xmlText(CancellationBatch::kVersion));
    addText(root, ns, "idLote", batchId);
    for (const CancellationEvent& event : events)
        addEvent(root, event);
    return doc;
}

QByteArray CancellationBatch::build(const QString& batchId, const QList<CancellationEvent>& events,
                                    QString* error) {
    const XmlDoc doc = batchDocument(batchId, events, error);
    if (!doc)
        return {};
    QByteArray xml = xmlBytes(doc.get());
    if (xml.isEmpty())
        return refused(error, QStringLiteral("Não foi possível gerar o XML do lote."));
    return xml;
}

QByteArray CancellationBatch::buildFrom(const QString& batchId, const QList<CancellationData>& cancellations,
                                        QString* error) {
    QList<CancellationEvent> events;
    events.reserve(cancellations.size());
    for (const CancellationData& data : cancellations) {
        std::optional<CancellationEvent> event = CancellationEvent::create(data, error);
        if (!event)
            return {};
        events.append(*std::move(event));
    }
    return build(batchId, events, error);
}

QByteArray CancellationBatch::combine(const QString& batchId, const QList<QByteArray>& signedBatches,
                                      QString* error) {
    if (const QString problem = batchProblem(batchId, signedBatches.size()); !problem.isEmpty())
        return refused(error, problem);
    static const QByteArray kOpen("<evento ");
    static const QByteArray kClose("</evento>");
    static const QByteArray kBatchIdOpen("<idLote>");
    static const QByteArray kEnd("</envEvento>");
    const qsizetype headEnd = signedBatches.first().indexOf(kBatchIdOpen);
    if (headEnd < 0)
        return refused(error, QStringLiteral("Lote assinado sem idLote."));
    QByteArray out = signedBatches.first().left(headEnd);
    out += kBatchIdOpen + batchId.toLatin1() + "</idLote>";
    for (qsizetype i = 0; i < signedBatches.size(); ++i) {
        const QByteArray& batch = signedBatches.at(i);
        const qsizetype from = batch.indexOf(kOpen);
        const qsizetype last = batch.lastIndexOf(kClose);
        if (from < 0 || last < from || batch.indexOf(kOpen, from + 1) >= 0 || batch.indexOf(kClose) != last ||
            !batch.mid(last + kClose.size()).trimmed().startsWith(kEnd))
            return refused(error,
                           QStringLiteral("O lote assinado %1 não traz exatamente um evento.").arg(i + 1));
        out += QByteArrayView(batch).sliced(from, last + kClose.size() - from);
    }
    out += kEnd;
    return out;
}

QString CancellationBatch::problemBeforeSending(const QByteArray& signedBatch) {
    const qsizetype edit = editCharacterAt(signedBatch);
    if (edit >= 0)
        return QStringLiteral(
                   "Lote com caracteres de edição (quebra de linha, espaço) entre as tags, no byte %1.")
            .arg(edit);
    const QString schema = SchemaSet::instance().validate(Schema::EnvEvento, signedBatch);
    if (!schema.isEmpty())
        return QStringLiteral("Lote fora do esquema %1: %2")
            .arg(QLatin1StringView(SchemaSet::fileName(Schema::EnvEvento)), schema.section(u'\n', 0, 0));
    return {};
}

} // namespace zavnfe
