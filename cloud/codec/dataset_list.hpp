#pragma once

// TFDJSONDataSets, the dataset list of DataSnap method results: a JSON object
// {name: base64(zlib(FireDAC binary stream))}, put into a response either as
// DataSnap's marshalled "type/id/fields" object or as the plain object.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/dataset.hpp"
#include "cloud/codec/error.hpp"
#include "cloud/codec/zlib.hpp"

namespace kqz::codec {

// One dataset of a list with its FireDAC binary stream, inflated but not decoded.
struct NamedStream {
    std::string name;
    std::string adbs;
};

// One dataset of a list as it was found in a response body: the base64 text
// is not copied but points into the body, so it lives only as long as the body.
struct EncodedDataSet {
    std::string name;
    std::string_view text;     // base64 of zlib of the stream
    bool jsonEscaped = false;  // `text` is the raw inside of a JSON string (escapes like \r\n unresolved)
    std::shared_ptr<const std::string> owner;  // holds `text` when it is not inside the body
};

// Reads a dataset list from a method result value: `null` gives std::nullopt;
// otherwise the marshalled object (TJSONString in the FStrBuffer layout or the
// FValue layout, {"type":..,"ref":N} back-references followed) or the plain
// {name: base64} object. Throws CodecError on anything else or on a dataset
// that does not decode (base64, zlib).
std::optional<std::vector<NamedStream>> ParseDataSetList(const nlohmann::json& value,
                                                         std::uint64_t limit = kDefaultInflateLimit);
// The same for a tree that keeps the order of object members (the plain
// object's datasets then keep the order they were sent in).
std::optional<std::vector<NamedStream>> ParseDataSetList(const nlohmann::ordered_json& value,
                                                         std::uint64_t limit = kDefaultInflateLimit);

// Locates the dataset list in element `resultIndex` of a whole response body
// {"result":[...]} (or a bare array) without building a JSON tree around the
// big base64 strings. `null` gives std::nullopt. Throws CodecError on a body
// that is not JSON, has no such element, carries {"error":..} instead, or is
// not a dataset list.
std::optional<std::vector<EncodedDataSet>> ScanResultBody(std::string_view body, std::size_t resultIndex = 0);

// Like ScanResultBody, for a text that is itself a dataset-list value (the
// marshalled object, the plain object or null).
std::optional<std::vector<EncodedDataSet>> ScanDataSetList(std::string_view json);

// Either of the two: a body with "result", "error" or "SessionExpired" (or a
// bare array) is read as a response body, any other JSON as a dataset-list value.
std::optional<std::vector<EncodedDataSet>> ScanDataSetJson(std::string_view json);

// Base64-decodes and inflates one located dataset into its binary stream.
std::string InflateDataSet(const EncodedDataSet& ds, std::uint64_t limit = kDefaultInflateLimit);

// Decodes one located dataset into a table. Neither its zlib bytes nor its
// inflated stream are held whole (streams up to 8 MB aside): it is decoded
// twice, once to check it and find its name dictionary (at its end) and once
// to decode the table, so memory stays near the body plus the table.
Dataset DecodeDataSet(const EncodedDataSet& ds, std::uint64_t limit = kDefaultInflateLimit);

// The same, handing the rows one by one to `visitor` (the table is never held).
void DecodeDataSet(const EncodedDataSet& ds, AdbsVisitor& visitor,
                   std::uint64_t limit = kDefaultInflateLimit);

// ScanResultBody + InflateDataSet for every dataset.
std::optional<std::vector<NamedStream>> ParseResultBody(std::string_view body, std::size_t resultIndex = 0,
                                                        std::uint64_t limit = kDefaultInflateLimit);

// How the server writes a dataset list.
struct WriteOptions {
    int level = 1;         // zlib level: 1 keeps a big month's answer within seconds
    unsigned threads = 2;  // deflate threads for big streams
};

// A dataset to write and the name it gets in the list.
using NamedDataset = std::pair<std::string, const Dataset*>;

// The marshalled TFDJSONDataSets object (the text of result[0]) in the
// FStrBuffer layout, ids depth-first from 1. Each dataset becomes
// base64 (76-character lines, "\r\n") of zlib of its FireDAC binary stream.
// The binary stream is never held whole: it is written, deflated and encoded
// piece by piece. An empty `sets` gives a list without datasets (an empty
// FMembers). Throws CodecError when a dataset cannot be written.
std::string WriteMarshalledDataSets(const std::vector<NamedDataset>& sets, const WriteOptions& options = {});

// The whole response body {"result":[<marshalled object>]}.
std::string WriteResultBody(const std::vector<NamedDataset>& sets, const WriteOptions& options = {});

// The rows of a table in batches, from the first row whenever asked again.
// Both passes must see the same rows in the same order.
class RowBatches {
  public:
    virtual ~RowBatches() = default;
    // Goes (back) to the first row.
    virtual void Rewind() = 0;
    // Replaces the contents of `batch` with the next rows (at least one);
    // false, with `batch` empty, when no rows are left.
    virtual bool Next(std::vector<Row>& batch) = 0;
};

// The response body {"result":[<list of one dataset>]} that WriteResultBody
// gives for `table` with the rows of `rows`, made piece by piece on demand:
// the rows are read twice (measured, then written), never held together;
// the stream is deflated in blocks on `options.threads` threads while earlier
// pieces are taken. Memory stays at a few MB plus two 1 MB blocks per thread,
// whatever the number of rows.
class ResultBodyStream {
  public:
    // `table` gives the name, columns and details; its rows are ignored.
    // `rows` must outlive the stream.
    ResultBodyStream(std::string listName, Dataset table, RowBatches& rows, const WriteOptions& options = {},
                     bool fitStringSizes = true);
    ~ResultBodyStream();
    ResultBodyStream(const ResultBodyStream&) = delete;
    ResultBodyStream& operator=(const ResultBodyStream&) = delete;

    // Copies up to `cap` next bytes of the body to `buf` and returns how many;
    // 0 once the body is complete. The first call measures every row. Throws
    // CodecError when a row cannot be written or the rows change between the
    // passes (the body is then incomplete), and whatever `rows` throws.
    std::size_t Next(char* buf, std::size_t cap);
    // Bytes handed out so far.
    std::uint64_t Produced() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The response body of a method that returns no dataset list (nil).
inline constexpr std::string_view kNullResultBody = R"({"result":[null]})";

}  // namespace kqz::codec
