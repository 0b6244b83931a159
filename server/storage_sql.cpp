#include "server/storage_sql.hpp"

#include <nlohmann/json.hpp>

#include <random>

namespace kqz::server {
namespace {

std::int64_t Int(const codec::Value& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return *i;
    if (const auto* s = std::get_if<std::string>(&v))
        return std::stoll(*s);
    return 0;
}

std::string Text(const codec::Value& v) {
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return std::to_string(*i);
    return {};
}

std::string RandomHex(std::size_t bytes) {
    std::random_device device;
    std::string out;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes; ++i) {
        const auto b = device() & 0xFFu;
        out += kDigits[b >> 4];
        out += kDigits[b & 0xFu];
    }
    return out;
}

}  // namespace

const char* const kSessionSchema[3] = {
    "CREATE TABLE IF NOT EXISTS KQZ_SESSAO (ID TEXT PRIMARY KEY, ADMIN INTEGER NOT NULL DEFAULT 0, "
    "ULTIMO_USO BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS KQZ_SESSAO_CNPJ (ID TEXT NOT NULL, CNPJ TEXT NOT NULL, PRIMARY KEY (ID, "
    "CNPJ))",
    "CREATE TABLE IF NOT EXISTS KQZ_CHAVE (NOME TEXT PRIMARY KEY, VALOR TEXT NOT NULL)",
};

void SqlStorage::CreateSessionTables(SqlConnection& c) {
    for (const char* sql : kSessionSchema)
        c.Change(sql, {});
    c.Change("CREATE INDEX IF NOT EXISTS KQZ_SESSAO_USO ON KQZ_SESSAO (ULTIMO_USO)", {});
    // The key that signs the ids of sessions not yet stored, the same for
    // every server of this database.
    c.Change("INSERT INTO KQZ_CHAVE (NOME, VALOR) VALUES ('sessao', $1) ON CONFLICT (NOME) DO NOTHING",
             {RandomHex(32)});
}

std::vector<codec::Row> SqlStorage::ReadRows(const std::string& sql, const std::vector<std::string>& params,
                                             const std::vector<bool>& integer) {
    std::vector<codec::Row> rows;
    Read([&](SqlConnection& c) { rows = c.Query(sql, params, integer); });
    return rows;
}

std::size_t SqlStorage::WriteOne(const std::string& sql, const std::vector<std::string>& params) {
    std::size_t changed = 0;
    Write([&](SqlConnection& c) { changed = c.Change(sql, params); });
    return changed;
}

void SqlStorage::Ping() {
    ReadRows("SELECT VERSION FROM KQZ_SCHEMA LIMIT 1", {}, {true});
}

std::vector<codec::Row> SqlStorage::Version(const std::string& parameter) {
    return ReadRows("SELECT AP_CONTEUDO_INT, AP_CONTEUDO_STR, AP_DESCR FROM KQZ_SADp WHERE AP_PARAMETRO = $1",
                    {parameter}, {true, false, false});
}

std::vector<codec::Row> SqlStorage::Users(const std::string& email) {
    return ReadRows(
        "SELECT AU_EMAIL, AU_CNPJ FROM KQZ_SADu WHERE AU_EMAIL = $1 ORDER BY AU_CNPJ" + ByteOrder(), {email},
        {false, false});
}

std::vector<codec::Row> SqlStorage::DocumentCnpjs() {
    return ReadRows("SELECT AD_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ" + ByteOrder(), {},
                    {false});
}

std::vector<codec::Row> SqlStorage::Companies(const std::vector<std::string>& cnpjs) {
    return ReadRows("SELECT M00_FANT, M00_CNPJ FROM M00 WHERE M00_CNPJ IN (" + JsonElements(1) +
                        ") GROUP BY M00_FANT, M00_CNPJ ORDER BY M00_FANT" + ByteOrder() + ", M00_CNPJ" +
                        ByteOrder(),
                    {nlohmann::json(cnpjs).dump()}, {false, false});
}

std::int64_t SqlStorage::CountDocuments(const std::string& cnpj, const std::string& month) {
    const auto rows =
        ReadRows("SELECT QTD FROM KQZ_SAD_QTD WHERE AD_CNPJ = $1 AND AD_DATA = $2", {cnpj, month}, {true});
    return rows.empty() ? 0 : Int(rows[0][0]);
}

ImportOutcome SqlStorage::Import(const std::vector<StoredDocument>& batch) {
    ImportOutcome out;
    Write([&](SqlConnection& c) {
        out = {};
        for (const auto& d : batch) {
            const auto n = c.Change(
                "INSERT INTO KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML) VALUES ($1, $2, $3, $4, "
                "$5) "
                "ON CONFLICT (AD_NUMERO) DO NOTHING",
                {d.cnpj, d.month, d.numero, d.valor, d.xml});
            if (n > 0) {
                ++out.inserted;
            } else {
                ++out.alreadyStored;
            }
        }
    });
    return out;
}

bool SqlStorage::AddCompany(const std::string& cnpj, const std::string& name) {
    return WriteOne("INSERT INTO M00 (M00_FANT, M00_CNPJ) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                    {name, cnpj}) > 0;
}

bool SqlStorage::AddUser(const std::string& email, const std::string& cnpj) {
    return WriteOne("INSERT INTO KQZ_SADu (AU_EMAIL, AU_CNPJ) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                    {email, cnpj}) > 0;
}

std::size_t SqlStorage::RemoveUser(const std::string& email, const std::optional<std::string>& cnpj) {
    if (cnpj)
        return WriteOne("DELETE FROM KQZ_SADu WHERE AU_EMAIL = $1 AND AU_CNPJ = $2", {email, *cnpj});
    return WriteOne("DELETE FROM KQZ_SADu WHERE AU_EMAIL = $1", {email});
}

void SqlStorage::SetVersion(std::int64_t build, const std::string& link, const std::string& description) {
    WriteOne(
        "INSERT INTO KQZ_SADp (AP_PARAMETRO, AP_CONTEUDO_INT, AP_CONTEUDO_STR, AP_DESCR) "
        "VALUES ('P_VERATU', CAST($1 AS BIGINT), $2, $3) ON CONFLICT (AP_PARAMETRO) DO UPDATE SET "
        "AP_CONTEUDO_INT = excluded.AP_CONTEUDO_INT, AP_CONTEUDO_STR = excluded.AP_CONTEUDO_STR, "
        "AP_DESCR = excluded.AP_DESCR",
        {std::to_string(build), link, description});
}

Stats SqlStorage::GetStats() {
    Stats s;
    Read([&](SqlConnection& c) {
        auto count = [&](const char* sql) { return Int(c.Query(sql, {}, {true}).at(0).at(0)); };
        s.documents = count("SELECT COUNT(*) FROM KQZ_SAD");
        s.users = count("SELECT COUNT(*) FROM KQZ_SADu");
        s.companies = count("SELECT COUNT(*) FROM M00");
        s.parameters = count("SELECT COUNT(*) FROM KQZ_SADp");
        for (const auto& row :
             c.Query("SELECT AD_CNPJ, AD_DATA, COUNT(*) FROM KQZ_SAD GROUP BY AD_CNPJ, AD_DATA "
                     "ORDER BY AD_CNPJ" +
                         ByteOrder() + ", AD_DATA" + ByteOrder(),
                     {}, {false, false, true})) {
            s.perCompanyMonth.push_back({Text(row[0]), Text(row[1]), Int(row[2])});
        }
    });
    return s;
}

// --- Sessions. A session is stored once an identification released
// something in it; its last use moves forward only.

void SqlStorage::SaveSession(const std::string& id, bool admin, const std::vector<std::string>& cnpjs,
                             std::int64_t nowMs, std::int64_t idleMs, std::size_t maxSessions) {
    const std::string expired = std::to_string(nowMs - idleMs);
    Write([&](SqlConnection& c) {
        c.Change(
            "DELETE FROM KQZ_SESSAO_CNPJ WHERE ID IN (SELECT ID FROM KQZ_SESSAO WHERE ULTIMO_USO <= "
            "CAST($1 AS BIGINT))",
            {expired});
        c.Change("DELETE FROM KQZ_SESSAO WHERE ULTIMO_USO <= CAST($1 AS BIGINT)", {expired});
        c.Change(
            "INSERT INTO KQZ_SESSAO (ID, ADMIN, ULTIMO_USO) VALUES ($1, CAST($2 AS INTEGER), CAST($3 AS "
            "BIGINT)) "
            "ON CONFLICT (ID) DO UPDATE SET ADMIN = CASE WHEN excluded.ADMIN = 1 THEN 1 ELSE "
            "KQZ_SESSAO.ADMIN "
            "END, ULTIMO_USO = excluded.ULTIMO_USO",
            {id, admin ? "1" : "0", std::to_string(nowMs)});
        if (!cnpjs.empty()) {
            c.Change("INSERT INTO KQZ_SESSAO_CNPJ (ID, CNPJ) SELECT CAST($1 AS TEXT), v.e FROM (" +
                         JsonElements(2) + ") AS v WHERE 1 = 1 ON CONFLICT DO NOTHING",
                     {id, nlohmann::json(cnpjs).dump()});
        }
        // Beyond the limit the least recently used sessions go.
        const auto live = Int(c.Query("SELECT COUNT(*) FROM KQZ_SESSAO", {}, {true}).at(0).at(0));
        if (live > static_cast<std::int64_t>(maxSessions)) {
            for (const auto& row :
                 c.Query("SELECT ID FROM KQZ_SESSAO WHERE ID <> $1 ORDER BY ULTIMO_USO LIMIT "
                         "CAST($2 AS BIGINT)",
                         {id, std::to_string(live - static_cast<std::int64_t>(maxSessions))}, {false})) {
                c.Change("DELETE FROM KQZ_SESSAO_CNPJ WHERE ID = $1", {Text(row[0])});
                c.Change("DELETE FROM KQZ_SESSAO WHERE ID = $1", {Text(row[0])});
            }
        }
    });
}

std::optional<StoredSession> SqlStorage::TouchSession(const std::string& id, std::int64_t nowMs,
                                                      std::int64_t idleMs) {
    // Read first: an id that was never stored costs no write.
    std::optional<StoredSession> out;
    bool expired = false;
    Read([&](SqlConnection& c) {
        const auto row =
            c.Query("SELECT ADMIN, ULTIMO_USO FROM KQZ_SESSAO WHERE ID = $1", {id}, {true, true});
        if (row.empty())
            return;
        if (Int(row[0][1]) <= nowMs - idleMs) {
            expired = true;
            return;
        }
        StoredSession s;
        s.admin = Int(row[0][0]) != 0;
        for (const auto& cnpj : c.Query("SELECT CNPJ FROM KQZ_SESSAO_CNPJ WHERE ID = $1", {id}, {false}))
            s.cnpjs.push_back(Text(cnpj[0]));
        out = std::move(s);
    });
    if (expired) {
        EndSession(id);
        return std::nullopt;
    }
    if (!out)
        return std::nullopt;
    // Another server may have ended it in between: then it is gone here too.
    if (WriteOne(
            "UPDATE KQZ_SESSAO SET ULTIMO_USO = CAST($2 AS BIGINT) WHERE ID = $1 AND ULTIMO_USO < CAST($2 "
            "AS BIGINT)",
            {id, std::to_string(nowMs)}) == 0) {
        const auto still = ReadRows("SELECT ID FROM KQZ_SESSAO WHERE ID = $1", {id}, {false});
        if (still.empty())
            return std::nullopt;
    }
    return out;
}

void SqlStorage::EndSession(const std::string& id) {
    Write([&](SqlConnection& c) {
        c.Change("DELETE FROM KQZ_SESSAO_CNPJ WHERE ID = $1", {id});
        c.Change("DELETE FROM KQZ_SESSAO WHERE ID = $1", {id});
    });
}

std::size_t SqlStorage::CountSessions(std::int64_t nowMs, std::int64_t idleMs) {
    const auto rows = ReadRows("SELECT COUNT(*) FROM KQZ_SESSAO WHERE ULTIMO_USO > CAST($1 AS BIGINT)",
                               {std::to_string(nowMs - idleMs)}, {true});
    return static_cast<std::size_t>(Int(rows.at(0).at(0)));
}

std::string SqlStorage::SessionKey() {
    const auto rows = ReadRows("SELECT VALOR FROM KQZ_CHAVE WHERE NOME = 'sessao'", {}, {false});
    if (rows.empty())
        throw StorageError("banco " + Describe() + ": falta a chave das sessões");
    return Text(rows[0][0]);
}

}  // namespace kqz::server
