// The screen's message catalogue, msgPadrao, in its stored order. Every message
// the screen shows as an error or a failure reason is one of these entries, and
// the server's failure codes are keys of the same list.
#include "Cli_Zav50000.h"

const QStringList& CatalogueEntries() {
    static const QStringList entries = {
        QStringLiteral("Filial_Inf|Filial deve ser informada."),
        QStringLiteral("Filial_Cad|Filial não cadastrada."),
        QStringLiteral("Empresa_Inf|Empresa deve ser informada."),
        QStringLiteral("Empresa_Cad|Empresa não cadastrada para a filial informada."),
        QStringLiteral("InscEsta_Inf|Inscrição estadual deve ser informada."),
        QStringLiteral("InscEsta_Cad|Inscrição estadual não cadastrada."),
        QStringLiteral("Serie_Inf|Série deve ser informada."),
        QStringLiteral("Serie_Cad|Série de documentos de saída não cadastrada ."),
        QStringLiteral("Hora_Inv|Hora inválida."),
        QStringLiteral("Conf_Emiss|Todas as notas fiscais selecionadas foram emitidas corretamente?"),
        QStringLiteral("Valor_Inv|Nº da nota fiscal deve ser maior ou igual a"),
        QStringLiteral("Nota_Sele|Nota fiscal deve ser selecionada"),
        QStringLiteral("DtIni_Inf|Data do período inicial deve ser informada."),
        QStringLiteral("DtFin_Inf|Data do período final deve ser informada."),
        QStringLiteral("DtIni_Inv|Data do período inicial deve ser menor ou igual a data do período final."),
        QStringLiteral("Empresa_Relac|Empresa não cadastrada para a filial informada."),
        QStringLiteral(
            "Lanc_Bloq|Alguns lançamentos não foram cancelados por estar em alteração por outro usuário."),
        QStringLiteral("Cia_Cad|Companhia não cadastrada."),
        QStringLiteral("Dt_ini_inv|Data do período inicial deve ser menor ou igual a data do período final."),
        QStringLiteral("MS01|Documento Bloqueado por Outro Operador."),
        QStringLiteral("MS02|Nota Fiscal Fora do Pérido Contábil."),
        QStringLiteral("MS03|Boleto baixado."),
        QStringLiteral("MS04|Conta Parcelada."),
        QStringLiteral("MS05|Conta Prorrogada."),
        QStringLiteral("MS06|Ajuste do Boleto."),
        QStringLiteral("Reestab_Conex|Deseja reestabelecer essa conexão?"),
        QStringLiteral("Sim|Sim"),
        QStringLiteral("Nao|Não"),
        QStringLiteral("DsErro|Erro: "),
        QStringLiteral("Err_Conex|Ocorreu um erro na conexão com o servidor:"),
        QStringLiteral("Canc_Doc|Realizando cancelamento do documento no servidor ..."),
        QStringLiteral("Sigla_Cad|A"),
        QStringLiteral("MS07|Boleto emitido."),
        QStringLiteral("MS08|Boleto enviado CNAB."),
        QStringLiteral("MS09|Boleto associado."),
        QStringLiteral("MS10|Duplicata gerada."),
        QStringLiteral("MapaApurado|Cancelamento bloqueado. Documento com impostos apurados."),
        QStringLiteral("Clie_Cad|Cliente não cadastrado."),
        QStringLiteral("Forn_Cad|Fornecedor não cadastrado."),
        QStringLiteral("Motivo_Emis|Motivo do cancelamento deve ser informado."),
        QStringLiteral("Motivo_Min|Motivo do cancelamento deve conter no mínimo de 15 caracteres."),
        QStringLiteral("fa_transmi|Falha ao tentar transmitir o pedido de cancelamento."),
        QStringLiteral("fa_assinar|Erro ao tentar assinar o pedido de cancelamento."),
        QStringLiteral("NFE_Deve|Nota Fiscal deve ser informada."),
        QStringLiteral(
            "Certi_Deve|Certificado deve ser informado na tela 'Parâmetrização de Nota Fiscal Eletrônica'."),
    };
    return entries;
}
