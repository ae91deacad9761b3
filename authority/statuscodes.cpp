#include "statuscodes.h"

#include <QHash>

namespace zavauthority {

QString StatusCodes::text(int code, const QString& detail) {
    static const QHash<int, QString> texts{
        {AuthorisedUse, QStringLiteral("Autorizado o uso da NF-e")},
        {CancellationApproved, QStringLiteral("Cancelamento de NF-e homologado")},
        {ServiceInOperation, QStringLiteral("Serviço em Operação")},
        {ServicePausedShortly, QStringLiteral("Serviço Paralisado Momentaneamente (curto prazo)")},
        {ServicePausedIndefinitely, QStringLiteral("Serviço Paralisado sem Previsão")},
        {DeniedUse, QStringLiteral("Uso Denegado")},
        {BatchProcessed, QStringLiteral("Lote de evento processado")},
        {EventLinked, QStringLiteral("Evento registrado e vinculado a NF-e")},
        {LateCancellation, QStringLiteral("Cancelamento homologado fora de prazo")},
        {CnpjBaseDiffers,
         QStringLiteral("Rejeição: CNPJ-Base do Autor difere do CNPJ-Base do Certificado Digital")},
        {SchemaFailure, QStringLiteral("Rejeição: Falha no schema XML")},
        {NotInDatabase, QStringLiteral("Rejeição: NF-e não consta na base de dados da SEFAZ")},
        {ProtocolDiffers, QStringLiteral("Rejeição: Protocolo de Autorização de Uso difere do cadastrado")},
        {BadCheckDigit, QStringLiteral("Rejeição: Chave de Acesso com dígito verificador inválido")},
        {EnvironmentDiffers,
         QStringLiteral("Rejeição: Ambiente informado diverge do Ambiente de recebimento")},
        {SignatureDiffers, QStringLiteral("Rejeição: Assinatura difere do calculado")},
        {SigningCertificateWithoutCnpj, QStringLiteral("Rejeição: Certificado Assinatura sem CNPJ")},
        {SignatureNotStandard, QStringLiteral("Rejeição: Assinatura difere do padrão do Sistema")},
        {AlreadyCancelled, QStringLiteral("Rejeição: Cancelamento para NF-e já cancelada")},
        {OrganDiffersFromKey,
         QStringLiteral("Rejeição: Órgão Autor do evento diferente da UF da Chave de Acesso")},
        {OutOfTerm,
         QStringLiteral("Rejeição: Pedido de Cancelamento intempestivo (NF-e autorizada a mais de 7 dias)")},
        {BadEventId,
         QStringLiteral("Rejeição: Erro Atributo ID do evento não corresponde a concatenação dos campos "
                        "(\"ID\" + tpEvento + chNFe + nSeqEvento)")},
        {DuplicateEvent, QStringLiteral("Rejeição: Duplicidade de Evento")},
        {AuthorDiffers, QStringLiteral("Rejeição: O autor do evento diverge do emissor da NF-e")},
        {EventAfterProcessing,
         QStringLiteral("Rejeição: A data do evento não pode ser maior que a data do processamento")},
        {EventBeforeAuthorisation,
         QStringLiteral("Rejeição: A data do evento não pode ser menor que a data de autorização "
                        "para NF-e não emitida em contingência")},
        {RequiresAuthorisedNfe, QStringLiteral("Rejeição: O evento exige uma NF-e autorizada")},
        {EditCharacters, QStringLiteral("Rejeição: Não é permitida a presença de caracteres de edição no "
                                        "início/fim da mensagem ou entre as tags da mensagem")},
        {ExcessiveUse, QStringLiteral("Rejeição: Consumo Indevido")},
        {UncataloguedError, QStringLiteral("Rejeição: Erro não catalogado")},
    };
    QString result = texts.value(code, texts.value(UncataloguedError));
    if (!detail.isEmpty())
        result += QStringLiteral(" [%1]").arg(detail.simplified());
    // xMotivo takes U+0020 to U+00FF only: a detail quoting the sender's text
    // or a schema message must not make the answer itself invalid.
    for (QChar& c : result) {
        if (c == u'“' || c == u'”')
            c = u'"';
        else if (c == u'‘' || c == u'’')
            c = u'\'';
        else if (c.unicode() < 0x20 || c.unicode() > 0xFF)
            c = u'?';
    }
    return result.left(255).trimmed();
}

} // namespace zavauthority
