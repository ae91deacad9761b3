// The screen's message catalogue: its 45 entries in their stored order, keys
// and texts to the byte, and what Msg gives for a key it does not have.
#include "Cli_Zav50000.h"
#include <QTest>

namespace {

struct Entry {
    const char* key;
    const char* text;
};

// The catalogue as the operators know it (texts in UTF-8 here).
const Entry kExpected[] = {
    {"Filial_Inf", "Filial deve ser informada."},
    {"Filial_Cad", "Filial não cadastrada."},
    {"Empresa_Inf", "Empresa deve ser informada."},
    {"Empresa_Cad", "Empresa não cadastrada para a filial informada."},
    {"InscEsta_Inf", "Inscrição estadual deve ser informada."},
    {"InscEsta_Cad", "Inscrição estadual não cadastrada."},
    {"Serie_Inf", "Série deve ser informada."},
    {"Serie_Cad", "Série de documentos de saída não cadastrada ."},
    {"Hora_Inv", "Hora inválida."},
    {"Conf_Emiss", "Todas as notas fiscais selecionadas foram emitidas corretamente?"},
    {"Valor_Inv", "Nº da nota fiscal deve ser maior ou igual a"},
    {"Nota_Sele", "Nota fiscal deve ser selecionada"},
    {"DtIni_Inf", "Data do período inicial deve ser informada."},
    {"DtFin_Inf", "Data do período final deve ser informada."},
    {"DtIni_Inv", "Data do período inicial deve ser menor ou igual a data do período final."},
    {"Empresa_Relac", "Empresa não cadastrada para a filial informada."},
    {"Lanc_Bloq", "Alguns lançamentos não foram cancelados por estar em alteração por outro usuário."},
    {"Cia_Cad", "Companhia não cadastrada."},
    {"Dt_ini_inv", "Data do período inicial deve ser menor ou igual a data do período final."},
    {"MS01", "Documento Bloqueado por Outro Operador."},
    {"MS02", "Nota Fiscal Fora do Pérido Contábil."},
    {"MS03", "Boleto baixado."},
    {"MS04", "Conta Parcelada."},
    {"MS05", "Conta Prorrogada."},
    {"MS06", "Ajuste do Boleto."},
    {"Reestab_Conex", "Deseja reestabelecer essa conexão?"},
    {"Sim", "Sim"},
    {"Nao", "Não"},
    {"DsErro", "Erro: "},
    {"Err_Conex", "Ocorreu um erro na conexão com o servidor:"},
    {"Canc_Doc", "Realizando cancelamento do documento no servidor ..."},
    {"Sigla_Cad", "A"},
    {"MS07", "Boleto emitido."},
    {"MS08", "Boleto enviado CNAB."},
    {"MS09", "Boleto associado."},
    {"MS10", "Duplicata gerada."},
    {"MapaApurado", "Cancelamento bloqueado. Documento com impostos apurados."},
    {"Clie_Cad", "Cliente não cadastrado."},
    {"Forn_Cad", "Fornecedor não cadastrado."},
    {"Motivo_Emis", "Motivo do cancelamento deve ser informado."},
    {"Motivo_Min", "Motivo do cancelamento deve conter no mínimo de 15 caracteres."},
    {"fa_transmi", "Falha ao tentar transmitir o pedido de cancelamento."},
    {"fa_assinar", "Erro ao tentar assinar o pedido de cancelamento."},
    {"NFE_Deve", "Nota Fiscal deve ser informada."},
    {"Certi_Deve", "Certificado deve ser informado na tela 'Parâmetrização de Nota Fiscal Eletrônica'."},
};

// Windows-1252 holds Latin-1 but for its C1 block, where it puts these.
bool inWindows1252(QChar c) {
    const char16_t u = c.unicode();
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF))
        return true;
    static const QString extra = QString::fromUtf8("€‚ƒ„…†‡ˆ‰Š‹ŒŽ‘’“”•–—˜™š›œžŸ");
    return extra.contains(c);
}

} // namespace

class TestCatalogue : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entriesInStoredOrder();
    void textsByKey_data();
    void textsByKey();
    void textsFitTheStoredCodePage();
    void keysCompareExactly();
    void unknownKeyNamesTheCode();
};

void TestCatalogue::entriesInStoredOrder() {
    const QStringList& entries = CatalogueEntries();
    QCOMPARE(entries.size(), qsizetype(45));
    for (int i = 0; i < 45; ++i)
        QCOMPARE(entries[i], QString::fromUtf8(kExpected[i].key) + QLatin1Char('|') +
                                 QString::fromUtf8(kExpected[i].text));
}

void TestCatalogue::textsByKey_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    for (const Entry& e : kExpected)
        QTest::newRow(e.key) << QString::fromUtf8(e.key) << QString::fromUtf8(e.text);
}

void TestCatalogue::textsByKey() {
    QFETCH(QString, key);
    QFETCH(QString, text);
    TMessages m;
    m.SetMessages(CatalogueEntries());
    QCOMPARE(m.Msg(key), text);
}

void TestCatalogue::textsFitTheStoredCodePage() {
    for (const QString& e : CatalogueEntries())
        for (QChar c : e)
            QVERIFY2(inWindows1252(c), qPrintable(e));
}

void TestCatalogue::keysCompareExactly() {
    TMessages m;
    m.SetMessages(CatalogueEntries());
    // Two keys, one text: the period check asks for the second.
    QCOMPARE(m.Msg(QStringLiteral("DtIni_Inv")), m.Msg(QStringLiteral("Dt_ini_inv")));
    QCOMPARE(m.Msg(QStringLiteral("Empresa_Cad")), m.Msg(QStringLiteral("Empresa_Relac")));
    QVERIFY(m.Contains(QStringLiteral("Dt_ini_inv")));
    QVERIFY(!m.Contains(QStringLiteral("DT_INI_INV")));
    QVERIFY(!m.Contains(QStringLiteral("ms01")));
    QVERIFY(!m.Contains(QStringLiteral("MS0")));
    QVERIFY(!m.Contains(QStringLiteral("")));
}

void TestCatalogue::unknownKeyNamesTheCode() {
    TMessages m;
    m.SetMessages(CatalogueEntries());
    const QString t = m.Msg(QStringLiteral("MS99"));
    QVERIFY(!t.isEmpty());
    QVERIFY(t.contains(QStringLiteral("MS99")));
    QVERIFY(t.contains(QString::fromUtf8("não cadastrada")));
    // A text with a bar in it keeps everything after the first bar.
    m.SetMessages({QStringLiteral("K|a|b")});
    QCOMPARE(m.Msg(QStringLiteral("K")), QStringLiteral("a|b"));
}

QTEST_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
