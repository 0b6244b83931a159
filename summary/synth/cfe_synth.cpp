#include "summary/synth/cfe_synth.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "summary/synth/test_keys.hpp"

namespace kqz::summary::synth {
namespace {

// splitmix64: small, fast and good enough for filler bytes.
class Random {
  public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n).
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }

  private:
    std::uint64_t state_;
};

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
    Random r(a * 0x100000001B3ULL ^ (b + 0x9E3779B97F4A7C15ULL));
    return r.Next();
}

bool AllDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

std::string Digits(long long value, int width) {
    std::string s = std::to_string(value);
    if (static_cast<int>(s.size()) < width) {
        s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
    }
    return s;
}

std::string Money(std::int64_t cents) {
    const bool negative = cents < 0;
    const std::uint64_t c =
        negative ? static_cast<std::uint64_t>(-(cents + 1)) + 1 : static_cast<std::uint64_t>(cents);
    std::string s = std::to_string(c / 100) + "." + Digits(static_cast<long long>(c % 100), 2);
    return negative ? "-" + s : s;
}

std::string DateText(const Date& d) {
    return Digits(d.year, 4) + Digits(d.month, 2) + Digits(d.day, 2);
}
std::string TimeText(const Time& t) {
    return Digits(t.hour, 2) + Digits(t.minute, 2) + Digits(t.second, 2);
}

int DaysInMonth(int year, int month) {
    static constexpr std::array<int, 12> kDays{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) {
        return 29;
    }
    return kDays[static_cast<std::size_t>((month - 1 + 12) % 12)];
}

// Moves a date and time forward by `minutes`, carrying into days, months and years.
void AddMinutes(Date& d, Time& t, int minutes) {
    int total = t.hour * 60 + t.minute + minutes;
    while (total >= 24 * 60) {
        total -= 24 * 60;
        if (++d.day > DaysInMonth(d.year, d.month)) {
            d.day = 1;
            if (++d.month > 12) {
                d.month = 1;
                ++d.year;
            }
        }
    }
    t.hour = total / 60;
    t.minute = total % 60;
}

// Text content escaped as the canonical form (C14N) writes it.
std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#xD;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Base64Noise(Random& rnd, std::size_t length) {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s(length, 'A');
    for (std::size_t i = 0; i < length; ++i) {
        s[i] = kAlphabet[static_cast<std::size_t>(rnd.Below(64))];
    }
    // Base64 of a byte count that is not a multiple of 3 ends in padding.
    if (length >= 2) {
        s[length - 1] = '=';
        s[length - 2] = '=';
    }
    return s;
}

// Writes elements either on one line or indented with two blanks per level.
class Writer {
  public:
    explicit Writer(Layout layout) : layout_(layout) {
        out_.reserve(8192);
        if (layout_ == Layout::kIndented) {
            out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        }
    }
    void Open(std::string_view tag, std::string_view attrs = {}) {
        StartTag(tag, attrs);
        out_ += '>';
        ++depth_;
    }
    void Close(std::string_view tag) {
        --depth_;
        Indent();
        out_ += "</";
        out_ += tag;
        out_ += '>';
    }
    void Leaf(std::string_view tag, std::string_view text, std::string_view attrs = {}) {
        StartTag(tag, attrs);
        out_ += '>';
        out_ += Escape(text);
        out_ += "</";
        out_ += tag;
        out_ += '>';
    }
    // An element without content, as start and end tag (its canonical form).
    void Empty(std::string_view tag, std::string_view attrs = {}) {
        StartTag(tag, attrs);
        out_ += "></";
        out_ += tag;
        out_ += '>';
    }
    const std::string& Text() const { return out_; }
    std::string Take() {
        if (layout_ == Layout::kIndented) {
            out_ += '\n';
        }
        return std::move(out_);
    }

  private:
    // Indentation, "<", the tag and its attributes; the caller closes the tag.
    void StartTag(std::string_view tag, std::string_view attrs) {
        Indent();
        out_ += '<';
        out_ += tag;
        if (!attrs.empty()) {
            out_ += ' ';
            out_ += attrs;
        }
    }
    void Indent() {
        if (layout_ != Layout::kIndented || out_.empty()) {
            return;
        }
        out_ += '\n';
        out_.append(static_cast<std::size_t>(depth_) * 2, ' ');
    }
    Layout layout_;
    std::string out_;
    int depth_ = 0;
};

struct Product {
    const char* name;
    const char* ncm;
    const char* unit;
};

constexpr std::array<Product, 16> kCatalogue{{
    {"ARROZ TIPO 1 5KG", "10063021", "UN"},
    {"FEIJAO CARIOCA 1KG", "07133399", "UN"},
    {"ACUCAR REFINADO 1KG", "17019900", "UN"},
    {"CAFE TORRADO MOIDO 500G", "09012100", "UN"},
    {"OLEO DE SOJA 900ML", "15079011", "UN"},
    {"LEITE UHT INTEGRAL 1L", "04012010", "UN"},
    {"PAO FRANCES", "19059090", "KG"},
    {"REFRIGERANTE COLA 2L", "22021000", "UN"},
    {"CERVEJA LATA 350ML", "22030000", "UN"},
    {"AGUA MINERAL 500ML", "22011000", "UN"},
    {"SABAO EM PO 1KG", "34022000", "UN"},
    {"DETERGENTE LIQUIDO 500ML", "34022000", "UN"},
    {"PAPEL HIGIENICO 4 ROLOS", "48181000", "UN"},
    {"BISCOITO RECHEADO 140G", "19053100", "UN"},
    {"MACARRAO ESPAGUETE 500G", "19021900", "UN"},
    {"QUEIJO MUSSARELA FATIADO", "04069020", "KG"},
}};

void Ide(Writer& w, Random& rnd, const Emitter& e, int cnf, int number, const Date& date, const Time& time,
         const std::string& key, bool sale) {
    w.Open("ide");
    w.Leaf("cUF", Digits(e.uf, 2));
    w.Leaf("cNF", Digits(cnf, 6));
    w.Leaf("mod", "59");
    w.Leaf("nserieSAT", e.serie);
    w.Leaf("nCFe", Digits(number, 6));
    w.Leaf("dEmi", DateText(date));
    w.Leaf("hEmi", TimeText(time));
    w.Leaf("cDV", key.substr(43, 1));
    if (sale) {
        w.Leaf("tpAmb", "2");
    }
    w.Leaf("CNPJ", "16716114000172");
    w.Leaf("signAC", "SGR-SAT SISTEMA DE GESTAO E RETAGUARDA DO SAT");
    w.Leaf("assinaturaQRCODE", Base64Noise(rnd, 344));
    w.Leaf("numeroCaixa", "001");
    w.Close("ide");
}

void Emit(Writer& w, const Emitter& e, bool sale) {
    w.Open("emit");
    w.Leaf("CNPJ", e.cnpj);
    w.Leaf("xNome", e.name);
    if (!e.fantasy.empty()) {
        w.Leaf("xFant", e.fantasy);
    }
    w.Open("enderEmit");
    w.Leaf("xLgr", e.street);
    w.Leaf("nro", e.number);
    w.Leaf("xBairro", e.district);
    w.Leaf("xMun", e.city);
    w.Leaf("CEP", e.cep);
    w.Close("enderEmit");
    w.Leaf("IE", e.ie);
    if (sale) {
        w.Leaf("cRegTrib", "1");
        w.Leaf("indRatISSQN", "N");
    }
    w.Close("emit");
}

std::string Base64(const unsigned char* data, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The test key and the certificate (base64 of its DER) of a unit, loaded once.
struct UnitKey {
    EVP_PKEY* key = nullptr;
    std::string certificate;
};

std::size_t KeyIndexOf(const std::string& serie) {
    std::uint64_t n = 0;
    for (char c : serie) {
        n = n * 10 + static_cast<std::uint64_t>(c >= '0' && c <= '9' ? c - '0' : 0);
    }
    return static_cast<std::size_t>(n % kTestKeyCount);
}

const UnitKey& UnitKeyOf(const std::string& serie) {
    static const std::array<UnitKey, kTestKeyCount> keys = [] {
        std::array<UnitKey, kTestKeyCount> k;
        for (std::size_t i = 0; i < kTestKeyCount; ++i) {
            const TestKeyPem& pem = TestKey(i);
            BIO* kb = BIO_new_mem_buf(pem.private_key, -1);
            k[i].key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
            BIO_free(kb);
            BIO* cb = BIO_new_mem_buf(pem.certificate, -1);
            X509* cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
            BIO_free(cb);
            unsigned char* der = nullptr;
            const int len = cert != nullptr ? i2d_X509(cert, &der) : -1;
            if (k[i].key == nullptr || len <= 0) {
                throw std::runtime_error("chave de teste do SAT sintetico ilegivel");
            }
            k[i].certificate = Base64(der, static_cast<std::size_t>(len));
            OPENSSL_free(der);
            X509_free(cert);
        }
        return k;
    }();
    return keys[KeyIndexOf(serie)];
}

std::string Sha256Base64(std::string_view data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 falhou");
    }
    return Base64(md, len);
}

std::string SignRsaSha256(EVP_PKEY* key, std::string_view data) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::size_t len = 0;
    std::string sig;
    bool ok = ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
              EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(data.data()),
                             data.size()) == 1;
    if (ok) {
        sig.resize(len);
        ok = EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
        sig.resize(len);
    }
    EVP_MD_CTX_free(ctx);
    if (!ok) {
        throw std::runtime_error("assinatura RSA-SHA256 falhou");
    }
    return Base64(reinterpret_cast<const unsigned char*>(sig.data()), sig.size());
}

constexpr std::string_view kDsigNs = "http://www.w3.org/2000/09/xmldsig#";

// The enveloped signature of infCFe, which the writer holds from
// `inf_begin` to its end. With the test key: the SHA-256 digest of infCFe as
// written (already canonical), then RSA-SHA256 over SignedInfo as written plus
// the namespace declaration it inherits, which its canonical form carries.
void Signature(Writer& w, Random& rnd, const std::string& key, const std::string& serie, Signing signing,
               std::size_t inf_begin) {
    const bool real = signing == Signing::kTestKey;
    const std::string digest =
        real ? Sha256Base64(std::string_view(w.Text()).substr(inf_begin)) : Base64Noise(rnd, 44);
    w.Open("Signature", "xmlns=\"" + std::string(kDsigNs) + "\"");
    w.Open("SignedInfo");
    const std::size_t signed_begin = w.Text().rfind("<SignedInfo");
    w.Empty("CanonicalizationMethod", "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"");
    w.Empty("SignatureMethod", "Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"");
    w.Open("Reference", "URI=\"#CFe" + key + "\"");
    w.Open("Transforms");
    w.Empty("Transform", "Algorithm=\"http://www.w3.org/2000/09/xmldsig#enveloped-signature\"");
    w.Empty("Transform", "Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"");
    w.Close("Transforms");
    w.Empty("DigestMethod", "Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"");
    w.Leaf("DigestValue", digest);
    w.Close("Reference");
    w.Close("SignedInfo");
    if (real) {
        const UnitKey& unit = UnitKeyOf(serie);
        std::string canonical(std::string_view(w.Text()).substr(signed_begin));
        canonical.insert(std::string_view("<SignedInfo").size(), " xmlns=\"" + std::string(kDsigNs) + "\"");
        w.Leaf("SignatureValue", SignRsaSha256(unit.key, canonical));
        w.Open("KeyInfo");
        w.Open("X509Data");
        w.Leaf("X509Certificate", unit.certificate);
    } else {
        w.Leaf("SignatureValue", Base64Noise(rnd, 344));
        w.Open("KeyInfo");
        w.Open("X509Data");
        w.Leaf("X509Certificate", Base64Noise(rnd, 2100));
    }
    w.Close("X509Data");
    w.Close("KeyInfo");
    w.Close("Signature");
}

void CheckNumber(int number) {
    if (number < 0 || number > 999999) {
        throw std::invalid_argument("nCFe fora de 0..999999: " + std::to_string(number));
    }
}

// The additional information, the end of infCFe and the signature: the same
// in a sale and in a cancellation.
void EndInfCFe(Writer& w, Random& rnd, const std::string& key, const std::string& serie, Signing signing,
               std::size_t inf_begin) {
    w.Open("infAdic");
    w.Open("obsFisco", "xCampo=\"xCampo1\"");
    w.Leaf("xTexto", "xTexto1");
    w.Close("obsFisco");
    w.Close("infAdic");
    w.Close("infCFe");
    Signature(w, rnd, key, serie, signing, inf_begin);
}

}  // namespace

const char* TestCertificateOf(const std::string& serie) {
    return TestKey(KeyIndexOf(serie)).certificate;
}

int CheckDigit(const std::string& digits43) {
    if (digits43.size() != 43 || !AllDigits(digits43)) {
        throw std::invalid_argument("chave sem 43 digitos: \"" + digits43 + "\"");
    }
    int sum = 0;
    int weight = 2;
    for (auto it = digits43.rbegin(); it != digits43.rend(); ++it) {
        sum += (*it - '0') * weight;
        weight = weight == 9 ? 2 : weight + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}

std::string AccessKey(int uf, const Date& date, const std::string& cnpj, const std::string& serie, int number,
                      int cnf) {
    if (uf < 0 || uf > 99 || cnpj.size() != 14 || !AllDigits(cnpj) || serie.size() != 9 ||
        !AllDigits(serie) || cnf < 0 || cnf > 999999) {
        throw std::invalid_argument("campo da chave de acesso com largura errada");
    }
    CheckNumber(number);
    std::string key = Digits(uf, 2) + Digits(date.year % 100, 2) + Digits(date.month, 2) + cnpj + "59" +
                      serie + Digits(number, 6) + Digits(cnf, 6);
    key += static_cast<char>('0' + CheckDigit(key));
    return key;
}

int SaleCnf(const SaleSpec& spec) {
    return static_cast<int>(Mix(spec.seed, static_cast<std::uint64_t>(spec.number) * 2) % 1000000);
}
int CancCnf(const CancSpec& spec) {
    return static_cast<int>(Mix(spec.seed, static_cast<std::uint64_t>(spec.number) * 2 + 1) % 1000000);
}

std::string SaleKey(const SaleSpec& spec) {
    return AccessKey(spec.emitter.uf, spec.date, spec.emitter.cnpj, spec.emitter.serie, spec.number,
                     SaleCnf(spec));
}
std::string CancKey(const CancSpec& spec) {
    return AccessKey(spec.emitter.uf, spec.date, spec.emitter.cnpj, spec.emitter.serie, spec.number,
                     CancCnf(spec));
}

std::string MakeSale(const SaleSpec& spec) {
    const std::string key = SaleKey(spec);
    Random rnd(Mix(spec.seed, static_cast<std::uint64_t>(spec.number) + 0x5A1E));
    Writer w(spec.layout);
    w.Open("CFe");
    w.Open("infCFe", "Id=\"CFe" + key + "\" versao=\"0.07\" versaoDadosEnt=\"0.07\" versaoSB=\"010300\"");
    const std::size_t inf_begin = w.Text().rfind("<infCFe");
    Ide(w, rnd, spec.emitter, SaleCnf(spec), spec.number, spec.date, spec.time, key, true);
    Emit(w, spec.emitter, true);
    w.Empty("dest");
    std::int64_t sum = 0;
    int n = 0;
    for (const Item& item : spec.items) {
        ++n;
        sum += item.cents;
        const Product& p =
            kCatalogue[static_cast<std::size_t>(rnd.Below(static_cast<int>(kCatalogue.size())))];
        // A whole quantity when the value divides evenly, else one unit.
        int qty = 1 + rnd.Below(3);
        if (item.cents % qty != 0) {
            qty = 1;
        }
        w.Open("det", "nItem=\"" + std::to_string(n) + "\"");
        w.Open("prod");
        w.Leaf("cProd", Digits(7891000000000LL + rnd.Below(1000000), 13));
        w.Leaf("xProd", item.description.empty() ? std::string(p.name) : item.description);
        w.Leaf("NCM", p.ncm);
        w.Leaf("CFOP", item.cfop);
        w.Leaf("uCom", p.unit);
        w.Leaf("qCom", std::to_string(qty) + ".0000");
        w.Leaf("vUnCom", Money(item.cents / qty));
        w.Leaf("vProd", Money(item.cents));
        w.Leaf("indRegra", "A");
        w.Leaf("vItem", Money(item.cents));
        w.Close("prod");
        w.Open("imposto");
        w.Leaf("vItem12741", Money(item.cents * 3 / 10));
        w.Open("ICMS");
        w.Open("ICMSSN102");
        w.Leaf("Orig", "0");
        w.Leaf("CSOSN", item.cfop == "5405" ? "500" : "102");
        w.Close("ICMSSN102");
        w.Close("ICMS");
        w.Open("PIS");
        w.Open("PISSN");
        w.Leaf("CST", "49");
        w.Close("PISSN");
        w.Close("PIS");
        w.Open("COFINS");
        w.Open("COFINSSN");
        w.Leaf("CST", "49");
        w.Close("COFINSSN");
        w.Close("COFINS");
        w.Close("imposto");
        w.Close("det");
    }
    w.Open("total");
    w.Open("ICMSTot");
    w.Leaf("vICMS", "0.00");
    w.Leaf("vProd", Money(sum));
    w.Leaf("vDesc", "0.00");
    w.Leaf("vPIS", "0.00");
    w.Leaf("vCOFINS", "0.00");
    w.Leaf("vPISST", "0.00");
    w.Leaf("vCOFINSST", "0.00");
    w.Leaf("vOutro", "0.00");
    w.Close("ICMSTot");
    if (spec.with_total) {
        w.Leaf("vCFe", Money(sum));
    }
    w.Close("total");
    if (spec.with_payment) {
        w.Open("pgto");
        std::int64_t paid = 0;
        if (spec.payments.empty()) {
            // Cash, rounded up to the next real when it is not whole.
            paid = (sum + 99) / 100 * 100;
            w.Open("MP");
            w.Leaf("cMP", "01");
            w.Leaf("vMP", Money(paid));
            w.Close("MP");
        } else {
            for (const Payment& pay : spec.payments) {
                paid += pay.cents;
                w.Open("MP");
                w.Leaf("cMP", pay.code);
                w.Leaf("vMP", Money(pay.cents));
                w.Close("MP");
            }
        }
        w.Leaf("vTroco", Money(paid > sum ? paid - sum : 0));
        w.Close("pgto");
    }
    EndInfCFe(w, rnd, key, spec.emitter.serie, spec.signing, inf_begin);
    w.Close("CFe");
    return w.Take();
}

std::string MakeCancellation(const CancSpec& spec) {
    if (spec.sale_key.size() != 44 || !AllDigits(spec.sale_key)) {
        throw std::invalid_argument("chave da venda cancelada sem 44 digitos: \"" + spec.sale_key + "\"");
    }
    const std::string key = CancKey(spec);
    Random rnd(Mix(spec.seed, static_cast<std::uint64_t>(spec.number) + 0xCA2C));
    Writer w(spec.layout);
    w.Open("CFeCanc");
    w.Open("infCFe", "Id=\"CFe" + key + "\" chCanc=\"CFe" + spec.sale_key + "\" versao=\"0.07\"");
    const std::size_t inf_begin = w.Text().rfind("<infCFe");
    w.Leaf("dEmi", DateText(spec.sale_date));
    w.Leaf("hEmi", TimeText(spec.sale_time));
    Ide(w, rnd, spec.emitter, CancCnf(spec), spec.number, spec.date, spec.time, key, false);
    Emit(w, spec.emitter, false);
    w.Empty("dest");
    w.Open("total");
    w.Leaf("vCFe", Money(spec.sale_total_cents));
    w.Close("total");
    EndInfCFe(w, rnd, key, spec.emitter.serie, spec.signing, inf_begin);
    w.Close("CFeCanc");
    return w.Take();
}

CancSpec CancellationOf(const SaleSpec& sale, int number) {
    CancSpec c;
    c.emitter = sale.emitter;
    c.number = number;
    c.date = sale.date;
    c.time = sale.time;
    AddMinutes(c.date, c.time, 5);
    c.sale_key = SaleKey(sale);
    c.sale_date = sale.date;
    c.sale_time = sale.time;
    std::int64_t sum = 0;
    for (const Item& item : sale.items) {
        sum += item.cents;
    }
    c.sale_total_cents = sum;
    c.layout = sale.layout;
    c.signing = sale.signing;
    c.seed = sale.seed;
    return c;
}

std::string SaleName(const std::string& key) {
    return "CFe" + key + "-VD";
}
std::string CancName(const std::string& key) {
    return "CFeCanc" + key + "-CA";
}

void GenerateMonth(const MonthSpec& spec, const std::function<void(Document&&)>& sink) {
    if (spec.count < 0 || spec.month < 1 || spec.month > 12 || spec.max_items < 1 || spec.sat_units < 1) {
        throw std::invalid_argument("mes sintetico invalido");
    }
    // A unit's counter restarts at 1 after 999999.
    auto counter = [](int n) { return n <= 999999 ? n : (n - 1) % 999999 + 1; };
    struct Unit {
        Emitter emitter;
        int number = 0;
    };
    std::vector<Unit> units(static_cast<std::size_t>(spec.sat_units));
    for (std::size_t u = 0; u < units.size(); ++u) {
        units[u].emitter = spec.emitter;
        units[u].number = spec.first_number;
        if (u > 0) {
            units[u].emitter.serie =
                Digits((std::stoll(spec.emitter.serie) + static_cast<long long>(u)) % 1000000000, 9);
        }
    }
    Random rnd(spec.seed);
    const int days = DaysInMonth(spec.year, spec.month);
    // Business hours 08:00-21:59 spread over the month.
    constexpr long long kOpenSeconds = 14LL * 3600;
    const long long span = static_cast<long long>(days) * kOpenSeconds;
    static constexpr std::array<const char*, 6> kCfops{"5102", "5102", "5102", "5405", "5405", "5101"};
    static constexpr std::array<const char*, 5> kMeans{"01", "01", "03", "04", "17"};
    for (int made = 0; made < spec.count;) {
        Unit& unit =
            units.size() == 1 ? units[0] : units[static_cast<std::size_t>(rnd.Below(spec.sat_units))];
        int& number = unit.number;
        if (rnd.Below(1000) < spec.gap_permille) {
            ++number;  // a skipped coupon number
        }
        const long long at = span * made / (spec.count == 0 ? 1 : spec.count);
        SaleSpec sale;
        sale.emitter = unit.emitter;
        sale.number = counter(number);
        sale.date = Date{spec.year, spec.month, 1 + static_cast<int>(at / kOpenSeconds)};
        const int second_of_day = 8 * 3600 + static_cast<int>(at % kOpenSeconds);
        sale.time = Time{second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60};
        sale.layout = spec.layout;
        sale.signing = spec.signing;
        sale.seed = spec.seed;
        // Mostly one to three items; sometimes up to max_items.
        int items = 1 + rnd.Below(rnd.Below(4) == 0 ? spec.max_items : std::min(3, spec.max_items));
        std::int64_t total = 0;
        for (int i = 0; i < items; ++i) {
            Item item;
            item.cfop = kCfops[static_cast<std::size_t>(rnd.Below(static_cast<int>(kCfops.size())))];
            item.cents = 150 + rnd.Below(9850) + (rnd.Below(20) == 0 ? rnd.Below(90000) : 0);
            total += item.cents;
            sale.items.push_back(std::move(item));
        }
        if (rnd.Below(3) == 0) {
            sale.payments.push_back(
                Payment{kMeans[static_cast<std::size_t>(rnd.Below(static_cast<int>(kMeans.size())))], total});
        }
        Document doc;
        doc.key = SaleKey(sale);
        doc.name = SaleName(doc.key);
        doc.xml = MakeSale(sale);
        doc.number = sale.number;
        doc.serie = sale.emitter.serie;
        doc.date = sale.date;
        doc.total_cents = total;
        sink(std::move(doc));
        ++made;
        ++number;
        if (made < spec.count && rnd.Below(1000) < spec.cancel_permille) {
            const CancSpec canc = CancellationOf(sale, counter(number));
            Document c;
            c.key = CancKey(canc);
            c.name = CancName(c.key);
            c.xml = MakeCancellation(canc);
            c.number = canc.number;
            c.serie = canc.emitter.serie;
            c.cancellation = true;
            c.date = canc.date;
            c.total_cents = total;
            sink(std::move(c));
            ++made;
            ++number;
        }
    }
}

std::vector<Document> MakeMonth(const MonthSpec& spec) {
    std::vector<Document> docs;
    docs.reserve(static_cast<std::size_t>(spec.count));
    GenerateMonth(spec, [&docs](Document&& d) { docs.push_back(std::move(d)); });
    return docs;
}

}  // namespace kqz::summary::synth
