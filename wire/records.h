#pragma once
// The records the calls carry, field by field in their order on the wire: what
// the server writes and the screen declares, from this one table. The screen
// adds only its labels and which fields it shows.
#include "wireformat.h"

#include <array>

namespace zavwire {

struct RecordField {
    const char* name;
    FieldType type;
    int size; // characters, for strings; 0 for the others
};

// GetNotaFiscal's answer, one invoice per row: the tick ("U" as it comes),
// whether another operator holds it ("S"/"N"), its keys, day, counterparty and
// value, the key the list is kept in order by (LANCAMENTO), the reason (empty
// as it comes), and the NF-e's number, protocol and access key.
inline constexpr std::array<RecordField, 17> kInvoiceRecord{{
    {"IDCHECK", FieldType::String, 1},
    {"IDBLOQUEADO", FieldType::String, 1},
    {"CDFILIEMIT", FieldType::String, 4},
    {"NRLANCTONF", FieldType::String, 10},
    {"DTEMISSAO", FieldType::DateTime, 0},
    {"NMRAZAO", FieldType::String, 50},
    {"VRNOTAFISC", FieldType::Float, 0},
    {"CDFILIAL", FieldType::String, 4},
    {"NRLANCTBDOC", FieldType::String, 12},
    {"IDENTRSAIDOP", FieldType::String, 1},
    {"CDEMPRESA", FieldType::String, 2},
    {"CDFILIRECE", FieldType::String, 4},
    {"LANCAMENTO", FieldType::String, 76},
    {"DSMOTIVOCANCNFE", FieldType::String, 50},
    {"NRNOTAFISCALELE", FieldType::String, 9},
    {"NRPROTOCOLONFE", FieldType::String, 15},
    {"NRACESSONFE", FieldType::String, 50},
}};

// Cancela_NotaFiscal's answer, one row per invoice not cancelled as asked:
// its entry, the message's key or its text, and what became of it
// (IDSITUACAO: "C" cancelled, with a note; "P" pending, confirming again
// concludes it; "N" not cancelled).
inline constexpr std::array<RecordField, 4> kFailureRecord{{
    {"NRLANCTONF", FieldType::String, 10},
    {"CDERRO", FieldType::String, 100},
    {"DSERRO", FieldType::String, 100},
    {"IDSITUACAO", FieldType::String, 1},
}};

} // namespace zavwire
