#pragma once
// SchemaSet: the public XML schemas of the NF-e cancellation event (event
// type 110111, version 1.00) and of the service status query (4.00),
// compiled once from the files in nfe/schemas that are built into this
// library, and the validation of a message against one of them.
#include <QByteArray>
#include <QString>

#include <memory>

namespace zavnfe {

enum class Schema {
    EnvEvento,       // envEventoCancNFe_v1.00.xsd: the batch sent to the authority
    ProcEventoNFe,   // procEventoCancNFe_v1.00.xsd: the signed evento with its retEvento
    RetEnvEvento,    // retEnvEventoCancNFe_v1.00.xsd: the authority's answer to a batch
    ConsStatServ,    // consStatServ_v4.00.xsd: the query of the service's status
    RetConsStatServ, // retConsStatServ_v4.00.xsd: the authority's answer to it
};

class SchemaSet {
public:
    // Errors shown at most, so that a broken message cannot make a huge text.
    static constexpr int kMaxErrors = 5;

    // Thread-safe after construction; loads every schema once from the files
    // compiled into the library: no network, no file looked up at run time,
    // whatever the working directory.
    static const SchemaSet& instance();

    // Empty when the message is valid, otherwise its first errors in
    // Portuguese, one a line, each with its line number, for instance
    // "Elemento 'xJust': o valor tem 5 caracteres, menos que o mínimo de 15 (linha 12)".
    // Never writes anything on stderr. A document with a DTD is refused: no
    // NF-e message has one, and its entities or default attributes would make
    // the validated content differ from the bytes sent.
    QString validate(Schema schema, const QByteArray& xml) const;

    // The schema's main file, as named in nfe/schemas.
    static const char* fileName(Schema schema);

    ~SchemaSet();
    SchemaSet(const SchemaSet&) = delete;
    SchemaSet& operator=(const SchemaSet&) = delete;

private:
    SchemaSet();
    struct Compiled;
    std::unique_ptr<Compiled> m_compiled;
};

} // namespace zavnfe
