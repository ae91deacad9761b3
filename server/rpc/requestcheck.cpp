#include "rpc/requestcheck.h"
#include "rpc/rpcerror.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace zavserver {

namespace {

using Json = nlohmann::json;

// What one value costs once built (a QCborValue element, its share of the
// containers, the JSON document it is read through): measured at about 36
// bytes a short text, so a body of one-letter texts passes no budget.
constexpr qint64 kValueCost = 64;
constexpr qint64 kBaseAllowance = qint64{1024} * 1024;

// Walks the events of the parse; the first rule broken stops it.
class Checker : public nlohmann::json_sax<Json> {
public:
    Checker(const RequestLimits& limits, qint64 bodySize)
        : m_limits(limits), m_budget(kBaseAllowance + bodySize * limits.costFactor) {}

    QString refusal() const { return m_refusal; }
    bool finished() const { return m_finished; }
    std::size_t errorPosition() const { return m_errorPosition; }
    bool malformed() const { return m_malformed; }

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t& s) override { return text(s.size()) && value(); }
    bool binary(binary_t& b) override { return text(b.size()) && value(); }

    bool start_object(std::size_t) override {
        m_keys.emplace_back();
        return open();
    }
    bool key(string_t& k) override {
        if (!text(k.size()) || !spend(kValueCost))
            return false;
        std::set<std::string>& keys = m_keys.back();
        if (!keys.insert(k).second)
            return refuse(QStringLiteral("a chave \"%1\" aparece duas vezes no mesmo objeto")
                              .arg(QString::fromStdString(k).left(40)));
        if (int(keys.size()) > m_limits.keys)
            return refuse(QStringLiteral("objeto com mais de %1 chaves").arg(m_limits.keys));
        return true;
    }
    bool end_object() override {
        m_keys.pop_back();
        return close();
    }
    bool start_array(std::size_t) override {
        m_keys.emplace_back(); // keeps the nesting of objects and arrays in step
        return open();
    }
    bool end_array() override {
        m_keys.pop_back();
        return close();
    }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&) override {
        m_malformed = true;
        m_errorPosition = position;
        return false;
    }

private:
    bool value() {
        if (m_keys.empty())
            m_finished = true; // a bare value is the whole document
        return spend(kValueCost);
    }
    bool open() {
        if (int(m_keys.size()) > m_limits.depth)
            return refuse(QStringLiteral("aninhamento mais fundo que %1 níveis").arg(m_limits.depth));
        return spend(kValueCost);
    }
    bool close() {
        if (m_keys.empty())
            m_finished = true;
        return true;
    }
    bool text(std::size_t bytes) {
        if (qint64(bytes) > m_limits.textBytes)
            return refuse(QStringLiteral("um texto com mais de %1 bytes").arg(m_limits.textBytes));
        return spend(qint64(bytes) * 2);
    }
    bool spend(qint64 cost) {
        m_budget -= cost;
        if (m_budget < 0)
            return refuse(QStringLiteral("valores demais para o tamanho da requisição"));
        return true;
    }
    bool refuse(const QString& why) {
        m_refusal = why;
        return false;
    }

    const RequestLimits& m_limits;
    qint64 m_budget;
    std::vector<std::set<std::string>> m_keys; // one per open container
    QString m_refusal;
    bool m_finished = false;
    bool m_malformed = false;
    std::size_t m_errorPosition = 0;
};

// The longest string of a JSON text, found without building any: the reader
// below would hold a whole string before it could say it is too long.
qint64 longestJsonString(const QByteArray& body) {
    qint64 longest = 0;
    qint64 start = -1;
    bool escaped = false;
    for (qint64 i = 0; i < body.size(); ++i) {
        const char c = body.at(i);
        if (start < 0) {
            if (c == '"')
                start = i;
            continue;
        }
        if (escaped)
            escaped = false;
        else if (c == '\\')
            escaped = true;
        else if (c == '"') {
            longest = std::max(longest, i - start - 1);
            start = -1;
        }
    }
    return start < 0 ? longest : std::max(longest, body.size() - start - 1);
}

} // namespace

void checkRequest(const QByteArray& body, RequestFormat format, const RequestLimits& limits) {
    if (format == RequestFormat::Json && longestJsonString(body) > limits.textBytes)
        throw RpcError(
            RpcCode::InvalidRequest,
            QStringLiteral("Requisição inválida: um texto com mais de %1 bytes.").arg(limits.textBytes));
    Checker checker(limits, body.size());
    const bool cbor = format == RequestFormat::Cbor;
    const auto* begin = reinterpret_cast<const std::uint8_t*>(body.constData());
    bool ok = false;
    try {
        ok = Json::sax_parse(begin, begin + body.size(), &checker,
                             cbor ? Json::input_format_t::cbor : Json::input_format_t::json, true);
    } catch (const std::exception&) {
        ok = false; // the parser's own refusals come as parse_error first
    }
    if (ok)
        return;
    if (!checker.refusal().isEmpty())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: %1.").arg(checker.refusal()));
    if (checker.finished())
        throw RpcError(RpcCode::InvalidRequest,
                       QStringLiteral("Requisição inválida: dados a mais depois da requisição (posição %1).")
                           .arg(checker.errorPosition()));
    throw RpcError(RpcCode::ParseError, QStringLiteral("Requisição malformada: %1 inválido na posição %2.")
                                            .arg(cbor ? QStringLiteral("CBOR") : QStringLiteral("JSON"))
                                            .arg(checker.errorPosition()));
}

} // namespace zavserver
