#include "queries.h"

#include "data/adoibquery.h"
#include "data/dtmdbgeral.h"
#include "data/param.h"
#include "services/checks.h"

#include <initializer_list>

namespace {

template <std::size_t N>
void setup(TADOIBQuery& query, const char* name, const std::array<const char*, N>& sql,
           std::initializer_list<TFieldDef> fields) {
    query.setObjectName(QLatin1String(name));
    query.Close();
    query.SetSQL(LookupSql::lines(sql));
    for (const char* flag : LookupSql::allRowsFlags) {
        if (TParam* p = query.FindParam(QLatin1String(flag)))
            p->SetFlagValues(LookupSql::lines(LookupSql::allRowsFlagValues));
    }
    query.ClearFields();
    for (const TFieldDef& def : fields)
        query.AddField(def);
    dtmDBGeral& module = dtmDBGeral::instance();
    query.SetConnection(QLatin1String(dtmDBGeral::ConnectionName));
    query.SetDatabase(module.dtbGeral());
    query.SetTransaction(module.ibtGeral());
}

// name, width, label, visible, required
TFieldDef field(const char* name, int size, const char* label = nullptr, bool visible = true,
                bool required = false) {
    TFieldDef def;
    def.name = QLatin1String(name);
    def.type = ftString;
    def.size = size;
    if (label)
        def.displayLabel = QString::fromUtf8(label);
    def.visible = visible;
    def.required = required;
    return def;
}

// The registration number of a row shown as the person's kind writes it
// (99.999.999/9999-99 for a company, 999.999.999-99 for a person), in the
// lookup dialog; its value stays the digits the database holds.
void showRegistrationFormatted(TADOIBQuery& query, const char* number, const char* kind) {
    TADOIBQuery* q = &query;
    const QString kindField = QLatin1String(kind);
    q->FieldByName(QLatin1String(number))->OnGetText = [q, kindField](TField& sender, QString& text, bool) {
        const QString registration = sender.AsString();
        text = EmptyString(registration)
                   ? QString()
                   : FormatMaskText(PictPess(q->FieldByName(kindField)->AsString()), registration);
    };
}

constexpr bool kShown = true;
constexpr bool kHidden = false;
constexpr bool kRequired = true;

} // namespace

void SetupQryFilial(TADOIBQuery& query) {
    setup(query, "qryFilial", LookupSql::qryFilial,
          {field("CDFILIAL", 4, "Código", kShown, kRequired), field("NMFILIAL", 30, "Nome"),
           field("CDINSCESTA", 16, nullptr, kHidden), field("CDEMPRESA", 2, nullptr, kHidden)});
}

void SetupQryEmpresa(TADOIBQuery& query) {
    setup(query, "qryEmpresa", LookupSql::qryEmpresa,
          {field("CDEMPRESA", 2, "Código", kShown, kRequired), field("NMRAZSOCEMPR", 80, "Razão Social")});
}

void SetupQryInscrEstad(TADOIBQuery& query) {
    setup(query, "qryInscrEstad", LookupSql::qryInscrEstad,
          {field("CDEMPRESA", 2, nullptr, kHidden, kRequired),
           field("CDINSCESTA", 16, "Código", kShown, kRequired), field("NMREPRINSEST", 40, nullptr, kHidden),
           field("NRSERIECERTIFIC", 50, nullptr, kHidden), field("IDTPAMBIENTENFE", 1, nullptr, kHidden),
           field("SGESTADO", 2, nullptr, kHidden)});
}

void SetupQrySerieNF(TADOIBQuery& query) {
    setup(query, "qrySerieNF", LookupSql::qrySerieNF,
          {field("CDEMPRESA", 2, nullptr, kHidden, kRequired),
           field("CDINSCESTA", 16, nullptr, kHidden, kRequired),
           field("CDINSCMUNI", 16, nullptr, kHidden, kRequired),
           field("CDSERIE", 5, "Código", kShown, kRequired), field("DSSERIE", 20, "Descrição"),
           field("CDEXPSERIENF", 10, "Código Exportação NF-E")});
}

void SetupQryValidEmpr(TADOIBQuery& query) {
    setup(query, "qryValidEmpr", LookupSql::qryValidEmpr,
          {field("CDEMPRESA", 2), field("CDINSCESTA", 16), field("CDINSCMUNI", 16), field("CDSERIE", 5)});
}

// CDCLIENTE's display text (the formatted registration) is the screen's
// handler, bound where the screen creates the query; the registration the
// dialog shows is formatted here.
void SetupQryCliente(TADOIBQuery& query) {
    setup(query, "qryCliente", LookupSql::qryCliente,
          {field("CDCLIENTE", 21, nullptr, kHidden, kRequired),
           field("IDTPIJURCLIE", 1, nullptr, kHidden, kRequired),
           field("NRINSJURCLIE", 20, "Inscrição", kShown, kRequired),
           field("NMRAZSOCCLIE", 50, "Razão Social", kShown, kRequired),
           field("NMFANTCLIE", 50, "Nome Fantasia", kShown, kRequired)});
    showRegistrationFormatted(query, "NRINSJURCLIE", "IDTPIJURCLIE");
}

// In display order, which differs from the order selected.
void SetupQryFornecedor(TADOIBQuery& query) {
    setup(query, "qryFornecedor", LookupSql::qryFornecedor,
          {field("NRINSJURFORN", 20, "Inscrição"), field("NMRAZSOCFORN", 40, "Razão Social"),
           field("IDTPIJURFORN", 1, nullptr, kHidden), field("NMFANTFORN", 40, "Nome Fantasia"),
           field("CDFORNECED", 21)});
    showRegistrationFormatted(query, "NRINSJURFORN", "IDTPIJURFORN");
}

QList<LookupQuery> LookupQueries() {
    return {
        {QStringLiteral("qryFilial"), &SetupQryFilial},
        {QStringLiteral("qryEmpresa"), &SetupQryEmpresa},
        {QStringLiteral("qryInscrEstad"), &SetupQryInscrEstad},
        {QStringLiteral("qrySerieNF"), &SetupQrySerieNF},
        {QStringLiteral("qryValidEmpr"), &SetupQryValidEmpr},
        {QStringLiteral("qryCliente"), &SetupQryCliente},
        {QStringLiteral("qryFornecedor"), &SetupQryFornecedor},
    };
}
