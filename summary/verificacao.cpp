#include "summary/verificacao.hpp"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xmlsec/base64.h>
#include <xmlsec/crypto.h>
#include <xmlsec/errors.h>
#include <xmlsec/keysmngr.h>
#include <xmlsec/openssl/evp.h>
#include <xmlsec/xmldsig.h>
#include <xmlsec/xmlsec.h>
#include <xmlsec/xmltree.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "summary/cupom.hpp"

namespace kqz::summary {

namespace {

// xmlsec and libxml2 are set up once for the process and never torn down
// (other threads may still be checking when a caller returns).
void IniciarXmlsec() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xmlSecErrorsDefaultCallbackEnableOutput(0);
        if (xmlSecInit() < 0 || xmlSecCheckVersion() != 1 || xmlSecCryptoAppInit(nullptr) < 0 ||
            xmlSecCryptoInit() < 0) {
            throw std::runtime_error("não foi possível iniciar a verificação de assinaturas (xmlsec)");
        }
    });
}

std::string Ler(const std::string& path, std::string& erro) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        erro = std::strerror(errno);
        return {};
    }
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            erro = std::strerror(errno);
            break;
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

const char* Nome(const xmlNode* n) {
    return reinterpret_cast<const char*>(n->name);
}

xmlNodePtr Filho(xmlNodePtr pai, const char* nome) {
    if (pai == nullptr) {
        return nullptr;
    }
    for (xmlNodePtr c = pai->children; c != nullptr; c = c->next) {
        if (c->type == XML_ELEMENT_NODE && std::strcmp(Nome(c), nome) == 0) {
            return c;
        }
    }
    return nullptr;
}

std::string Texto(xmlNodePtr n) {
    if (n == nullptr) {
        return {};
    }
    xmlChar* t = xmlNodeGetContent(n);
    std::string s = t != nullptr ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return s;
}

std::string Atributo(xmlNodePtr n, const char* nome) {
    if (n == nullptr) {
        return {};
    }
    xmlChar* t = xmlGetProp(n, reinterpret_cast<const xmlChar*>(nome));
    std::string s = t != nullptr ? reinterpret_cast<const char*>(t) : "";
    xmlFree(t);
    return s;
}

std::string Entre(std::string_view s) {
    return "\"" + std::string(s.substr(0, 60)) + "\"";
}

// What the cross checks need of one document.
struct Fatos {
    bool lido = false;
    bool cancelamento = false;
    std::string chave;   // the Id's 44 digits, when well-formed
    std::string cnpj;    // emit/CNPJ
    std::string aaaamm;  // from ide/dEmi
    std::string serie;
    std::string numero;
};

struct Resultado {
    Fatos fatos;
    std::vector<Problema> problemas;
};

class Documento {
  public:
    Documento(std::string_view texto) {
        if (texto.size() < INT_MAX) {
            doc_ = xmlReadMemory(texto.data(), static_cast<int>(texto.size()), "cfe.xml", nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        }
    }
    ~Documento() {
        if (doc_ != nullptr) {
            xmlFreeDoc(doc_);
        }
    }
    Documento(const Documento&) = delete;
    Documento& operator=(const Documento&) = delete;
    xmlDocPtr get() const { return doc_; }

  private:
    xmlDocPtr doc_ = nullptr;
};

// One thread's signature checker: its own keys manager, reused per document.
class Assinaturas {
  public:
    Assinaturas() {
        IniciarXmlsec();
        mngr_ = xmlSecKeysMngrCreate();
        if (mngr_ == nullptr || xmlSecCryptoAppDefaultKeysMngrInit(mngr_) < 0) {
            throw std::runtime_error("não foi possível criar o gerenciador de chaves (xmlsec)");
        }
    }
    ~Assinaturas() {
        Esquecer();
        xmlSecKeysMngrDestroy(mngr_);
    }
    Assinaturas(const Assinaturas&) = delete;
    Assinaturas& operator=(const Assinaturas&) = delete;

    // The empty text when the signature over infCFe holds, else what is wrong.
    std::string Verificar(xmlDocPtr doc, xmlNodePtr raiz, xmlNodePtr inf) {
        static const xmlChar* ids[] = {reinterpret_cast<const xmlChar*>("Id"), nullptr};
        xmlSecAddIDs(doc, raiz, ids);
        xmlNodePtr sig = xmlSecFindChild(raiz, xmlSecNodeSignature, xmlSecDSigNs);
        if (sig == nullptr) {
            return "sem a assinatura digital (Signature)";
        }
        // Nothing beside infCFe and the signature: what lies outside the signed
        // part could still reach the summary (it reads elements anywhere).
        for (xmlNodePtr c = raiz->children; c != nullptr; c = c->next) {
            if (c->type == XML_ELEMENT_NODE && c != inf && c != sig) {
                return "há conteúdo fora da parte assinada (elemento " + Entre(Nome(c)) + ")";
            }
        }
        // The Id must name infCFe itself: another element with the same Id
        // earlier in the document would take the reference away from it.
        xmlAttrPtr id = xmlHasProp(inf, reinterpret_cast<const xmlChar*>("Id"));
        if (id == nullptr || id->children == nullptr || xmlGetID(doc, id->children->content) != id) {
            return "a assinatura não cobre o infCFe (o Id do infCFe falta ou se repete no documento)";
        }
        xmlSecDSigCtxPtr ctx = xmlSecDSigCtxCreate(mngr_);
        if (ctx == nullptr) {
            return "não foi possível verificar (xmlsec)";
        }
        ctx->keyInfoReadCtx.flags |= XMLSEC_KEYINFO_FLAGS_X509DATA_DONT_VERIFY_CERTS;
        ctx->keyInfoReadCtx.maxRetrievalMethodLevel = 0;
        ctx->enabledReferenceUris = xmlSecTransformUriTypeSameDocument;
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformInclC14NId);
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformEnvelopedId);
        xmlSecDSigCtxEnableReferenceTransform(ctx, xmlSecTransformSha256Id);
        xmlSecDSigCtxEnableSignatureTransform(ctx, xmlSecTransformInclC14NId);
        xmlSecDSigCtxEnableSignatureTransform(ctx, xmlSecTransformRsaSha256Id);
        // The key of a certificate seen before (a SAT unit signs all its
        // coupons with one); xmlsec then leaves KeyInfo alone.
        if (xmlSecKeyPtr conhecida = ChaveDoCertificado(sig)) {
            ctx->signKey = xmlSecKeyDuplicate(conhecida);
        }
        std::string erro;
        if (xmlSecDSigCtxVerify(ctx, sig) < 0) {
            erro =
                "a assinatura não pôde ser verificada: falta o certificado, ou o algoritmo não é RSA-SHA256 "
                "com C14N";
        } else {
            const xmlSecSize refs = xmlSecPtrListGetSize(&ctx->signedInfoReferences);
            auto* ref = refs > 0 ? static_cast<xmlSecDSigReferenceCtxPtr>(
                                       xmlSecPtrListGetItem(&ctx->signedInfoReferences, 0))
                                 : nullptr;
            const std::string esperado = "#" + Atributo(inf, "Id");
            if (refs != 1 || ref == nullptr || ref->uri == nullptr ||
                esperado != reinterpret_cast<const char*>(ref->uri)) {
                erro = "a assinatura não cobre o infCFe (Reference URI deve ser " + Entre(esperado) + ")";
            } else if (ref->status != xmlSecDSigStatusSucceeded) {
                erro = "o resumo (DigestValue) não confere com o conteúdo do infCFe";
            } else if (ctx->status != xmlSecDSigStatusSucceeded) {
                erro = "o valor da assinatura não confere com o certificado do CF-e";
            }
        }
        xmlSecDSigCtxDestroy(ctx);
        return erro;
    }

  private:
    // The key of the one certificate of KeyInfo/X509Data, loaded once per
    // certificate text; nullptr when KeyInfo holds anything else (xmlsec then
    // reads it itself) or the certificate cannot be loaded.
    xmlSecKeyPtr ChaveDoCertificado(xmlNodePtr sig) {
        xmlNodePtr info = xmlSecFindChild(sig, xmlSecNodeKeyInfo, xmlSecDSigNs);
        xmlNodePtr dados = info != nullptr ? xmlSecGetNextElementNode(info->children) : nullptr;
        if (dados == nullptr || !xmlSecCheckNodeName(dados, xmlSecNodeX509Data, xmlSecDSigNs) ||
            xmlSecGetNextElementNode(dados->next) != nullptr) {
            return nullptr;
        }
        xmlNodePtr cert = xmlSecGetNextElementNode(dados->children);
        if (cert == nullptr || !xmlSecCheckNodeName(cert, xmlSecNodeX509Certificate, xmlSecDSigNs) ||
            xmlSecGetNextElementNode(cert->next) != nullptr) {
            return nullptr;
        }
        std::string texto = Texto(cert);
        const auto it = chaves_.find(texto);
        if (it != chaves_.end()) {
            return it->second;
        }
        std::vector<xmlSecByte> der(texto.size());
        xmlSecSize n = 0;
        xmlSecKeyPtr chave = nullptr;
        if (xmlSecBase64Decode_ex(reinterpret_cast<const xmlChar*>(texto.c_str()), der.data(),
                                  static_cast<xmlSecSize>(der.size()), &n) == 0) {
            // Only the public key: duplicating it per document is then a
            // reference count, not a copy of the certificate.
            const unsigned char* p = der.data();
            X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(n));
            EVP_PKEY* publica = x509 != nullptr ? X509_get_pubkey(x509) : nullptr;
            X509_free(x509);
            xmlSecKeyDataPtr valor = publica != nullptr ? xmlSecOpenSSLEvpKeyAdopt(publica) : nullptr;
            if (publica != nullptr && valor == nullptr) {
                EVP_PKEY_free(publica);
            }
            if (valor != nullptr) {
                chave = xmlSecKeyCreate();
                if (chave == nullptr || xmlSecKeySetValue(chave, valor) < 0) {
                    xmlSecKeyDataDestroy(valor);
                    xmlSecKeyDestroy(chave);
                    chave = nullptr;
                }
            }
        }
        if (chaves_.size() >= 1024) {  // coupons of a month come from a few units
            Esquecer();
        }
        chaves_.emplace(std::move(texto), chave);
        return chave;
    }

    void Esquecer() {
        for (auto& [texto, chave] : chaves_) {
            if (chave != nullptr) {
                xmlSecKeyDestroy(chave);
            }
        }
        chaves_.clear();
    }

    xmlSecKeysMngrPtr mngr_ = nullptr;
    std::unordered_map<std::string, xmlSecKeyPtr> chaves_;
};

Resultado VerificarUm(const std::string& arquivo, std::string_view texto, Assinaturas* assinaturas) {
    Resultado r;
    auto problema = [&](std::string descricao) {
        r.problemas.push_back(Problema{arquivo, r.fatos.serie, r.fatos.numero, std::move(descricao)});
    };
    const Documento documento(texto);
    xmlDocPtr doc = documento.get();
    xmlNodePtr raiz = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
    if (raiz == nullptr) {
        problema(texto.empty() ? "arquivo vazio" : "XML mal formado");
        return r;
    }
    const std::string nome_raiz = Nome(raiz);
    if (nome_raiz != "CFe" && nome_raiz != "CFeCanc") {
        problema("não é um CF-e (elemento raiz " + Entre(nome_raiz) + ")");
        return r;
    }
    Fatos& f = r.fatos;
    f.lido = true;
    f.cancelamento = nome_raiz == "CFeCanc";
    xmlNodePtr inf = Filho(raiz, "infCFe");
    xmlNodePtr ide = Filho(inf, "ide");
    f.serie = Texto(Filho(ide, "nserieSAT"));
    f.numero = Texto(Filho(ide, "nCFe"));
    f.cnpj = Texto(Filho(Filho(inf, "emit"), "CNPJ"));
    const std::string dEmi = Texto(Filho(ide, "dEmi"));
    if (dEmi.size() == 8) {
        f.aaaamm = dEmi.substr(0, 6);
    }

    const std::string id = Atributo(inf, "Id");
    const std::string_view chave = SemPrefixoCFe(id);
    const auto partes = DecomporChave(chave);
    if (id.size() != 47 || !partes) {
        problema("chave de acesso inválida: Id " + Entre(id) + " não é \"CFe\" e 44 dígitos");
    } else {
        f.chave = std::string(chave);
        const int dv = DigitoVerificadorChave(chave.substr(0, 43));
        if (dv != chave[43] - '0') {
            problema("chave de acesso: dígito verificador " + std::string(partes->cDV) + ", o correto é " +
                     std::to_string(dv));
        }
        if (partes->mod != "59") {
            problema("chave de acesso: modelo " + std::string(partes->mod) + ", não 59");
        }
        if (partes->cnpj != f.cnpj) {
            problema("chave de acesso: CNPJ " + std::string(partes->cnpj) + " difere do emitente " +
                     Entre(f.cnpj));
        }
        if (dEmi.size() != 8 || partes->aamm != std::string_view(dEmi).substr(2, 4)) {
            problema("chave de acesso: ano e mês " + std::string(partes->aamm) +
                     " diferem da data de emissão " + Entre(dEmi));
        }
        if (partes->serie != f.serie) {
            problema("chave de acesso: série do SAT " + std::string(partes->serie) + " difere de nserieSAT " +
                     Entre(f.serie));
        }
        if (partes->numero != f.numero) {
            problema("chave de acesso: número " + std::string(partes->numero) + " difere de nCFe " +
                     Entre(f.numero));
        }
    }
    if (f.cancelamento) {
        const std::string ch = Atributo(inf, "chCanc");
        const std::string_view ch44 = SemPrefixoCFe(ch);
        const auto cancelada = DecomporChave(ch44);
        if (ch.size() != 47 || !cancelada) {
            problema("chCanc inválido: " + Entre(ch) + " não é \"CFe\" e 44 dígitos");
        } else if (DigitoVerificadorChave(ch44.substr(0, 43)) != ch44[43] - '0') {
            problema("chCanc: dígito verificador errado em " + Entre(ch));
        } else if (cancelada->cnpj != f.cnpj) {
            problema("chCanc aponta para um CF-e de outra empresa (CNPJ " + std::string(cancelada->cnpj) +
                     ")");
        }
    }
    if (assinaturas != nullptr) {
        const std::string erro = assinaturas->Verificar(doc, raiz, inf);
        if (!erro.empty()) {
            problema(std::string(kAssinaturaInvalida) + ": " + erro);
        }
    }
    return r;
}

std::string MaisComum(const std::map<std::string, std::size_t>& contagem) {
    std::string melhor;
    std::size_t n = 0;
    for (const auto& [valor, vezes] : contagem) {
        if (vezes > n) {
            melhor = valor;
            n = vezes;
        }
    }
    return melhor;
}

std::string Pasta(const std::string& arquivo) {
    const std::size_t barra = arquivo.rfind('/');
    return barra == std::string::npos ? std::string() : arquivo.substr(0, barra);
}

}  // namespace

std::vector<Problema> VerificarDocumento(const std::string& arquivo, std::string_view texto,
                                         bool assinaturas) {
    // One checker per thread: creating one loads the default certificate store.
    thread_local std::optional<Assinaturas> a;
    if (assinaturas && !a) {
        a.emplace();
    }
    return VerificarUm(arquivo, texto, assinaturas ? &*a : nullptr).problemas;
}

Verificacao VerificarArquivos(const std::vector<std::string>& files, const OpcoesVerificacao& opcoes,
                              ProgressSink& progress) {
    if (opcoes.assinaturas) {
        IniciarXmlsec();
    }
    std::vector<Resultado> resultados(files.size());
    std::atomic<std::size_t> proximo{0};
    std::atomic<std::size_t> feitos{0};
    std::mutex mutex;
    std::condition_variable cv;
    std::string erro_fatal;
    auto trabalhar = [&] {
        try {
            std::optional<Assinaturas> a;
            if (opcoes.assinaturas) {
                a.emplace();
            }
            for (std::size_t i = proximo++; i < files.size(); i = proximo++) {
                std::string erro;
                const std::string texto = Ler(files[i], erro);
                if (!erro.empty()) {
                    resultados[i].problemas.push_back(
                        Problema{files[i], {}, {}, "não foi possível ler o arquivo (" + erro + ")"});
                } else {
                    resultados[i] = VerificarUm(files[i], texto, a ? &*a : nullptr);
                }
                feitos++;
                cv.notify_one();
            }
        } catch (const std::exception& e) {
            const std::lock_guard<std::mutex> lock(mutex);
            erro_fatal = e.what();
            proximo = files.size();
        }
        cv.notify_one();
    };
    unsigned n = opcoes.threads != 0 ? opcoes.threads : std::max(1U, std::thread::hardware_concurrency());
    n = static_cast<unsigned>(std::min<std::size_t>(n, std::max<std::size_t>(files.size(), 1)));
    std::vector<std::thread> threads;
    threads.reserve(n);
    for (unsigned t = 0; t < n; ++t) {
        threads.emplace_back(trabalhar);
    }
    const std::string de = "/" + std::to_string(files.size());
    progress.SetMax(static_cast<double>(files.size()));
    for (;;) {
        std::size_t agora = 0;
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait_for(lock, std::chrono::milliseconds(100));
            agora = feitos.load();
            if (!erro_fatal.empty()) {
                agora = files.size();
            }
        }
        try {
            progress.SetValue(static_cast<double>(agora));
            progress.SetText("Verificando " + std::to_string(agora) + de);
            progress.Pump();
        } catch (...) {
            // The caller gives up (its progress threw): the workers stop after
            // the document each is checking.
            proximo = files.size();
            for (std::thread& t : threads) {
                t.join();
            }
            throw;
        }
        if (agora >= files.size()) {
            break;
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    if (!erro_fatal.empty()) {
        throw std::runtime_error(erro_fatal);
    }

    Verificacao v;
    v.documentos = files.size();
    std::map<std::string, std::size_t> cnpjs;
    std::map<std::string, std::map<std::string, std::size_t>> meses_por_pasta;
    for (const Resultado& r : resultados) {
        for (const Problema& p : r.problemas) {
            v.problemas.push_back(p);
        }
        if (r.fatos.lido) {
            ++cnpjs[r.fatos.cnpj];
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (resultados[i].fatos.lido) {
            ++meses_por_pasta[Pasta(files[i])][resultados[i].fatos.aaaamm];
        }
    }
    const std::string empresa = opcoes.cnpj.value_or(MaisComum(cnpjs));
    std::map<std::string, std::string> mes_da_pasta;
    for (const auto& [pasta, meses] : meses_por_pasta) {
        mes_da_pasta[pasta] = MaisComum(meses);
    }
    std::unordered_map<std::string, std::size_t> chaves;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Fatos& f = resultados[i].fatos;
        if (!f.lido) {
            continue;
        }
        auto problema = [&](std::string descricao) {
            v.problemas.push_back(Problema{files[i], f.serie, f.numero, std::move(descricao)});
        };
        if (!f.chave.empty()) {
            const auto [it, novo] = chaves.emplace(f.chave, i);
            if (!novo) {
                problema("chave duplicada: o mesmo CF-e está em " + files[it->second]);
            }
        }
        if (f.cnpj != empresa) {
            problema("CF-e de outra empresa (CNPJ " + Entre(f.cnpj) + ", a pasta é de " + empresa + ")");
        }
        const std::string& mes = mes_da_pasta[Pasta(files[i])];
        if (f.aaaamm != mes) {
            auto mm_aaaa = [](const std::string& s) {
                return s.size() == 6 ? s.substr(4, 2) + "/" + s.substr(0, 4) : Entre(s);
            };
            problema("CF-e de outro mês (" + mm_aaaa(f.aaaamm) + "; a pasta é de " + mm_aaaa(mes) + ")");
        }
    }
    return v;
}

std::vector<std::string> LinhasVerificacao(const Verificacao& v, const std::string& cnpj,
                                           const std::string& nome) {
    std::vector<std::string> l;
    l.push_back("Empresa: " + cnpj + " - " + nome);
    l.push_back("");
    for (const Problema& p : v.problemas) {
        std::string quem = p.arquivo;
        if (!p.numero.empty()) {
            quem += " (SAT " + p.serie + ", CF-e " + p.numero + ")";
        }
        l.push_back(quem + ": " + p.descricao);
    }
    if (v.problemas.empty()) {
        l.push_back("Nenhum problema encontrado. Documentos verificados: " + std::to_string(v.documentos) +
                    ".");
    } else {
        l.push_back("Documentos verificados: " + std::to_string(v.documentos) +
                    "; problemas: " + std::to_string(v.problemas.size()) + ".");
    }
    return l;
}

}  // namespace kqz::summary
