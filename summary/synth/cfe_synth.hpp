#pragma once

// Synthetic SAT CF-e (model 59) documents for demos, benchmarks and tests.
//
// The texts have the shape of what a SAT device returns: a sale (root CFe) or
// a cancellation (root CFeCanc), an access key whose digits repeat the ide
// fields and carry a correct mod-11 check digit, products, totals, payments and
// an enveloped XML-DSig Signature over infCFe (about 5-6 KB with a few items).
//
// By default the signature is real: RSA-SHA256 over the inclusive C14N form
// of SignedInfo, with a SHA-256 digest of infCFe, made with the throw-away
// test key of the SAT unit (test_keys.hpp; chosen by the serial number, so
// every coupon of a unit carries the same certificate). infCFe and SignedInfo
// are written in their canonical form (empty elements as start and end tag,
// attributes in name order), as SAT devices do. Signing::kRandomFiller keeps
// the former block of random base64 instead (no valid signature, and every
// coupon with a certificate of its own).
//
// Everything is deterministic: the same spec (and seed) gives the same bytes.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kqz::summary::synth {

// Calendar date and time of day of a coupon.
struct Date {
    int year = 2021;
    int month = 3;
    int day = 1;
};
struct Time {
    int hour = 12;
    int minute = 0;
    int second = 0;
};

// The shop that issues the coupons.
struct Emitter {
    std::string cnpj = "08723218000186";  // 14 digits
    std::string name = "COMERCIO DE ALIMENTOS EXEMPLO LTDA";
    std::string fantasy = "MERCADO EXEMPLO";  // empty: no xFant element
    std::string ie = "111111111111";          // 12 characters
    std::string street = "RUA DAS FLORES";
    std::string number = "100";
    std::string district = "CENTRO";
    std::string city = "SAO PAULO";
    std::string cep = "01001000";
    int uf = 35;                      // cUF, two digits
    std::string serie = "900004019";  // nserieSAT, nine digits
};

// One sold item. The value is in centavos; the description is optional (a
// product of the built-in catalogue is used when empty).
struct Item {
    std::string cfop = "5102";
    std::int64_t cents = 0;
    std::string description;
};

// One means of payment (cMP code and value in centavos).
struct Payment {
    std::string code = "01";
    std::int64_t cents = 0;
};

// Layout of the text.
enum class Layout {
    kOneLine,   // as a SAT device returns it: no declaration, no line breaks
    kIndented,  // XML declaration, two-blank indentation, LF line breaks
};

// How the Signature block is made.
enum class Signing {
    kTestKey,       // signed with the unit's test key: verifies
    kRandomFiller,  // random base64 of the same size: never verifies
};

// A sale. Total and payments default to the sum of the items paid in cash.
struct SaleSpec {
    Emitter emitter;
    int number = 1;  // nCFe, 0..999999
    Date date;
    Time time;
    std::vector<Item> items;
    std::vector<Payment> payments;  // empty: one cash payment of the total
    bool with_total = true;         // false: no vCFe element
    bool with_payment = true;       // false: no pgto group at all (no cMP)
    Layout layout = Layout::kOneLine;
    Signing signing = Signing::kTestKey;
    std::uint64_t seed = 1;  // drives cNF and the random parts
};

// A cancellation of a sale.
struct CancSpec {
    Emitter emitter;
    int number = 2;  // the cancellation's own nCFe
    Date date;       // the cancellation's own date and time (ide/dEmi, ide/hEmi)
    Time time;
    std::string sale_key;  // 44 digits of the cancelled sale's key
    Date sale_date;        // infCFe/dEmi and hEmi: date and time of the sale
    Time sale_time;
    std::int64_t sale_total_cents = 0;
    Layout layout = Layout::kOneLine;
    Signing signing = Signing::kTestKey;
    std::uint64_t seed = 1;
};

// The PEM certificate (test_keys.hpp) of the unit with this serial.
const char* TestCertificateOf(const std::string& serie);

// Check digit of the first 43 digits of an access key (mod 11, weights 2..9
// from the right; 0 when the remainder is 0 or 1). Throws std::invalid_argument
// when `digits43` is not 43 decimal digits.
int CheckDigit(const std::string& digits43);

// The 44-digit access key: cUF, AAMM, CNPJ, 59, nserieSAT, nCFe, cNF, cDV.
// Throws std::invalid_argument on fields of the wrong width.
std::string AccessKey(int uf, const Date& date, const std::string& cnpj, const std::string& serie, int number,
                      int cnf);

// The random six-digit cNF of a sale or cancellation.
int SaleCnf(const SaleSpec& spec);
int CancCnf(const CancSpec& spec);

// The access keys the documents made from these specs carry.
std::string SaleKey(const SaleSpec& spec);
std::string CancKey(const CancSpec& spec);

// The complete CF-e texts.
std::string MakeSale(const SaleSpec& spec);
std::string MakeCancellation(const CancSpec& spec);

// A cancellation of `sale` numbered `number`, issued a few minutes after it.
CancSpec CancellationOf(const SaleSpec& sale, int number);

// Stored document names: "CFe<key>-VD" for a sale, "CFeCanc<key>-CA" for a
// cancellation. The coupon number is the first six of the last sixteen
// characters; only cancellations contain "CFeC".
std::string SaleName(const std::string& key);
std::string CancName(const std::string& key);

// A month of coupons of one shop.
struct MonthSpec {
    Emitter emitter;
    int year = 2021;
    int month = 3;
    int count = 1000;          // documents to make (sales plus cancellations)
    int first_number = 1;      // nCFe of the first document
    int max_items = 5;         // items per sale: 1..max_items, mostly few
    int cancel_permille = 15;  // chance that a sale is followed by its cancellation
    int gap_permille = 5;      // chance that a number is skipped
    int sat_units = 1;         // SAT units of the shop: serials emitter.serie, +1, +2...
    Layout layout = Layout::kOneLine;
    Signing signing = Signing::kTestKey;
    std::uint64_t seed = 42;
};

// One generated document of a month.
struct Document {
    std::string name;  // SaleName / CancName
    std::string key;
    std::string xml;
    int number = 0;
    std::string serie;  // nserieSAT of the unit that issued it
    bool cancellation = false;
    Date date;
    std::int64_t total_cents = 0;  // vCFe (the sale's value for a cancellation)
};

// Generates the documents of a month in issue order and hands each to `sink`
// (nothing is kept, so a large month needs no memory). Each document goes to
// one of the units at random; each unit numbers its own documents upwards
// from first_number, with occasional gaps, and a cancellation takes the next
// number of the unit of its sale. Dates spread evenly over the month.
void GenerateMonth(const MonthSpec& spec, const std::function<void(Document&&)>& sink);

// Convenience: the whole month in a vector.
std::vector<Document> MakeMonth(const MonthSpec& spec);

}  // namespace kqz::summary::synth
