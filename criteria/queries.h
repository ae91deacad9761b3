#pragma once
// The seven lookup queries of the filter panel: their statements, line by line
// as the form stores them, and their persistent fields (order, widths, labels,
// visibility) as the search dialogs show them.
//
// The all-rows flag: each condition pairs a key with a flag compared with 'T';
// a flag of "T" lists every row for a search dialog, any other value makes the
// query an existence check of the one key given.
#include <QList>
#include <QString>
#include <QStringList>
#include <array>

class TADOIBQuery;

namespace LookupSql {

inline constexpr std::array qryFilial = {
    "SELECT F.CDEMPRESA, F.NMFILIAL, F.CDFILIAL, F.CDINSCESTA",
    "FROM FILIAL F",
    "WHERE (F.CDFILIAL = :P_CDFILIAL OR :P_TCDFILIAL = 'T')",
    "ORDER BY F.CDFILIAL",
};

inline constexpr std::array qryEmpresa = {
    "SELECT CDEMPRESA, NMRAZSOCEMPR",
    "FROM EMPRESA",
    "WHERE (CDEMPRESA = :P_CDEMPRESA OR :P_TCDEMPRESA = 'T')",
    "ORDER BY CDEMPRESA",
};

// The company condition has no flag: a company's search never lists another
// company's registrations.
inline constexpr std::array qryInscrEstad = {
    "SELECT CDEMPRESA, CDINSCESTA, NMREPRINSEST, NRSERIECERTIFIC, IDTPAMBIENTENFE, SGESTADO",
    "FROM INSCRESTAD",
    "WHERE CDEMPRESA  = :P_EMPRESA AND",
    "     (CDINSCESTA = :P_INSCESTA OR :P_TINSCESTA = 'T')",
    "ORDER BY CDEMPRESA, CDINSCESTA",
};

inline constexpr std::array qrySerieNF = {
    "SELECT CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE, DSSERIE, CDEXPSERIENF",
    "FROM SERIENF",
    "WHERE (CDEMPRESA  = :P_EMPRESA)    AND",
    "      (CDINSCESTA = :P_INSCESTA)   AND",
    "      (CDINSCMUNI = :P_CDINSCMUNI) AND",
    "      (CDSERIE    = :P_CDSERIE OR :P_TCDSERIE = 'T')",
    "ORDER BY CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE",
};

// The branch's own row first, then the companies operating at the branch; each
// parameter name appears twice and takes one value.
inline constexpr std::array qryValidEmpr = {
    "SELECT CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE",
    "FROM FILIAL",
    "WHERE (CDEMPRESA = :P_CDEMPRESA) AND",
    "               (CDFILIAL       = :P_CDFILIAL)",
    "UNION ALL",
    "SELECT CDEMPRESA, CDINSCESTA, CDINSCMUNI, CDSERIE",
    "FROM EMPRCNTRFIL EC",
    "WHERE (CDEMPRESA = :P_CDEMPRESA) AND",
    "               (CDFILIAL       = :P_CDFILIAL)",
};

inline constexpr std::array qryCliente = {
    "SELECT CDCLIENTE, IDTPIJURCLIE, NRINSJURCLIE, NMRAZSOCCLIE, NMFANTCLIE",
    "FROM CLIENTE",
    "WHERE ((NRINSJURCLIE = :P_NRINSJURCLIE) OR (:P_TODOS     = 'T')) AND",
    "      ((CDCLIENTE    = :P_CDCLIENTE)    OR (:P_TODOSCLIE = 'T'))",
    "ORDER BY NRINSJURCLIE",
};

// Ordered by the third column selected, the company name.
inline constexpr std::array qryFornecedor = {
    "SELECT",
    "   IDTPIJURFORN,",
    "   NRINSJURFORN,",
    "   NMRAZSOCFORN,",
    "   NMFANTFORN,",
    "   CDFORNECED",
    "FROM",
    "   FORNECEDOR",
    "WHERE",
    "   ((NRINSJURFORN = :P_NRINSJURFORN) OR (:P_TODOS = 'T'))",
    "ORDER BY ",
    "   3",
};

// The all-rows flags of the statements above, and every constant the screen's
// code gives them ("T" lists every row; "N" and "" check one key). Declared
// flags to the query, which may then decide their comparisons on SQLite (see
// TADOIBQuery); any other value is bound as it always is.
inline constexpr std::array allRowsFlags = {"P_TCDFILIAL", "P_TCDEMPRESA", "P_TINSCESTA",
                                            "P_TCDSERIE",  "P_TODOS",      "P_TODOSCLIE"};
inline constexpr std::array allRowsFlagValues = {"T", "N", ""};

template <std::size_t N> QStringList lines(const std::array<const char*, N>& sql) {
    QStringList list;
    for (const char* line : sql)
        list.append(QString::fromUtf8(line));
    return list;
}

} // namespace LookupSql

// Each sets the query's name, statement and persistent fields; the query is
// closed afterwards and its parameters unset.
void SetupQryFilial(TADOIBQuery& query);
void SetupQryEmpresa(TADOIBQuery& query);
void SetupQryInscrEstad(TADOIBQuery& query);
void SetupQrySerieNF(TADOIBQuery& query);
void SetupQryValidEmpr(TADOIBQuery& query);
void SetupQryCliente(TADOIBQuery& query);
void SetupQryFornecedor(TADOIBQuery& query);

// The seven, by name, for code that treats them alike.
struct LookupQuery {
    QString name;
    void (*setup)(TADOIBQuery&);
};
QList<LookupQuery> LookupQueries();
