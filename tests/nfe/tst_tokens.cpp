// A3 certificates on a real PKCS#11 module (SoftHSM, its tokens in a folder
// of this test's own): found by serial among the tokens' certificates as
// among the A1 files, events signed through the token and verified by the
// xmlsec1 command, the key used by a TLS context, every failure said with
// what to do, and a thousand events signed from several threads.
#include "accesskey.h"
#include "cancellationbatch.h"
#include "cancellationevent.h"
#include "certificatestore.h"
#include "clienttls.h"
#include "cryptolibraries.h"
#include "eventsigner.h"
#include "nfesample.h"
#include "nfeworld.h"
#include "testtools.h"
#include "tokenset.h"
#include "xmlhandles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <libxml/parser.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmldsig.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

using zavnfe::CertificateFailure;
using zavnfe::CertificateStore;
using zavnfe::TokenConfig;
using zavnfe::TokenSet;

const QString kSerial = QStringLiteral("0A3B4C");
const QString kCnpj = QStringLiteral("03123456000195");
const QString kLabel = QStringLiteral("ZAV-A3");
const char* const kSpy = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so";

// An access key of the CNPJ above (SP, model 55), one per number.
QString accessKey(int number) {
    return zavfiscal::completeAccessKey(QStringLiteral("3526120312345600019555001") +
                                        QStringLiteral("%1").arg(number, 9, 10, QLatin1Char('0')) +
                                        QStringLiteral("100012345"));
}

QByteArray batchOf(int first, int count) {
    QList<zavnfe::CancellationEvent> events;
    QString error;
    for (int i = 0; i < count; ++i) {
        auto event = zavnfe::CancellationEvent::create(
            zavtest::sampleCancellation(accessKey(first + i), kCnpj,
                                        QStringLiteral("Pedido cancelado pelo cliente %1").arg(first + i)),
            &error);
        if (!event)
            qFatal("sample event refused: %s", qPrintable(error));
        events.append(*event);
    }
    return zavnfe::CancellationBatch::build(QString::number(first + 1), events, &error);
}

// How many signatures of the document verify with the certificate's public
// key (and only it): xmlsec in-process, as the authority checks them.
int verifiedSignatures(const QByteArray& xml, X509* certificate) {
    zavnfe::XmlDoc doc(xmlReadMemory(xml.constData(), int(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET));
    if (!doc)
        return -1;
    int verified = 0;
    for (xmlNode* evento = xmlDocGetRootElement(doc.get())->children; evento; evento = evento->next) {
        if (evento->type != XML_ELEMENT_NODE || !xmlStrEqual(evento->name, zavnfe::xmlText("evento")))
            continue;
        xmlNode* info = evento->children;
        xmlAttr* id = xmlHasProp(info, zavnfe::xmlText("Id"));
        zavnfe::XmlText value(xmlNodeGetContent(reinterpret_cast<xmlNode*>(id)));
        xmlAddID(nullptr, doc.get(), value.get(), id);
        EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
        EVP_PKEY_up_ref(publicKey);
        zavnfe::XmlSecKey key(xmlSecKeyCreate());
        xmlSecKeySetValue(key.get(), xmlSecOpenSSLEvpKeyAdopt(publicKey));
        zavnfe::XmlSecDSigCtx context(xmlSecDSigCtxCreate(nullptr));
        context->signKey = key.release();
        if (xmlSecDSigCtxVerify(context.get(), info->next) == 0 &&
            context->status == xmlSecDSigStatusSucceeded)
            ++verified;
    }
    return verified;
}

TokenConfig config(const QString& module, const QString& label, const QString& pinFile) {
    return TokenConfig{QStringLiteral("empresa"), module, label, QString(), pinFile};
}

bool writeSecret(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size() &&
           file.setPermissions(permissions);
}

// The calls the PKCS#11 spy logged of that function.
int spiedCalls(const QString& log, const char* function) {
    QFile file(log);
    return file.open(QIODevice::ReadOnly) ? int(file.readAll().count(QByteArray(function) + '\n')) : 0;
}

} // namespace

class TestTokens : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    SoftToken m_token;
    QString certs() const { return m_dir.filePath(QStringLiteral("certs")); }
    QString spyLog() const { return m_dir.filePath(QStringLiteral("spy.log")); }

    std::shared_ptr<TokenSet> tokens(const QString& pinFile = {}) {
        return std::make_shared<TokenSet>(QList<TokenConfig>{config(
            QLatin1String(SoftToken::kModule), kLabel, pinFile.isEmpty() ? m_token.pinFile() : pinFile)});
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QByteArray out;
        QVERIFY2(zavtest::run(QStringLiteral("bash"),
                              {QDir(QString::fromLocal8Bit(qgetenv("ZAV_SOURCE_DIR")))
                                   .filePath(QStringLiteral("scripts/make-certificates.sh")),
                               certs(), QStringLiteral("segredo"), QStringLiteral("A1B2:") + kCnpj,
                               QStringLiteral("C3D4:") + kCnpj},
                              m_dir.path(), &out),
                 out.constData());
        // Every token before the module is loaded: SoftHSM reads its tokens'
        // folder once, when the process first loads it.
        const std::pair<QString, QString> tokens[] = {
            {kLabel, kSerial + u':' + kCnpj},
            {QStringLiteral("ZAV-BLOQ"), QStringLiteral("0B0C0D:") + kCnpj},
            {QStringLiteral("ZAV-CHAVES"), QStringLiteral("0E0F01:") + kCnpj},
            {QStringLiteral("ZAV-VENCIDO"), QStringLiteral("0D0E:") + kCnpj + QStringLiteral(":-30:-2")},
            {QStringLiteral("ZAV-REMOVIDO"), QStringLiteral("0F0A:") + kCnpj}};
        for (const auto& [label, request] : tokens) {
            const QString made = m_token.make(certs(), label, request);
            QVERIFY2(made.isEmpty(), qPrintable(made));
        }
        QVERIFY(zavnfe::CryptoLibraries::ensure().isEmpty());
        // The PKCS#11 spy (a module that logs every call and passes it to
        // SoftHSM's) reads these once, when it is loaded. Its tests come
        // first: PKCS#11 logins are the whole process's, and a token logged
        // in through SoftHSM's module would be logged in through the spy.
        qputenv("PKCS11SPY", SoftToken::kModule);
        qputenv("PKCS11SPY_OUTPUT", spyLog().toLocal8Bit());
    }

    // A wrong PIN is said, and never tried again until its file changes: a
    // real token locks itself after a few (the PKCS#11 spy counts C_Login).
    void wrongPinTriedOnce() {
        const QString pin = m_dir.filePath(QStringLiteral("wrong.pin"));
        QVERIFY(writeSecret(pin, "00000000\n", QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        const int logins = spiedCalls(spyLog(), "C_Login");
        {
            TokenSet set({config(QLatin1String(kSpy), kLabel, pin)});
            for (int attempt = 0; attempt < 3; ++attempt) {
                const auto lookup = set.find(kSerial);
                QCOMPARE(lookup.failure, CertificateFailure::PinWrong);
                QVERIFY2(lookup.error.contains(QStringLiteral("recusou o PIN do arquivo")) &&
                             lookup.error.contains(QStringLiteral("não é tentado de novo")),
                         qPrintable(lookup.error));
            }
            QCOMPARE(spiedCalls(spyLog(), "C_Login"), logins + 1);
            // The file corrected: the next look-up logs in and finds it.
            QFile::remove(pin);
            QVERIFY(QFile::copy(m_token.pinFile(), pin));
            const auto lookup = set.find(kSerial);
            QVERIFY2(lookup.found(), qPrintable(lookup.error));
            QCOMPARE(spiedCalls(spyLog(), "C_Login"), logins + 2);
        }
    }

    // A locked user PIN is said and no login is tried. SoftHSM counts no wrong
    // PINs, so the token is given the state a card that counted them reports:
    // the user-PIN-locked flag in its own token file.
    void lockedPinNotTried() {
        const QString label = QStringLiteral("ZAV-BLOQ");
        QFile object(m_token.folderOf(label) + QStringLiteral("/token.object"));
        QVERIFY(object.open(QIODevice::ReadWrite));
        QByteArray bytes = object.readAll();
        // SoftHSM's token attributes: type, kind and value, 8 bytes each,
        // big-endian; the flags are its attribute 0x8000534B, the file's
        // generation its first 8 bytes.
        const qsizetype flags = bytes.indexOf(QByteArray::fromHex("000000008000534b"));
        QVERIFY(flags > 0);
        bytes[flags + 16 + 5] = char(bytes[flags + 16 + 5] | 0x04); // CKF_USER_PIN_LOCKED, 0x00040000
        bytes[7] = char(bytes[7] + 1);
        object.seek(0);
        object.write(bytes);
        object.close();
        const int logins = spiedCalls(spyLog(), "C_Login");
        TokenSet set({config(QLatin1String(kSpy), label, m_token.pinFile())});
        const auto lookup = set.find(QStringLiteral("B0C0D"));
        QCOMPARE(lookup.failure, CertificateFailure::PinLocked);
        QVERIFY2(lookup.error.contains(QStringLiteral("bloqueado")) &&
                     lookup.error.contains(QStringLiteral("PIN de administrador (SO)")),
                 qPrintable(lookup.error));
        QCOMPARE(spiedCalls(spyLog(), "C_Login"), logins);
    }

    // The same store finds an A1 file's certificate and a token's.
    void storeFindsEither() {
        const CertificateStore store(certs(), tokens());
        const auto onFile = store.find(QStringLiteral("a1b2"), "segredo");
        QVERIFY2(onFile.found(), qPrintable(onFile.error));
        QVERIFY(!onFile.certificate->onToken());
        const auto onToken = store.find(QStringLiteral("0a:3b:4c"), "segredo");
        QVERIFY2(onToken.found(), qPrintable(onToken.error));
        QVERIFY(onToken.certificate->onToken());
        QCOMPARE(onToken.certificate->serialText(), kSerial); // the leading zero kept
        QCOMPARE(onToken.certificate->serialHex(), QStringLiteral("A3B4C"));
        QCOMPARE(onToken.certificate->cnpj(), kCnpj);
        QVERIFY(onToken.certificate->keyLocation().contains(kLabel));
        // The intermediate and the root came from the token, for the handshake.
        QCOMPARE(int(onToken.certificate->issuers().size()), 2);
        const auto nowhere = store.find(QStringLiteral("FFFF01"), "segredo");
        QCOMPARE(nowhere.failure, CertificateFailure::NotFound);
        QVERIFY2(nowhere.error.contains(certs()) && nowhere.error.contains(kLabel),
                 qPrintable(nowhere.error));
    }

    // Signed through the token: the xmlsec1 command verifies it against the
    // root through the intermediate, and KeyInfo carries the token's
    // certificate.
    void signsThroughToken() {
        const auto found = tokens()->find(kSerial);
        QVERIFY2(found.found(), qPrintable(found.error));
        QString error;
        const QByteArray xml = zavnfe::EventSigner(*found.certificate).sign(batchOf(1, 2), &error);
        QVERIFY2(!xml.isEmpty(), qPrintable(error));
        QCOMPARE(verifiedSignatures(xml, found.certificate->certificate()), 2);
        QVERIFY(zavnfe::CancellationBatch::problemBeforeSending(xml).isEmpty());
        const QString path = m_dir.filePath(QStringLiteral("signed.xml"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(xml);
        file.close();
        QByteArray out;
        QVERIFY2(
            zavtest::run(QStringLiteral("xmlsec1"),
                         {QStringLiteral("--verify"), QStringLiteral("--trusted-pem"),
                          QDir(certs()).filePath(QStringLiteral("ca.pem")), QStringLiteral("--untrusted-pem"),
                          QDir(certs()).filePath(QStringLiteral("intermediate.pem")),
                          QStringLiteral("--id-attr:Id"),
                          QStringLiteral("http://www.portalfiscal.inf.br/nfe:infEvento"), path},
                         m_dir.path(), &out),
            out.constData());
    }

    // A TLS context takes the token's key in place, with the chain.
    void tlsContextTakesTokenKey() {
        const auto found = tokens()->find(kSerial);
        QVERIFY2(found.found(), qPrintable(found.error));
        std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  SSL_CTX_free);
        QCOMPARE(zavnfe::useAsTlsClient(context.get(), *found.certificate), QString());
        // A card's module may not do RSA-PSS, which TLS 1.3 needs.
        QCOMPARE(SSL_CTX_get_max_proto_version(context.get()), long(TLS1_2_VERSION));
        STACK_OF(X509)* chain = nullptr;
        QVERIFY(SSL_CTX_get0_chain_certs(context.get(), &chain) == 1);
        QCOMPARE(sk_X509_num(chain), 2);
        // Another company's certificate with this key is refused, and said so.
        const auto other = CertificateStore(certs()).find(QStringLiteral("C3D4"), "segredo");
        QVERIFY(other.found());
        const zavnfe::SigningCertificate mixed(
            [&] {
                EVP_PKEY* key = found.certificate->key();
                EVP_PKEY_up_ref(key);
                return key;
            }(),
            [&] {
                X509_up_ref(other.certificate->certificate());
                return other.certificate->certificate();
            }());
        QVERIFY(zavnfe::useAsTlsClient(context.get(), mixed).contains(QStringLiteral("não corresponde")));
    }

    // Each failure of a look-up, in Portuguese with what to do.
    void failuresSaySo_data() {
        QTest::addColumn<QString>("module");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("serial");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("says");
        zavtest::addRow("module missing", QStringLiteral("/usr/lib/nenhum/libmodulo.so"), kLabel, kSerial,
                        int(CertificateFailure::ModuleMissing), QStringLiteral("não encontrado: instale"));
        zavtest::addRow("not a module", QStringLiteral("/etc/hostname"), kLabel, kSerial,
                        int(CertificateFailure::ModuleMissing), QStringLiteral("não carregou"));
        zavtest::addRow("token absent", QString::fromLatin1(SoftToken::kModule),
                        QStringLiteral("OUTRO-TOKEN"), kSerial, int(CertificateFailure::TokenAbsent),
                        QStringLiteral("conecte o token"));
        zavtest::addRow("certificate elsewhere", QString::fromLatin1(SoftToken::kModule), kLabel,
                        QStringLiteral("FFFF01"), int(CertificateFailure::NotFound),
                        QStringLiteral("não encontrado nos tokens (token ZAV-A3"));
    }
    void failuresSaySo() {
        QFETCH(QString, module);
        QFETCH(QString, label);
        QFETCH(QString, serial);
        QFETCH(int, failure);
        QFETCH(QString, says);
        TokenSet set({config(module, label, m_token.pinFile())});
        const auto lookup = set.find(serial);
        QVERIFY(!lookup.found());
        QCOMPARE(int(lookup.failure), failure);
        QVERIFY2(lookup.error.contains(says), qPrintable(lookup.error));
    }

    void pinFileOpenToOthers() {
        const QString pin = m_dir.filePath(QStringLiteral("open.pin"));
        QFile::copy(m_token.pinFile(), pin);
        QVERIFY(QFile::setPermissions(pin, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadOther));
        const auto lookup = tokens(pin)->find(kSerial);
        QCOMPARE(lookup.failure, CertificateFailure::PinUnreadable);
        QVERIFY2(lookup.error.contains(QStringLiteral("chmod 600")), qPrintable(lookup.error));
    }

    // The key must be beside its certificate (same CKA_ID), and able to sign
    // (RSA): another company's certificate written to the token without its
    // key, and one beside an EC key.
    void keyMissingOrUnusable() {
        const QString label = QStringLiteral("ZAV-CHAVES");
        const QString pin = QStringLiteral("env:ZAV_TEST_PIN");
        QFile pinFile(m_token.pinFile());
        QVERIFY(pinFile.open(QIODevice::ReadOnly));
        qputenv("ZAV_TEST_PIN", pinFile.readLine().trimmed());
        const QStringList p11{QStringLiteral("--module"),
                              QLatin1String(SoftToken::kModule),
                              QStringLiteral("--token-label"),
                              label,
                              QStringLiteral("--login"),
                              QStringLiteral("--pin"),
                              pin};
        QByteArray out;
        for (const QString& serial : {QStringLiteral("A1B2"), QStringLiteral("C3D4")}) {
            const QString der = m_dir.filePath(serial + QStringLiteral(".der"));
            QVERIFY2(zavtest::run(
                         QStringLiteral("sh"),
                         {QStringLiteral("-c"),
                          QStringLiteral("openssl pkcs12 -in certs/a1-%1.pfx -passin pass:segredo -nokeys "
                                         "-clcerts | openssl x509 -outform DER -out %2")
                              .arg(serial, der)},
                         m_dir.path(), &out),
                     out.constData());
            QVERIFY2(zavtest::run(QStringLiteral("pkcs11-tool"),
                                  p11 + QStringList{QStringLiteral("--write-object"), der,
                                                    QStringLiteral("--type"), QStringLiteral("cert"),
                                                    QStringLiteral("--id"), serial},
                                  m_dir.path(), &out),
                     out.constData());
        }
        QVERIFY2(zavtest::run(QStringLiteral("pkcs11-tool"),
                              p11 + QStringList{QStringLiteral("--keypairgen"), QStringLiteral("--key-type"),
                                                QStringLiteral("EC:prime256v1"), QStringLiteral("--id"),
                                                QStringLiteral("A1B2")},
                              m_dir.path(), &out),
                 out.constData());
        TokenSet set({config(QLatin1String(SoftToken::kModule), label, m_token.pinFile())});
        const auto withoutKey = set.find(QStringLiteral("C3D4"));
        QCOMPARE(withoutKey.failure, CertificateFailure::KeyNotOnToken);
        QVERIFY2(withoutKey.error.contains(QStringLiteral("a chave privada dele não")),
                 qPrintable(withoutKey.error));
        const auto ecKey = set.find(QStringLiteral("A1B2"));
        QCOMPARE(ecKey.failure, CertificateFailure::KeyUnusable);
        QVERIFY2(ecKey.error.contains(QStringLiteral("não pode assinar")), qPrintable(ecKey.error));
        // The token's own certificate still signs beside them.
        QVERIFY(set.find(QStringLiteral("E0F01")).found());
    }

    // An expired certificate on a token is refused before any PIN is given.
    void expiredOnToken() {
        TokenSet set({config(QLatin1String(SoftToken::kModule), QStringLiteral("ZAV-VENCIDO"),
                             m_dir.filePath(QStringLiteral("nenhum.pin")))});
        const auto lookup = set.find(QStringLiteral("D0E"));
        QCOMPARE(lookup.failure, CertificateFailure::Expired);
        QVERIFY2(lookup.error.contains(QStringLiteral("venceu em")), qPrintable(lookup.error));
    }

    // A thousand events signed through one token key from four threads, one
    // signer each: every signature verifies, none is lost or repeated.
    void thousandFromThreads() {
        const auto found = tokens()->find(kSerial);
        QVERIFY2(found.found(), qPrintable(found.error));
        constexpr int kThreads = 4;
        constexpr int kBatches = 50; // of 20 events: 1,000 in all
        std::vector<QByteArray> signedBatches(kBatches);
        std::vector<QString> errors(kBatches);
        std::atomic<int> next{0};
        std::vector<std::thread> threads;
        threads.reserve(kThreads);
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                const zavnfe::EventSigner signer(*found.certificate);
                for (int b = next++; b < kBatches; b = next++)
                    signedBatches[size_t(b)] = signer.sign(batchOf(b * 20, 20), &errors[size_t(b)]);
            });
        for (std::thread& thread : threads)
            thread.join();
        std::set<QString> ids;
        int verified = 0;
        for (int b = 0; b < kBatches; ++b) {
            QVERIFY2(!signedBatches[size_t(b)].isEmpty(), qPrintable(errors[size_t(b)]));
            verified += verifiedSignatures(signedBatches[size_t(b)], found.certificate->certificate());
            for (const QString& id : zavtest::texts(signedBatches[size_t(b)], QStringLiteral("chNFe")))
                ids.insert(id);
        }
        QCOMPARE(verified, 1000);
        QCOMPARE(int(ids.size()), 1000);
    }

    // The token removed between two signatures: the second says so and what
    // to do; the token is looked for again on the next look-up.
    void tokenRemovedBetweenSignatures() {
        const QString label = QStringLiteral("ZAV-REMOVIDO");
        TokenSet set({config(QLatin1String(SoftToken::kModule), label, m_token.pinFile())});
        auto lookup = set.find(QStringLiteral("F0A"));
        QVERIFY2(lookup.found(), qPrintable(lookup.error));
        const zavnfe::EventSigner signer(*lookup.certificate);
        QString error;
        QVERIFY2(!signer.sign(batchOf(2000, 1), &error).isEmpty(), qPrintable(error));
        QByteArray out;
        QVERIFY2(zavtest::run(QStringLiteral("softhsm2-util"),
                              {QStringLiteral("--delete-token"), QStringLiteral("--token"), label},
                              m_dir.path(), &out),
                 out.constData());
        QVERIFY(signer.sign(batchOf(2001, 1), &error).isEmpty());
        QVERIFY2(error.contains(QStringLiteral("foi removido ou deixou de responder")) &&
                     error.contains(QStringLiteral("reconecte o token")),
                 qPrintable(error));
        lookup = set.find(QStringLiteral("F0A"));
        QVERIFY(!lookup.found());
        QVERIFY2(lookup.failure == CertificateFailure::TokenAbsent, qPrintable(lookup.error));
    }
};

QTEST_GUILESS_MAIN(TestTokens)
#include "tst_tokens.moc"
