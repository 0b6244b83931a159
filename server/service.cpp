#include "server/service.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "server/documents.hpp"
#include "server/request_body.hpp"

namespace kqz::server {
namespace {

using nlohmann::json;

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The session of a request is gone from the database (another server ended
// it, or the limit pushed it out) while the request was being answered.
class SessionGone : public std::runtime_error {
  public:
    SessionGone() : std::runtime_error("sessão encerrada") {}
};

constexpr auto kRefreshEvery = std::chrono::seconds(1);

std::string Hex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0xF];
    }
    return out;
}

// The first 8 bytes of HMAC-SHA256(key, text), in hex.
std::string Mac(const std::string& key, const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &size);
    return Hex(digest, 8);
}

HttpAnswer Expired() {
    HttpAnswer a;
    a.status = 403;
    a.body =
        nlohmann::json{{"SessionExpired", "Sessão expirada ou desconhecida. Conecte-se novamente."}}.dump(
            -1, ' ', false, nlohmann::json::error_handler_t::replace);
    return a;
}

HttpAnswer Error(int status, const std::string& message) {
    HttpAnswer a;
    a.status = status;
    a.body = Dump(json{{"error", message}});
    return a;
}

HttpAnswer Result(json values) {
    HttpAnswer a;
    a.body = Dump(json{{"result", std::move(values)}});
    return a;
}

// The size of one piece of a streamed documents answer.
constexpr std::size_t kDocumentsPiece = std::size_t{1} << 20;

// Fills `buf` from `answer` until it is full or the answer ends; returns the
// bytes copied (fewer than `cap` only at the end).
std::size_t FillPiece(DocumentsAnswer& answer, char* buf, std::size_t cap) {
    std::size_t done = 0;
    while (done < cap) {
        const std::size_t n = answer.Next(buf + done, cap - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

// The methods of TServerMethods1 with their number of inputs.
struct MethodInfo {
    const char* name;
    std::size_t inputs;
    bool supported;
};

constexpr MethodInfo kMethods[] = {
    {"EchoString", 1, true},
    {"ReverseString", 1, true},
    {"RetornaGrid", 5, false},
    {"IncluirPedido", 1, false},
    {"RetornaCapaPedidoCliente", 2, false},
    {"AtualizarValidade", 2, false},
    {"RetornaEndereco", 2, false},
    {"ValidarCpf", 1, true},
    {"ValidaCNPJ", 1, true},
    {"SelectCloud", 1, true},
    {"ExecuteCloud", 1, true},
    {"UpdateImagem", 3, false},
};

const MethodInfo* FindMethod(const std::string& name) {
    for (const auto& m : kMethods) {
        if (name == m.name)
            return &m;
    }
    return nullptr;
}

// Reverses by characters, not bytes, so that accented text stays valid UTF-8.
std::string ReverseUtf8(const std::string& text) {
    std::vector<std::string> chars;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = 1;
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0xF0) {
            len = 4;
        } else if (c >= 0xE0) {
            len = 3;
        } else if (c >= 0xC0) {
            len = 2;
        }
        chars.push_back(text.substr(i, len));
        i += len;
    }
    std::string out;
    out.reserve(text.size());
    for (auto it = chars.rbegin(); it != chars.rend(); ++it)
        out += *it;
    return out;
}

codec::Column TextColumn(std::string name) {
    codec::Column c;
    c.name = std::move(name);
    c.type = codec::DataType::WideString;
    c.size = 1;
    return c;
}

codec::Column TypedColumn(std::string name, codec::DataType type) {
    codec::Column c;
    c.name = std::move(name);
    c.type = type;
    return c;
}

// Integers of the parameter table travel as dtInt32.
void NarrowToInt32(std::vector<codec::Row>& rows, std::size_t column, const std::string& name) {
    for (auto& row : rows) {
        if (const auto* v = std::get_if<std::int64_t>(&row[column])) {
            if (*v < std::numeric_limits<std::int32_t>::min() ||
                *v > std::numeric_limits<std::int32_t>::max()) {
                throw std::runtime_error("valor de " + name + " fora da faixa de um inteiro de 32 bits");
            }
        } else if (const auto* s = std::get_if<std::string>(&row[column])) {
            throw std::runtime_error("valor de " + name + " não é inteiro: " + s->substr(0, 40));
        }
    }
}

}  // namespace

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) {
            throw std::invalid_argument("escape % malformado na posição " + std::to_string(i));
        }
        out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
        i += 2;
    }
    return out;
}

std::vector<std::string> SplitPath(const std::string& rawPath) {
    std::vector<std::string> segments;
    std::size_t start = 0;
    for (;;) {
        const auto slash = rawPath.find('/', start);
        segments.push_back(PercentDecode(rawPath.substr(start, slash - start)));
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return segments;
}

std::string SessionIdFromPragma(const std::string& pragma) {
    std::size_t start = 0;
    while (start <= pragma.size()) {
        auto end = pragma.find_first_of(",;", start);
        if (end == std::string::npos)
            end = pragma.size();
        std::string item = pragma.substr(start, end - start);
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        item = first == std::string::npos ? std::string() : item.substr(first, last - first + 1);
        constexpr std::string_view key = "dssession=";
        if (item.size() > key.size() && item.compare(0, key.size(), key) == 0)
            return item.substr(key.size());
        start = end + 1;
    }
    return {};
}

std::string LoggablePath(const std::string& target) {
    constexpr std::size_t kPrefix = 24;
    const auto q = target.find('?');
    const std::string path = target.substr(0, q);
    std::string out;
    std::size_t start = 0;
    int index = 0;
    for (;;) {
        const auto slash = path.find('/', start);
        std::string segment = path.substr(start, slash - start);
        // /datasnap/rest/Class/Method/args...: from the fifth piece on, arguments.
        if (index >= 5 && segment.size() > kPrefix)
            segment = segment.substr(0, kPrefix) + "...";
        if (index > 0)
            out += '/';
        out += segment;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
        ++index;
    }
    if (q != std::string::npos) {
        std::string keys;
        std::size_t s = q + 1;
        while (s <= target.size()) {
            auto amp = target.find('&', s);
            if (amp == std::string::npos)
                amp = target.size();
            const std::string pair = target.substr(s, amp - s);
            if (!keys.empty())
                keys += '&';
            keys += pair.substr(0, std::min(pair.find('='), std::size_t{32})) + "=...";
            s = amp + 1;
        }
        out += "?" + keys;
    }
    return out;
}

Service::Service(Storage& storage, ServiceOptions options)
    : storage_(storage),
      options_(std::move(options)),
      sessionKey_(storage_.SessionKey()),
      sessions_(options_.sessionIdle, options_.maxSessions, options_.clock,
                [this] { return NewSessionId(); }),
      cache_(options_.cacheBytes) {
    // A session this server pushes out to make room is over everywhere.
    sessions_.OnEvicted([this](const std::string& id) {
        try {
            storage_.EndSession(id);
        } catch (const std::exception&) {
            // The database expires it in its time.
        }
    });
}

// An id is a random GUID and its signature under the database's session
// key: any server of the database recognises the ids the others gave, so a
// session needs no row until an identification releases something in it.
std::string Service::NewSessionId() const {
    // The first four bytes say when the id was given (seconds since the
    // epoch), the other twelve are random.
    unsigned char bytes[16];
    if (RAND_bytes(bytes + 4, sizeof bytes - 4) != 1)
        throw std::runtime_error("sem números aleatórios para o id da sessão");
    const auto seconds = static_cast<std::uint32_t>(NowMs() / 1000);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(seconds >> (24 - 8 * i));
    const std::string hex = Hex(bytes, sizeof bytes);
    const std::string guid = hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
                             hex.substr(16, 4) + "-" + hex.substr(20);
    return guid + "-" + Mac(sessionKey_, guid);
}

bool Service::Genuine(const std::string& id) const {
    if (id.size() != 36 + 1 + 16 || id[36] != '-')
        return false;
    const std::string expected = Mac(sessionKey_, id.substr(0, 36));
    return CRYPTO_memcmp(expected.data(), id.data() + 37, expected.size()) == 0;
}

// True while an id given `sessionIdle` ago or less could still be a live
// session that identified nobody (such a session has no row anywhere).
bool Service::Recent(const std::string& id) const {
    const auto given = static_cast<std::int64_t>(std::stoul(id.substr(0, 8), nullptr, 16));
    return NowMs() / 1000 - given < options_.sessionIdle.count() / 1000;
}

// Wall-clock milliseconds as the service's clock sees them (the database
// compares them across servers; a test's clock moves them along).
std::int64_t Service::NowMs() const {
    const auto offset = options_.clock() - Clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               (std::chrono::system_clock::now() + offset).time_since_epoch())
        .count();
}

void Service::CheckMayRead(Session& session, const std::string& cnpj) {
    auto mayRead = [&] {
        std::lock_guard lock(session.mutex);
        return session.MayRead(cnpj);
    };
    if (mayRead()) {
        return;
    }
    // What another server's identification released is read on a miss.
    if (!Refresh(session, true))
        throw SessionGone();
    if (!mayRead()) {
        throw std::runtime_error("o CNPJ " + cnpj.substr(0, 20) +
                                 " não foi liberado nesta sessão: identifique o e-mail antes");
    }
}

bool Service::Refresh(Session& session, bool force) {
    const auto now = options_.clock();
    {
        std::lock_guard lock(session.mutex);
        if (!force && now - session.storedAt < kRefreshEvery)
            return true;
        session.storedAt = now;
    }
    const auto stored = storage_.TouchSession(session.id, NowMs(), options_.sessionIdle.count());
    if (!stored) {
        if (!session.identified)
            return true;
        sessions_.Close(session.id);
        return false;
    }
    std::lock_guard lock(session.mutex);
    session.admin = session.admin || stored->admin;
    session.cnpjs.insert(stored->cnpjs.begin(), stored->cnpjs.end());
    session.identified = true;
    return true;
}

std::shared_ptr<Session> Service::FindSession(const std::string& id) {
    if (!Genuine(id))
        return nullptr;
    if (auto session = sessions_.Find(id)) {
        if (session->identified && !Refresh(*session, false))
            return nullptr;
        return session;
    }
    // Given by another server, or dropped here: the database knows whether
    // an identification made it worth keeping.
    const auto stored = storage_.TouchSession(id, NowMs(), options_.sessionIdle.count());
    if (!stored && (sessions_.Dropped(id) || !Recent(id)))
        return nullptr;
    auto session = sessions_.Adopt(id);
    if (stored) {
        std::lock_guard lock(session->mutex);
        session->admin = session->admin || stored->admin;
        session->cnpjs.insert(stored->cnpjs.begin(), stored->cnpjs.end());
        session->storedAt = options_.clock();
        session->identified = true;
    }
    return session;
}

void Service::Remember(Session& session, bool admin, const std::vector<std::string>& cnpjs) {
    storage_.SaveSession(session.id, admin, cnpjs, NowMs(), options_.sessionIdle.count(),
                         options_.maxSessions);
    std::lock_guard lock(session.mutex);
    session.storedAt = options_.clock();
}

bool Service::IsBulk(const HttpRequest& request) const {
    try {
        const auto segments = SplitPath(request.target.substr(0, request.target.find('?')));
        // A cached result is a stored answer, often a month's documents.
        if (segments.size() >= 3 && segments[2] == "cache")
            return request.verb == "GET";
        // "", "datasnap", "rest", "TServerMethods1", "SelectCloud", sql
        if (segments.size() < 6 || segments[2] != "rest" || segments[4] != "SelectCloud")
            return false;
        return std::holds_alternative<DocumentsQuery>(ParseStatement(segments[5]));
    } catch (const std::exception&) {
        return false;
    }
}

HttpAnswer Service::Handle(const HttpRequest& request) {
    // Checked before anything looks at the body: nothing below may recurse
    // on an attacker's nesting.
    if (JsonNesting(request.body) > kMaxBodyNesting) {
        return Error(400, "corpo da requisição aninhado demais (mais de " + std::to_string(kMaxBodyNesting) +
                              " níveis)");
    }
    try {
        const auto q = request.target.find('?');
        const std::string rawPath = request.target.substr(0, q);
        std::vector<std::string> segments;
        try {
            segments = SplitPath(rawPath);
        } catch (const std::invalid_argument& e) {
            return Error(400, std::string("caminho inválido: ") + e.what());
        }
        // "/datasnap/rest/..." splits into "", "datasnap", "rest", ...
        if (segments.size() < 3 || !segments[0].empty() || segments[1] != "datasnap") {
            return Error(404, "caminho desconhecido: use /datasnap/rest/TServerMethods1/<Método>/");
        }
        const std::string& context = segments[2];
        if (context != "rest" && context != "cache") {
            return Error(501, "contexto desconhecido: " + context.substr(0, 40));
        }

        // The session: from Pragma, else ?sid=, else ?SESSIONID=; none makes a new one.
        std::string sessionId = SessionIdFromPragma(request.pragma);
        if (sessionId.empty() && q != std::string::npos) {
            const std::string query = request.target.substr(q + 1);
            std::size_t s = 0;
            while (s <= query.size() && sessionId.empty()) {
                auto amp = query.find('&', s);
                if (amp == std::string::npos)
                    amp = query.size();
                const std::string pair = query.substr(s, amp - s);
                const auto eq = pair.find('=');
                if (eq != std::string::npos) {
                    const std::string key = pair.substr(0, eq);
                    if (key == "sid" || key == "SESSIONID") {
                        try {
                            sessionId = PercentDecode(pair.substr(eq + 1));
                        } catch (const std::invalid_argument&) {
                            sessionId = pair.substr(eq + 1);
                        }
                    }
                }
                s = amp + 1;
            }
        }
        std::shared_ptr<Session> session;
        if (!sessionId.empty()) {
            session = FindSession(sessionId);
            if (!session)
                return Expired();
        } else {
            session = sessions_.Create();
        }

        const bool trailingSlash = !rawPath.empty() && rawPath.back() == '/';
        std::vector<std::string> rest(segments.begin() + 3, segments.end());
        if (trailingSlash && !rest.empty())
            rest.pop_back();

        HttpAnswer answer;
        try {
            answer = context == "rest" ? Rest(request, rest, trailingSlash, *session)
                                       : Cache(request, rest, *session);
        } catch (const SessionGone&) {
            return Expired();
        } catch (const std::exception& e) {
            answer = Error(500, e.what());
        }
        if (answer.pragma.empty() && sessions_.Find(session->id)) {
            answer.pragma = "dssession=" + session->id +
                            ",dssessionexpires=" + std::to_string(sessions_.RemainingMs(*session));
        }
        return answer;
    } catch (const std::exception& e) {
        return Error(500, e.what());
    }
}

HttpAnswer Service::Rest(const HttpRequest& request, const std::vector<std::string>& segments, bool,
                         Session& session) {
    if (segments.empty() || segments[0].empty()) {
        return Error(500, "chamada sem classe: use /datasnap/rest/TServerMethods1/<Método>/");
    }
    if (segments[0] == "CloseSession" && segments.size() == 1) {
        sessions_.Close(session.id);
        // It may have identified through another server: over everywhere.
        storage_.EndSession(session.id);
        HttpAnswer a = Result(json::array({true}));
        a.pragma = "dssession=" + session.id + ",dssessionexpires=0";
        return a;
    }
    if (segments[0] != "TServerMethods1") {
        return Error(500, "classe desconhecida: " + segments[0].substr(0, 60));
    }
    if (segments.size() < 2 || segments[1].empty()) {
        return Error(500, "chamada sem método: use /datasnap/rest/TServerMethods1/<Método>/");
    }
    std::string method = segments[1];
    const bool quoted = method.size() >= 2 && method.front() == '"' && method.back() == '"';
    if (quoted) {
        method = method.substr(1, method.size() - 2);
    } else if (request.verb == "PUT") {
        method = "accept" + method;
    } else if (request.verb == "POST") {
        method = "update" + method;
    } else if (request.verb == "DELETE") {
        method = "cancel" + method;
    }
    const MethodInfo* info = FindMethod(method);
    if (!info)
        return Error(500, "método desconhecido: TServerMethods1." + method.substr(0, 60));
    if (!info->supported) {
        return Error(500, "o método TServerMethods1." + method + " não é suportado por este servidor");
    }

    std::vector<std::optional<std::string>> args(segments.begin() + 2, segments.end());
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "null") {
            args[i] = std::nullopt;
        } else if (FindInvalidUtf8(*args[i]) != std::string::npos) {
            return Error(500, "argumento " + std::to_string(i + 1) + " não é texto UTF-8 válido");
        }
    }
    if (args.size() < info->inputs && !request.body.empty()) {
        try {
            for (auto& v : BodyArguments(request.body))
                args.push_back(std::move(v));
        } catch (const std::invalid_argument& e) {
            return Error(500, e.what());
        }
    }
    if (args.size() > info->inputs) {
        return Error(500, "TServerMethods1." + method + " recebe " + std::to_string(info->inputs) +
                              " parâmetro(s), vieram " + std::to_string(args.size()));
    }
    args.resize(info->inputs);

    const auto& arg = args[0];
    if (method == "EchoString")
        return Result(json::array({arg ? json(*arg) : json(nullptr)}));
    if (method == "ReverseString")
        return Result(json::array({arg ? json(ReverseUtf8(*arg)) : json(nullptr)}));
    if (method == "ValidarCpf")
        return Result(json::array({arg && ValidarCpf(*arg)}));
    if (method == "ValidaCNPJ")
        return Result(json::array({arg && ValidaCNPJ(*arg)}));
    if (method == "ExecuteCloud") {
        if (!options_.allowExecute) {
            return Error(500,
                         "ExecuteCloud está desativado neste servidor (o operador pode ativá-lo com "
                         "--allow-execute)");
        }
        if (!InAnyRange(options_.adminFrom, request.peer)) {
            return Error(500, "ExecuteCloud só é aceito a partir das redes de administração");
        }
        if (!arg || arg->empty())
            return Error(500, "ExecuteCloud sem comando SQL");
        storage_.Execute(*arg);
        return Result(json::array({true}));
    }
    return SelectCloud(arg, request, session);
}

HttpAnswer Service::SelectCloud(const std::optional<std::string>& sql, const HttpRequest& request,
                                Session& session) {
    if (!sql || sql->empty())
        return Error(500, "SelectCloud sem comando SQL");
    Statement statement;
    try {
        statement = ParseStatement(*sql);
    } catch (const PolicyError& e) {
        return Error(500, e.what());
    }
    const bool cacheForm = request.accept.find("application/rest") != std::string::npos;
    if (const auto* docs = std::get_if<DocumentsQuery>(&statement); docs && !cacheForm) {
        return DocumentsAnswerOf(*docs, session);
    }
    codec::Dataset ds = RunSelect(statement, request.peer, session);
    codec::FitStringSizes(ds);
    const std::vector<codec::NamedDataset> sets{{"Query", &ds}};

    if (cacheForm) {
        // The cache form: keep the list in the session and answer its reference.
        const int cacheId =
            cache_.Put(session.shared_from_this(), codec::WriteMarshalledDataSets(sets, options_.write));
        HttpAnswer a;
        a.contentType = "application/rest";
        a.body = Dump(json{{"result", json::array({std::to_string(cacheId) + "/0/0"})},
                           {"cacheId", cacheId},
                           {"cmdIndex", 0}});
        return a;
    }
    HttpAnswer a;
    a.body = codec::WriteResultBody(sets, options_.write);
    return a;
}

HttpAnswer Service::DocumentsAnswerOf(const DocumentsQuery& query, Session& session) {
    CheckMayRead(session, query.cnpj);
    // A month's documents are written while they are sent, never whole. The
    // first piece is made here: it reads every row once, so that a storage
    // failure still gets the usual error answer; a failure after that can only
    // cut the answer short.
    auto answer =
        std::make_shared<DocumentsAnswer>(storage_, query.cnpj, query.month, query.alias, options_.write);
    auto first = std::make_shared<std::string>(kDocumentsPiece, '\0');
    first->resize(FillPiece(*answer, first->data(), first->size()));
    HttpAnswer a;
    a.produce = [answer, first](std::string& piece) mutable {
        if (first) {
            piece = std::move(*first);
            first.reset();
        } else {
            piece.resize(kDocumentsPiece);
            try {
                piece.resize(FillPiece(*answer, piece.data(), piece.size()));
            } catch (...) {
                answer.reset();  // its memory goes back now, on this worker
                throw;
            }
        }
        if (piece.size() < kDocumentsPiece) {
            answer.reset();
            return false;
        }
        return true;
    };
    return a;
}

HttpAnswer Service::Cache(const HttpRequest& request, const std::vector<std::string>& segments,
                          Session& session) {
    auto number = [](const std::string& s) -> int {
        if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::stoi(s);
    };
    const int cacheId = segments.empty() ? -1 : number(segments[0]);
    if (cacheId < 0)
        return Error(404, "item de cache inválido: use /datasnap/cache/<cacheId>/<cmdIndex>/<paramIndex>");
    std::lock_guard lock(session.mutex);
    auto it = session.cache.find(cacheId);
    if (request.verb == "DELETE") {
        const bool found = it != session.cache.end();
        if (found)
            session.cache.erase(it);
        return Result(json::array({found}));
    }
    if (segments.size() != 3 || number(segments[1]) != 0 || number(segments[2]) != 0 ||
        it == session.cache.end()) {
        return Error(404, "item de cache não encontrado nesta sessão");
    }
    HttpAnswer a;
    a.body.reserve(it->second->Text().size() + 16);
    a.body = "{\"result\":[";
    a.body += it->second->Text();
    a.body += "]}";
    return a;
}

codec::Dataset Service::RunSelect(const Statement& statement, const std::string& peer, Session& session) {
    codec::Dataset ds;
    ds.name = "Query";
    if (const auto* v = std::get_if<VersionQuery>(&statement)) {
        ds.columns = {TypedColumn(v->columns[0], codec::DataType::Int32), TextColumn(v->columns[1]),
                      TextColumn(v->columns[2])};
        ds.rows = storage_.Version(v->parameter);
        NarrowToInt32(ds.rows, 0, v->columns[0]);
    } else if (const auto* u = std::get_if<UsersQuery>(&statement)) {
        ds.columns = {TextColumn("AU_EMAIL"), TextColumn("AU_CNPJ")};
        ds.rows = storage_.Users(u->email);
        std::vector<std::string> released;
        for (const auto& row : ds.rows) {
            if (const auto* cnpj = std::get_if<std::string>(&row[1]))
                released.push_back(*cnpj);
        }
        if (!released.empty()) {
            Remember(session, false, released);
            std::lock_guard lock(session.mutex);
            session.cnpjs.insert(released.begin(), released.end());
            session.identified = true;
        }
    } else if (const auto* a = std::get_if<AdminUsersQuery>(&statement)) {
        if (!InAnyRange(options_.adminFrom, peer)) {
            throw std::runtime_error("a identificação do administrador não é aceita a partir do endereço " +
                                     peer);
        }
        ds.columns = {TextColumn(a->alias)};
        ds.rows = storage_.DocumentCnpjs();
        Remember(session, true, {});
        std::lock_guard lock(session.mutex);
        session.admin = true;
        session.identified = true;
    } else if (const auto* c = std::get_if<CompaniesQuery>(&statement)) {
        ds.columns = {TextColumn(c->columns[0]), TextColumn(c->columns[1])};
        std::vector<std::string> allowed;
        for (int attempt = 0; attempt < 2 && allowed.size() < c->cnpjs.size(); ++attempt) {
            // What another server's identification released is read on a miss.
            if (attempt == 1 && !Refresh(session, true))
                throw SessionGone();
            allowed.clear();
            std::lock_guard lock(session.mutex);
            for (const auto& cnpj : c->cnpjs) {
                if (session.MayRead(cnpj))
                    allowed.push_back(cnpj);
            }
        }
        if (!allowed.empty())
            ds.rows = storage_.Companies(allowed);
    } else {
        const std::string* cnpj = nullptr;
        const std::string* month = nullptr;
        const auto* count = std::get_if<CountQuery>(&statement);
        const auto* docs = std::get_if<DocumentsQuery>(&statement);
        if (count) {
            cnpj = &count->cnpj;
            month = &count->month;
        } else {
            cnpj = &docs->cnpj;
            month = &docs->month;
        }
        CheckMayRead(session, *cnpj);
        if (count) {
            ds.columns = {TypedColumn(count->alias, codec::DataType::Int32)};
            ds.rows.push_back({storage_.CountDocuments(*cnpj, *month)});
        } else {
            ds = DocumentsTable(docs->alias);
            storage_.Documents(*cnpj, *month, [&](codec::Row&& row) { ds.rows.push_back(std::move(row)); });
        }
    }
    return ds;
}

}  // namespace kqz::server
