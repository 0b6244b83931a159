#include "cloud/rest_connection.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

#include "cloud/rest_command.hpp"

namespace kqz::cloud {
namespace {

constexpr std::size_t kErrorExtractChars = 300;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() &&
           (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// Plain text out of an error page: tags dropped, runs of blanks joined, cut
// to a short extract.
std::string ShortText(std::string_view body) {
    std::string out;
    bool inTag = false;
    bool blank = false;
    for (char c : body) {
        if (inTag) {
            inTag = c != '>';
            if (!inTag) {
                blank = true;
            }
            continue;
        }
        if (c == '<') {
            inTag = true;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = true;
            continue;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
        if (out.size() >= kErrorExtractChars) {
            out += "...";
            break;
        }
    }
    return out;
}

// The first key of a JSON object text, when the text is an object whose first
// key is a plain string; empty otherwise. Cheap on a 150 MB answer.
std::string_view FirstKey(std::string_view body) {
    body = Trim(body.substr(0, std::min<std::size_t>(body.size(), 256)));
    if (body.empty() || body.front() != '{') {
        return {};
    }
    body = Trim(body.substr(1));
    if (body.empty() || body.front() != '"') {
        return {};
    }
    const auto end = body.find('"', 1);
    if (end == std::string_view::npos) {
        return {};
    }
    return body.substr(1, end - 1);
}

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string EncodeUrlSegment(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        const bool bare = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (bare) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string CommandPath(std::string_view commandText) {
    std::string out;
    bool dotSeen = false;
    for (char c : commandText) {
        if (c == '.' && !dotSeen) {
            out += '/';
            dotSeen = true;
        } else if (c == '"') {
            out += "%22";
        } else {
            out += c;
        }
    }
    return out;
}

std::string SessionIdFromPragma(std::string_view pragma) {
    while (!pragma.empty()) {
        const auto comma = pragma.find(',');
        const std::string_view item = Trim(pragma.substr(0, comma));
        pragma = comma == std::string_view::npos ? std::string_view{} : pragma.substr(comma + 1);
        const auto equals = item.find('=');
        if (equals != std::string_view::npos && EqualsNoCase(Trim(item.substr(0, equals)), "dssession")) {
            return std::string(Trim(item.substr(equals + 1)));
        }
    }
    return {};
}

void ThrowReplyError(int status, std::string_view reason, std::string_view body) {
    const std::string head = "o servidor respondeu HTTP " + std::to_string(status) +
                             (reason.empty() ? std::string{} : " " + std::string(reason));
    const auto parsed = nlohmann::json::parse(body, nullptr, false);
    if (!parsed.is_discarded()) {
        auto text = [](const nlohmann::json& value) {
            return value.is_string() ? value.get<std::string>() : value.dump();
        };
        if (parsed.is_object() && parsed.contains("SessionExpired")) {
            const std::string serverText = text(parsed["SessionExpired"]);
            throw SessionExpiredError("sessão expirada no servidor (" + head + "): " + serverText,
                                      serverText);
        }
        if (parsed.is_object() && parsed.contains("error")) {
            const std::string serverText = text(parsed["error"]);
            throw RestError(status, "erro no servidor (" + head + "): " + serverText, serverText);
        }
        if (parsed.is_string()) {
            const std::string serverText = parsed.get<std::string>();
            throw RestError(status, "erro no servidor (" + head + "): " + serverText, serverText);
        }
    }
    std::string serverText = ShortText(body);
    if (serverText.empty()) {
        throw RestError(status, head);
    }
    throw RestError(status, head + ": " + serverText, serverText);
}

namespace detail {
struct HttpExchange {
    long status = 0;
    std::string reason;
    std::string contentType;
    std::string pragmaSession;
    std::string body;
    std::size_t limit = 0;
    bool tooLarge = false;
    // Streaming: a success answer's body goes to `sink` instead of `body`.
    const std::function<void(std::string_view)>* sink = nullptr;
    void* curl = nullptr;
    std::uint64_t streamed = 0;
    std::exception_ptr sinkError;
};
}  // namespace detail

namespace {

std::size_t KqzCurlWrite(char* data, std::size_t size, std::size_t count, void* user) {
    auto* exchange = static_cast<detail::HttpExchange*>(user);
    const std::size_t bytes = size * count;
    if (exchange->sink != nullptr) {
        long status = 0;
        curl_easy_getinfo(exchange->curl, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200 || status == 201 || status == 202) {
            if (exchange->streamed + bytes > exchange->limit) {
                exchange->tooLarge = true;
                return 0;
            }
            exchange->streamed += bytes;
            try {
                (*exchange->sink)(std::string_view(data, bytes));
            } catch (...) {
                exchange->sinkError = std::current_exception();
                return 0;  // aborts the transfer
            }
            return bytes;
        }
    }
    if (exchange->body.size() + bytes > exchange->limit) {
        exchange->tooLarge = true;
        return 0;  // aborts the transfer
    }
    exchange->body.append(data, bytes);
    return bytes;
}

std::size_t KqzCurlHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* exchange = static_cast<detail::HttpExchange*>(user);
    const std::size_t bytes = size * count;
    const std::string_view line = Trim(std::string_view(data, bytes));
    if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
        // A new response begins (after a 100 Continue, say): forget the last one.
        exchange->reason.clear();
        exchange->contentType.clear();
        exchange->pragmaSession.clear();
        const auto first = line.find(' ');
        const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second != std::string_view::npos) {
            exchange->reason = std::string(Trim(line.substr(second + 1)));
        }
        return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
        return bytes;
    }
    const std::string_view name = Trim(line.substr(0, colon));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Pragma")) {
        if (auto id = SessionIdFromPragma(value); !id.empty()) {
            exchange->pragmaSession = std::move(id);
        }
    } else if (EqualsNoCase(name, "Content-Type")) {
        exchange->contentType = std::string(value);
    } else if (EqualsNoCase(name, "Content-Length")) {
        std::uint64_t length = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (ec == std::errc{} && end == value.data() + value.size()) {
            // Reserve once for the whole answer instead of growing it step by step.
            const auto capped = std::min<std::uint64_t>(length, exchange->limit);
            exchange->body.reserve(static_cast<std::size_t>(capped));
        }
    }
    return bytes;
}

}  // namespace

RestConnection::RestConnection() : RestConnection(ServerAddress{}) {}

RestConnection::RestConnection(const ServerAddress& address)
    : Protocol(address.protocol), Host(address.host), Port(address.port), UrlPath(address.urlPath) {
    GlobalInit();
    curl_ = curl_easy_init();
    if (curl_ == nullptr) {
        throw TransportError("não foi possível iniciar a biblioteca de rede (curl_easy_init)");
    }
}

RestConnection::~RestConnection() {
    curl_easy_cleanup(curl_);
}

std::unique_ptr<RestCommand> RestConnection::CreateCommand() {
    return std::make_unique<RestCommand>(*this);
}

std::string RestConnection::BaseUrl() const {
    std::string url = Protocol + "://";
    url += Host.find(':') != std::string::npos ? "[" + Host + "]" : Host;
    if (Port > 0) {
        url += ":" + std::to_string(Port);
    }
    std::string_view path = UrlPath;
    while (!path.empty() && path.front() == '/') {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (!path.empty()) {
        url += "/";
        url += path;
    }
    url += "/";
    return url;
}

std::string RestConnection::MethodUrl(std::string_view commandText, const std::vector<std::string>& arguments,
                                      std::string_view requestFilter) const {
    std::string url = BaseUrl() + Context + RESTContext + CommandPath(commandText) + "/";
    for (const auto& argument : arguments) {
        url += EncodeUrlSegment(argument);
        url += '/';
    }
    if (!requestFilter.empty()) {
        url += '?';
        url += requestFilter;
    }
    return url;
}

std::string RestConnection::CacheUrl(std::string_view reference, std::string_view requestFilter) const {
    std::string url = BaseUrl() + Context + CacheContext;
    while (!reference.empty() && reference.front() == '/') {
        reference.remove_prefix(1);
    }
    url += reference;
    if (!requestFilter.empty()) {
        url += '?';
        url += requestFilter;
    }
    return url;
}

namespace {

// Adds the CA certificates of a PEM text to the store libcurl's OpenSSL
// context has already filled from the system.
CURLcode KqzAddCa(CURL*, void* sslContext, void* pem) {
    const auto* text = static_cast<const std::string*>(pem);
    BIO* bio = BIO_new_mem_buf(text->data(), static_cast<int>(text->size()));
    if (bio == nullptr)
        return CURLE_OUT_OF_MEMORY;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    int added = 0;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store, cert) == 1)
            ++added;
        X509_free(cert);
    }
    ERR_clear_error();
    BIO_free(bio);
    return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

}  // namespace

void RestConnection::Perform(const RestRequest& request, detail::HttpExchange& exchange) {
    CURL* curl = curl_;
    curl_easy_reset(curl);  // keeps the open connection for reuse

    exchange.limit = MaxResponseBytes;
    exchange.curl = curl;
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    struct HeaderList {
        curl_slist* list = nullptr;
        ~HeaderList() { curl_slist_free_all(list); }
        void Add(const std::string& line) {
            curl_slist* grown = curl_slist_append(list, line.c_str());
            if (grown == nullptr) {
                throw TransportError("sem memória para montar o pedido HTTP");
            }
            list = grown;
        }
    } headers;
    headers.Add("Accept: " + request.accept);
    headers.Add("Content-Type: text/plain;charset=UTF-8");
    headers.Add("If-Modified-Since: Mon, 1 Oct 1990 05:00:00 GMT");
    headers.Add("Expect:");
    if (!sessionId_.empty()) {
        headers.Add("Pragma: dssession=" + sessionId_);
    }

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, ConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, TimeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer.data());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, KqzCurlWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, KqzCurlHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    std::string caFile = CaFile;
    if (const char* env = std::getenv("KQZ_CA"); caFile.empty() && env != nullptr)
        caFile = env;
    std::string caPem;
    if (!caFile.empty()) {
        std::ifstream in(caFile, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        caPem = text.str();
        if (!in || caPem.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
            throw TransportError("não consegui ler certificados de autoridade (PEM) em " + caFile +
                                 " (--ca ou KQZ_CA)");
        }
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, KqzAddCa);
        curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &caPem);
    }
    if (request.method == "GET") {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else {
        if (request.method != "POST") {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    }

    ++requestCount_;
    const CURLcode code = curl_easy_perform(curl);
    if (exchange.sinkError) {
        std::rethrow_exception(exchange.sinkError);
    }
    if (code != CURLE_OK) {
        if (exchange.tooLarge) {
            throw TransportError("resposta do servidor maior que o limite de " +
                                 std::to_string(MaxResponseBytes) + " bytes (" + request.url + ")");
        }
        const std::string detail = errorBuffer[0] != '\0' ? errorBuffer.data() : curl_easy_strerror(code);
        if (code == CURLE_PEER_FAILED_VERIFICATION) {
            throw TransportError("o certificado do servidor " + BaseUrl() + " não é confiável (" + detail +
                                 "); se o servidor usa uma autoridade certificadora própria, indique o "
                                 "certificado dela com --ca ARQUIVO ou KQZ_CA");
        }
        throw TransportError("falha ao acessar o servidor " + BaseUrl() + ": " + detail);
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &exchange.status);
}

RestReply RestConnection::Call(const RestRequest& request) {
    for (int attempt = 0;; ++attempt) {
        detail::HttpExchange exchange;
        Perform(request, exchange);
        if (!exchange.pragmaSession.empty()) {
            sessionId_ = exchange.pragmaSession;
        }
        const int status = static_cast<int>(exchange.status);
        const bool success = status == 200 || status == 201 || status == 202;
        // A server may also report a failure inside a success answer.
        const std::string_view firstKey = success ? FirstKey(exchange.body) : std::string_view{};
        if (success && firstKey != "error" && firstKey != "SessionExpired") {
            return RestReply{status, std::move(exchange.reason), std::move(exchange.contentType),
                             std::move(exchange.body)};
        }
        try {
            ThrowReplyError(status, exchange.reason, exchange.body);
        } catch (const SessionExpiredError&) {
            // The server forgot us: start a new session and repeat the call once.
            sessionId_.clear();
            if (attempt == 0) {
                continue;
            }
            throw;
        }
    }
}

RestReply RestConnection::CallStreaming(const RestRequest& request,
                                        const std::function<void(std::string_view)>& body) {
    for (int attempt = 0;; ++attempt) {
        detail::HttpExchange exchange;
        exchange.sink = &body;
        Perform(request, exchange);
        if (!exchange.pragmaSession.empty()) {
            sessionId_ = exchange.pragmaSession;
        }
        const int status = static_cast<int>(exchange.status);
        if (status == 200 || status == 201 || status == 202) {
            return RestReply{status, std::move(exchange.reason), std::move(exchange.contentType), {}};
        }
        try {
            ThrowReplyError(status, exchange.reason, exchange.body);
        } catch (const SessionExpiredError&) {
            // Nothing went to `body`: start a new session and repeat the call once.
            sessionId_.clear();
            if (attempt == 0) {
                continue;
            }
            throw;
        }
    }
}

}  // namespace kqz::cloud
