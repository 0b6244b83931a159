#include "cloud/codec/dataset_list.hpp"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

#include "cloud/codec/adbs_internal.hpp"
#include "cloud/codec/adbs_reader.hpp"
#include "cloud/codec/base64_internal.hpp"
#include "cloud/codec/dataset_list_internal.hpp"
#include "cloud/codec/text.hpp"
#include "cloud/codec/zlib_internal.hpp"

namespace kqz::codec {
namespace {

// A string of the JSON text: already unescaped (from a JSON tree) or the raw
// inside of a string found in a body.
struct TextRef {
    std::string_view view;
    bool escaped = false;
};

std::string Unescape(const TextRef& t) {
    if (!t.escaped)
        return std::string(t.view);
    try {
        std::string quoted;
        quoted.reserve(t.view.size() + 2);
        quoted.push_back('"');
        quoted.append(t.view);
        quoted.push_back('"');
        return nlohmann::json::parse(quoted).get<std::string>();
    } catch (const nlohmann::json::exception& e) {
        throw CodecError(std::string("texto JSON inválido: ") + e.what());
    }
}

[[noreturn]] void NotAList(const std::string& why) {
    throw CodecError("lista de datasets inválida: " + why);
}

// Walks a dataset-list value of a JSON tree. `text` turns a JSON string value
// into a TextRef (placeholders of big strings included).
template <class Json, class TextOf>
std::optional<std::vector<std::pair<TextRef, TextRef>>> Walk(const Json& value, TextOf text) {
    if (value.is_null())
        return std::nullopt;
    if (!value.is_object())
        NotAList("esperava um objeto ou null");

    std::vector<std::pair<TextRef, TextRef>> out;
    const auto type = value.find("type");
    const auto fields = value.find("fields");
    const bool marshalled =
        type != value.end() && type->is_string() && fields != value.end() && fields->is_object();
    if (!marshalled) {
        // The plain object {name: base64, ...}.
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!it->is_string())
                NotAList("o valor de \"" + it.key() + "\" não é um texto");
            out.emplace_back(TextRef{it.key(), false}, text(*it));
        }
        return out;
    }
    const std::string& typeName = type->template get_ref<const std::string&>();
    const std::string_view suffix = "TFDJSONDataSets";
    if (typeName.size() < suffix.size() ||
        typeName.compare(typeName.size() - suffix.size(), suffix.size(), suffix) != 0) {
        NotAList("objeto do tipo \"" + typeName + "\"");
    }

    // Objects by id, for {"type":..,"ref":N} back-references.
    std::unordered_map<std::int64_t, const Json*> byId;
    std::vector<const Json*> stack{&value};
    while (!stack.empty()) {
        const Json* node = stack.back();
        stack.pop_back();
        if (node->is_object()) {
            const auto id = node->find("id");
            if (id != node->end() && id->is_number_integer() && node->contains("fields")) {
                if (!byId.emplace(id->template get<std::int64_t>(), node).second) {
                    NotAList("id " + std::to_string(id->template get<std::int64_t>()) + " repetido");
                }
            }
        }
        if (node->is_structured()) {
            for (const auto& child : *node) {
                if (child.is_structured())
                    stack.push_back(&child);
            }
        }
    }
    auto deref = [&](const Json& node) -> const Json& {
        if (node.is_object()) {
            const auto ref = node.find("ref");
            if (ref != node.end()) {
                if (!ref->is_number_integer())
                    NotAList("\"ref\" não é um número");
                const auto it = byId.find(ref->template get<std::int64_t>());
                if (it == byId.end()) {
                    NotAList("\"ref\" " + std::to_string(ref->template get<std::int64_t>()) + " sem objeto");
                }
                return *it->second;
            }
        }
        return node;
    };
    auto fieldsOf = [&](const Json& node, const char* what) -> const Json& {
        const Json& o = deref(node);
        if (!o.is_object())
            NotAList(std::string(what) + " não é um objeto");
        const auto f = o.find("fields");
        if (f == o.end() || !f->is_object())
            NotAList(std::string(what) + " sem \"fields\"");
        return *f;
    };
    auto member = [&](const Json& f, const char* name, const char* what) -> const Json& {
        const auto it = f.find(name);
        if (it == f.end())
            NotAList(std::string(what) + " sem o campo \"" + name + "\"");
        return *it;
    };
    // A marshalled TJSONString in either layout.
    auto jsonString = [&](const Json& node, const char* what) -> TextRef {
        const Json& o = deref(node);
        if (o.is_string())
            return text(o);
        const Json& f = fieldsOf(o, what);
        const auto sb = f.find("FStrBuffer");
        const auto fv = f.find("FValue");
        const Json* holder = nullptr;
        if (sb != f.end()) {
            holder = &*sb;
        } else if (fv != f.end()) {
            holder = &*fv;
        } else {
            NotAList(std::string(what) + " sem \"FStrBuffer\" nem \"FValue\"");
        }
        const Json& h = deref(*holder);
        if (h.is_string())
            return text(h);
        const Json& data = member(fieldsOf(h, what), "FData", what);
        if (!data.is_string())
            NotAList(std::string(what) + ": \"FData\" não é um texto");
        return text(data);
    };

    const Json& list = fieldsOf(member(*fields, "FDataSets", "TFDJSONDataSets"), "FDataSets");
    const Json& members = member(list, "FMembers", "FDataSets");
    if (!members.is_array())
        NotAList("\"FMembers\" não é uma lista");
    for (const auto& m : members) {
        const Json& pair = fieldsOf(m, "TJSONPair");
        out.emplace_back(jsonString(member(pair, "FJsonString", "TJSONPair"), "FJsonString"),
                         jsonString(member(pair, "FJsonValue", "TJSONPair"), "FJsonValue"));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Response bodies: every string value of 256 raw characters or more is lifted
// out and replaced by a placeholder "\u0001<n>", so that the JSON parser only
// sees the small skeleton. A real string cannot be taken for a placeholder:
// any string whose text starts with \u0001 is lifted out too.

constexpr std::size_t kBigString = 256;

struct Skeleton {
    std::string text;
    std::vector<std::string_view> strings;
};

bool StartsWithU0001(std::string_view raw) {
    if (raw.size() < 6 || raw[0] != '\\' || raw[1] != 'u')
        return false;
    return raw.substr(2, 3) == "000" && (raw[5] == '1');
}

Skeleton MakeSkeleton(std::string_view body) {
    Skeleton sk;
    const char* s = body.data();
    const std::size_t n = body.size();
    std::size_t i = 0;
    while (i < n) {
        const void* q = std::memchr(s + i, '"', n - i);
        const std::size_t open = q == nullptr ? n : static_cast<std::size_t>(static_cast<const char*>(q) - s);
        sk.text.append(s + i, open - i);
        if (open == n)
            break;
        std::size_t from = open + 1;
        std::size_t close = n;
        for (;;) {
            const void* e = std::memchr(s + from, '"', n - from);
            if (e == nullptr) {
                throw CodecError("resposta JSON inválida: texto aberto no byte " + std::to_string(open) +
                                 " não termina");
            }
            const std::size_t k = static_cast<std::size_t>(static_cast<const char*>(e) - s);
            std::size_t backslashes = 0;
            while (k - backslashes > open + 1 && s[k - 1 - backslashes] == '\\')
                ++backslashes;
            if (backslashes % 2 == 0) {
                close = k;
                break;
            }
            from = k + 1;
        }
        const std::string_view raw = body.substr(open + 1, close - open - 1);
        std::size_t m = close + 1;
        while (m < n && (s[m] == ' ' || s[m] == '\t' || s[m] == '\r' || s[m] == '\n'))
            ++m;
        const bool key = m < n && s[m] == ':';
        if (!key && (raw.size() >= kBigString || StartsWithU0001(raw))) {
            sk.text += "\"\\u0001" + std::to_string(sk.strings.size()) + "\"";
            sk.strings.push_back(raw);
        } else {
            sk.text.append(s + open, close + 1 - open);
        }
        i = close + 1;
    }
    return sk;
}

enum class BodyMode { Result, ListValue, Either };

std::optional<std::vector<EncodedDataSet>> ScanSkeleton(const Skeleton& sk, std::size_t resultIndex,
                                                        BodyMode mode) {
    nlohmann::ordered_json doc;
    try {
        doc = nlohmann::ordered_json::parse(sk.text);
    } catch (const nlohmann::json::exception& e) {
        throw CodecError(std::string("resposta JSON inválida: ") + e.what());
    }
    auto text = [&sk](const nlohmann::ordered_json& v) -> TextRef {
        const std::string& s = v.get_ref<const std::string&>();
        if (!s.empty() && s[0] == '\x01') {
            const std::size_t idx = std::stoul(s.substr(1));
            return TextRef{sk.strings.at(idx), true};
        }
        return TextRef{s, false};
    };
    const nlohmann::ordered_json* value = &doc;
    const bool hasResult = doc.is_object() && doc.contains("result");
    const bool isAnswer = hasResult || doc.is_array() ||
                          (doc.is_object() && (doc.contains("error") || doc.contains("SessionExpired")));
    if (mode == BodyMode::Result || (mode == BodyMode::Either && isAnswer)) {
        if (doc.is_object() && !hasResult) {
            const auto err = doc.find("error");
            if (err != doc.end()) {
                throw CodecError("o servidor respondeu com erro: " +
                                 (err->is_string() ? Unescape(text(*err)) : err->dump()));
            }
            const auto expired = doc.find("SessionExpired");
            if (expired != doc.end()) {
                throw CodecError("sessão expirada: " +
                                 (expired->is_string() ? Unescape(text(*expired)) : expired->dump()));
            }
            throw CodecError("resposta sem \"result\"");
        }
        const nlohmann::ordered_json& result = doc.is_object() ? doc["result"] : doc;
        if (!result.is_array())
            throw CodecError("resposta inválida: \"result\" não é uma lista");
        if (resultIndex >= result.size()) {
            throw CodecError("resposta sem o elemento " + std::to_string(resultIndex) +
                             " em \"result\" (tem " + std::to_string(result.size()) + ")");
        }
        value = &result[resultIndex];
    }
    const auto pairs = Walk(*value, text);
    if (!pairs)
        return std::nullopt;
    std::vector<EncodedDataSet> out;
    out.reserve(pairs->size());
    for (const auto& [name, data] : *pairs) {
        EncodedDataSet ds{Unescape(name), data.view, data.escaped, nullptr};
        if (!data.escaped) {
            // A short string lives in `doc`, which dies here: keep a copy.
            ds.owner = std::make_shared<const std::string>(data.view);
            ds.text = *ds.owner;
        }
        out.push_back(std::move(ds));
    }
    return out;
}

std::optional<std::vector<EncodedDataSet>> Scan(std::string_view body, std::size_t resultIndex,
                                                BodyMode mode) {
    return ScanSkeleton(MakeSkeleton(body), resultIndex, mode);
}

[[noreturn]] void Rethrow(const EncodedDataSet& ds, const CodecError& e) {
    throw CodecError("dataset \"" + ds.name + "\": " + e.what());
}

std::string ZlibBytes(const EncodedDataSet& ds) {
    std::string z;
    detail::Base64DecodeInto(ds.text, ds.jsonEscaped, z);
    return z;
}

// Inflates, for the second pass of DecodeDataSet, a zlib stream that the
// first pass has already checked whole (header, data and Adler-32): raw
// inflate of the deflate data, on a thread of its own, so that inflating and
// decoding the table run side by side.
class ThreadedInflatePull : public detail::PullSource {
  public:
    // `read` appends up to `max` next zlib bytes to `out` and returns how many (0: no more).
    using Reader = std::function<std::size_t(std::string& out, std::size_t max)>;
    ThreadedInflatePull(Reader read, std::size_t skip)
        : st_(std::make_unique<inflate_state>()), read_(std::move(read)), skip_(skip) {
        // ISA-L's igzip inflates the month's stream over twice as fast as zlib (docs/compression.md).
        isal_inflate_init(st_.get());
        st_->crc_flag = ISAL_DEFLATE;
        worker_ = std::thread([this] { Work(); });
    }
    ~ThreadedInflatePull() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        worker_.join();
    }
    ThreadedInflatePull(const ThreadedInflatePull&) = delete;
    ThreadedInflatePull& operator=(const ThreadedInflatePull&) = delete;

    std::size_t Pull(std::uint8_t* dst, std::size_t max) override {
        for (;;) {
            if (at_ == current_.size()) {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return !ready_.empty() || done_; });
                if (ready_.empty()) {
                    if (!error_.empty())
                        throw CodecError(error_);
                    return 0;
                }
                current_.swap(ready_.front());
                ready_.pop_front();
                at_ = 0;
                lock.unlock();
                changed_.notify_all();
                continue;
            }
            if (skip_ != 0) {
                const std::size_t n = std::min(skip_, current_.size() - at_);
                skip_ -= n;
                at_ += n;
                continue;
            }
            const std::size_t n = std::min(max, current_.size() - at_);
            std::memcpy(dst, current_.data() + at_, n);
            at_ += n;
            return n;
        }
    }

  private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    static constexpr std::size_t kQueued = 4;

    void Work() {
        std::string error;
        try {
            for (bool end = false; !end;) {
                std::string chunk(kChunk, '\0');
                inflate_state& st = *st_;
                st.next_out = reinterpret_cast<std::uint8_t*>(chunk.data());
                st.avail_out = static_cast<std::uint32_t>(chunk.size());
                while (st.avail_out != 0 && !end) {
                    if (st.avail_in == 0) {
                        input_.clear();
                        if (read_(input_, kChunk) == 0)
                            throw CodecError("zlib: fluxo truncado");
                        std::size_t from = 0;
                        if (headerLeft_ != 0) {
                            // The 2-byte zlib header was checked by the first pass.
                            from = std::min(headerLeft_, input_.size());
                            headerLeft_ -= from;
                        }
                        st.next_in = reinterpret_cast<std::uint8_t*>(input_.data() + from);
                        st.avail_in = static_cast<std::uint32_t>(input_.size() - from);
                    }
                    if (isal_inflate(&st) < 0)
                        throw CodecError("zlib: dados corrompidos");
                    if (st.block_state == ISAL_BLOCK_FINISH)
                        end = true;
                }
                chunk.resize(chunk.size() - st.avail_out);
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stop_ || ready_.size() < kQueued; });
                if (stop_)
                    return;
                ready_.push_back(std::move(chunk));
                lock.unlock();
                changed_.notify_all();
            }
        } catch (const CodecError& e) {
            error = e.what();
        } catch (const std::exception& e) {
            error = std::string("zlib: ") + e.what();
        }
        {
            std::lock_guard lock(mutex_);
            done_ = true;
            error_ = error;
        }
        changed_.notify_all();
    }

    std::unique_ptr<inflate_state> st_;
    Reader read_;
    std::string input_;  // zlib bytes being inflated
    std::size_t headerLeft_ = 2;
    std::size_t skip_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> ready_;
    bool done_ = false;
    bool stop_ = false;
    std::string error_;
    std::string current_;
    std::size_t at_ = 0;
};

// A name dictionary is a few hundred bytes; refuse absurd ones.
constexpr std::uint64_t kMaxDictionary = std::uint64_t{16} << 20;

// Decodes a dataset without ever holding its zlib bytes or its inflated
// stream whole (small streams aside): the first pass base64-decodes and
// inflates piece by piece, checking everything and keeping only the name
// dictionary (at the stream's end); the second decodes the table while
// base64-decoding and inflating again.
void Decode(const EncodedDataSet& ds, AdbsVisitor& visitor, std::uint64_t limit, std::uint64_t onePass) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    detail::Base64Reader reader(ds.text, ds.jsonEscaped);
    std::string input;
    std::string whole;
    bool keepWhole = true;
    std::string head;
    std::optional<detail::AdbsHeader> header;
    std::string dictionary;
    std::uint64_t total = 0;
    detail::InflateFrom(
        [&]() -> std::string_view {
            input.clear();
            reader.Read(input, kPiece);
            return input;
        },
        [&](std::string_view piece) {
            const std::uint64_t at = total;
            total += piece.size();
            if (head.size() < detail::kAdbsHeaderSize) {
                head.append(piece.substr(0, detail::kAdbsHeaderSize - head.size()));
                if (head.size() == detail::kAdbsHeaderSize) {
                    header = detail::ParseAdbsHeader(head, std::numeric_limits<std::uint32_t>::max());
                }
            }
            if (keepWhole) {
                if (whole.size() + piece.size() > onePass) {
                    keepWhole = false;
                    std::string().swap(whole);
                } else {
                    whole.append(piece);
                }
            }
            if (header && total > header->dictionaryOffset) {
                const std::uint64_t from = std::max<std::uint64_t>(at, header->dictionaryOffset);
                if (total - header->dictionaryOffset > kMaxDictionary) {
                    throw CodecError("fluxo FireDAC inválido: dicionário de nomes grande demais");
                }
                dictionary.append(piece.substr(static_cast<std::size_t>(from - at)));
            }
        },
        limit);
    if (keepWhole) {
        ReadAdbs(whole, visitor);
        return;
    }
    const detail::AdbsHeader h = detail::ParseAdbsHeader(head, total);
    const auto names = detail::ParseAdbsDictionary(dictionary, h.dictionaryOffset);
    auto again = std::make_shared<detail::Base64Reader>(ds.text, ds.jsonEscaped);
    ThreadedInflatePull pull([again](std::string& out, std::size_t max) { return again->Read(out, max); },
                             detail::kAdbsHeaderSize);
    detail::ReadAdbsTree(names, pull, h.dictionaryOffset, visitor);
}

// ---------------------------------------------------------------------------
// Writing.

class ZlibSink : public ByteSink {
  public:
    explicit ZlibSink(ZlibWriter& z) : z_(z) {}
    void Write(std::string_view bytes) override { z_.Write(bytes); }

  private:
    ZlibWriter& z_;
};

void JsonStringObject(std::string& out, int& id, const std::string& quotedText, std::uint64_t length) {
    const int stringId = id++;
    const int builderId = id++;
    out += R"({"type":"System.JSON.TJSONString","id":)" + std::to_string(stringId) +
           R"(,"fields":{"FStrBuffer":{"type":"System.SysUtils.TStringBuilder","id":)" +
           std::to_string(builderId) + R"(,"fields":{"FData":)" + quotedText + R"(,"FLength":)" +
           std::to_string(length) + R"(,"FMaxCapacity":2147483647}},"FOwned":true}})";
}

constexpr std::string_view kListOpen =
    R"({"type":"Data.FireDACJSONReflect.TFDJSONDataSets","id":1,"fields":{"FDataSets":)"
    R"({"type":"System.JSON.TJSONObject","id":2,"fields":{"FMembers":[)";
constexpr std::string_view kListClose = R"(],"FOwned":true}}}})";

// The text of member `k` of a list up to the opening quote of its base64;
// `id` is the next free object id.
void MemberOpen(std::string& out, int& id, std::size_t k, const std::string& name) {
    const auto nameUnits = text::Utf16Length(name);
    if (!nameUnits)
        throw CodecError("nome de dataset inválido: " + text::DescribeFirstProblem(name, false));
    if (k != 0)
        out += ',';
    out += R"({"type":"System.JSON.TJSONPair","id":)" + std::to_string(id++) + R"(,"fields":{"FJsonString":)";
    JsonStringObject(out, id, nlohmann::json(name).dump(), *nameUnits);
    const int stringId = id++;
    const int builderId = id++;
    out += R"(,"FJsonValue":{"type":"System.JSON.TJSONString","id":)" + std::to_string(stringId) +
           R"(,"fields":{"FStrBuffer":{"type":"System.SysUtils.TStringBuilder","id":)" +
           std::to_string(builderId) + R"(,"fields":{"FData":")";
}

// From the closing quote of a member's base64 of `textLength` characters to the member's end.
void MemberClose(std::string& out, std::uint64_t textLength) {
    out += R"(","FLength":)" + std::to_string(textLength) +
           R"(,"FMaxCapacity":2147483647}},"FOwned":true}},"FOwned":true}})";
}

void WriteMarshalledInto(std::string& out, const std::vector<NamedDataset>& sets,
                         const WriteOptions& options) {
    out += kListOpen;
    int id = 3;
    for (std::size_t k = 0; k < sets.size(); ++k) {
        const auto& [name, ds] = sets[k];
        if (ds == nullptr)
            throw CodecError("dataset \"" + name + "\" sem tabela");
        MemberOpen(out, id, k, name);
        // FireDAC stream -> zlib -> base64 (lines joined by an escaped CR LF), straight into the body.
        detail::Base64Writer b64(out, 76, "\\r\\n");
        ZlibWriter z(
            options.level, [&b64](std::string_view piece) { b64.Write(piece); },
            std::max(1u, options.threads));
        ZlibSink sink(z);
        try {
            WriteAdbs(*ds, sink);
        } catch (const CodecError& e) {
            throw CodecError("dataset \"" + name + "\": " + e.what());
        }
        z.Finish();
        b64.Finish();
        MemberClose(out, b64.TextLength());
    }
    out += kListClose;
}

}  // namespace

namespace {

template <class Json>
std::optional<std::vector<NamedStream>> ParseTree(const Json& value, std::uint64_t limit) {
    const auto pairs = Walk(value, [](const Json& v) {
        return TextRef{v.template get_ref<const std::string&>(), false};
    });
    if (!pairs)
        return std::nullopt;
    std::vector<NamedStream> out;
    for (const auto& [name, data] : *pairs) {
        EncodedDataSet ds{std::string(name.view), data.view, false, nullptr};
        out.push_back(NamedStream{ds.name, InflateDataSet(ds, limit)});
    }
    return out;
}

}  // namespace

std::optional<std::vector<NamedStream>> ParseDataSetList(const nlohmann::json& value, std::uint64_t limit) {
    return ParseTree(value, limit);
}

std::optional<std::vector<NamedStream>> ParseDataSetList(const nlohmann::ordered_json& value,
                                                         std::uint64_t limit) {
    return ParseTree(value, limit);
}

std::optional<std::vector<EncodedDataSet>> ScanResultBody(std::string_view body, std::size_t resultIndex) {
    return Scan(body, resultIndex, BodyMode::Result);
}

std::optional<std::vector<EncodedDataSet>> ScanDataSetList(std::string_view json) {
    return Scan(json, 0, BodyMode::ListValue);
}

std::optional<std::vector<EncodedDataSet>> ScanDataSetJson(std::string_view json) {
    return Scan(json, 0, BodyMode::Either);
}

std::string InflateDataSet(const EncodedDataSet& ds, std::uint64_t limit) {
    try {
        return ZlibDecompress(ZlibBytes(ds), limit);
    } catch (const CodecError& e) {
        Rethrow(ds, e);
    }
}

Dataset DecodeDataSet(const EncodedDataSet& ds, std::uint64_t limit) {
    detail::TableCollector collector;
    DecodeDataSet(ds, collector, limit);
    return collector.Take();
}

void DecodeDataSet(const EncodedDataSet& ds, AdbsVisitor& visitor, std::uint64_t limit) {
    detail::DecodeDataSetWith(ds, visitor, limit, detail::kOnePassLimit);
}

void detail::DecodeDataSetWith(const EncodedDataSet& ds, AdbsVisitor& visitor, std::uint64_t limit,
                               std::uint64_t onePassLimit) {
    try {
        Decode(ds, visitor, limit, onePassLimit);
    } catch (const CodecError& e) {
        Rethrow(ds, e);
    }
}

std::optional<std::vector<EncodedDataSet>> detail::ScanResultSkeleton(std::string text,
                                                                      std::vector<std::string_view> strings,
                                                                      std::size_t resultIndex) {
    Skeleton sk;
    sk.text = std::move(text);
    sk.strings = std::move(strings);
    return ScanSkeleton(sk, resultIndex, BodyMode::Result);
}

void detail::DecodeCheckedStream(const std::function<std::size_t(std::string&, std::size_t)>& read,
                                 const std::vector<std::string>& names, std::uint64_t dictionaryOffset,
                                 AdbsVisitor& visitor) {
    ThreadedInflatePull pull(read, detail::kAdbsHeaderSize);
    detail::ReadAdbsTree(names, pull, dictionaryOffset, visitor);
}

std::optional<std::vector<NamedStream>> ParseResultBody(std::string_view body, std::size_t resultIndex,
                                                        std::uint64_t limit) {
    const auto list = ScanResultBody(body, resultIndex);
    if (!list)
        return std::nullopt;
    std::vector<NamedStream> out;
    out.reserve(list->size());
    for (const auto& ds : *list) {
        out.push_back(NamedStream{ds.name, InflateDataSet(ds, limit)});
    }
    return out;
}

std::string WriteMarshalledDataSets(const std::vector<NamedDataset>& sets, const WriteOptions& options) {
    std::string out;
    WriteMarshalledInto(out, sets, options);
    return out;
}

// ---------------------------------------------------------------------------
// ResultBodyStream.

struct ResultBodyStream::Impl {
    static constexpr std::size_t kFeed = std::size_t{1} << 20;

    enum class State { Start, Rows, Done };

    Impl(std::string listName, Dataset table, RowBatches& source, const WriteOptions& writeOptions, bool fit)
        : name(std::move(listName)), rows(source), options(writeOptions), writer(std::move(table), fit) {}

    std::string name;
    RowBatches& rows;
    WriteOptions options;
    AdbsBatchWriter writer;
    State state = State::Start;
    std::vector<Row> batch;
    std::string adbs;  // stream bytes not yet given to zlib
    std::string out;   // body text not yet handed out
    std::size_t outAt = 0;
    std::uint64_t produced = 0;
    std::unique_ptr<detail::Base64Writer> b64;
    std::unique_ptr<ZlibWriter> z;

    void Produce() {
        try {
            Step();
        } catch (const CodecError& e) {
            Abandon();
            throw CodecError("dataset \"" + name + "\": " + e.what());
        } catch (...) {
            Abandon();
            throw;
        }
    }

    // After a failure the body stays incomplete: nothing more is handed out.
    void Abandon() {
        state = State::Done;
        std::string().swap(out);
        outAt = 0;
        z.reset();
        b64.reset();
    }

    void Step() {
        switch (state) {
            case State::Start: {
                rows.Rewind();
                while (rows.Next(batch))
                    writer.Measure(batch);
                rows.Rewind();
                out += R"({"result":[)";
                out += kListOpen;
                int id = 3;
                MemberOpen(out, id, 0, name);
                b64 = std::make_unique<detail::Base64Writer>(out, 76, "\\r\\n");
                z = std::make_unique<ZlibWriter>(
                    options.level, [this](std::string_view piece) { b64->Write(piece); },
                    std::max(1u, options.threads));
                adbs.reserve(kFeed + (std::size_t{64} << 10));
                writer.Begin(adbs);
                state = State::Rows;
                return;
            }
            case State::Rows: {
                // Rows until a block's worth is ready (or the end), so that every call gives text.
                bool more = true;
                while (adbs.size() < kFeed && (more = rows.Next(batch)))
                    writer.Write(batch, adbs);
                if (!more) {
                    writer.End(adbs);
                    std::vector<Row>().swap(batch);
                }
                z->Write(adbs);
                adbs.clear();
                if (!more) {
                    z->Finish();
                    z.reset();
                    b64->Finish();
                    MemberClose(out, b64->TextLength());
                    b64.reset();
                    std::string().swap(adbs);
                    out += kListClose;
                    out += "]}";
                    state = State::Done;
                }
                return;
            }
            case State::Done:
                return;
        }
    }
};

ResultBodyStream::ResultBodyStream(std::string listName, Dataset table, RowBatches& rows,
                                   const WriteOptions& options, bool fitStringSizes)
    : impl_(std::make_unique<Impl>(std::move(listName), std::move(table), rows, options, fitStringSizes)) {}

ResultBodyStream::~ResultBodyStream() = default;

std::size_t ResultBodyStream::Next(char* buf, std::size_t cap) {
    Impl& m = *impl_;
    if (cap == 0)
        return 0;
    while (m.outAt == m.out.size()) {
        m.out.clear();
        m.outAt = 0;
        if (m.state == Impl::State::Done) {
            std::string().swap(m.out);
            return 0;
        }
        m.Produce();
    }
    const std::size_t n = std::min(cap, m.out.size() - m.outAt);
    std::memcpy(buf, m.out.data() + m.outAt, n);
    m.outAt += n;
    m.produced += n;
    return n;
}

std::uint64_t ResultBodyStream::Produced() const {
    return impl_->produced;
}

std::string WriteResultBody(const std::vector<NamedDataset>& sets, const WriteOptions& options) {
    std::string out = R"({"result":[)";
    WriteMarshalledInto(out, sets, options);
    out += "]}";
    return out;
}

}  // namespace kqz::codec
