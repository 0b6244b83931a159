#pragma once

// A DataSnap REST command: request type, command text and a typed parameter
// list prepared from a metadata table; executed in the plain form (the answer
// carries the values) or the cache form (the server keeps complex results and
// answers with references to them).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloud/fd_json_datasets.hpp"
#include "cloud/rest_connection.hpp"

namespace kqz::cloud {

// Parameter directions of a metadata record.
namespace DSRestParamDirection {
inline constexpr std::int32_t Input = 1;
inline constexpr std::int32_t Output = 2;
inline constexpr std::int32_t InputOutput = 3;
inline constexpr std::int32_t ReturnValue = 4;
}  // namespace DSRestParamDirection

// DBX types a metadata record uses.
namespace DBXDataTypes {
inline constexpr std::int32_t BooleanType = 4;
inline constexpr std::int32_t WideStringType = 26;
inline constexpr std::int32_t JsonValueType = 37;
}  // namespace DBXDataTypes

// One record of a method's parameter metadata table.
struct DSRestParameterMetaData {
    std::string_view Name;  // empty for the return value
    std::int32_t Direction;
    std::int32_t DBXType;
    std::string_view TypeName;
};

using TJSONObject = nlohmann::json;

// One parameter of a prepared command: its metadata and, for inputs, the
// value to send.
class RestParameter {
  public:
    explicit RestParameter(const DSRestParameterMetaData& meta) : meta_(meta) {}

    const DSRestParameterMetaData& MetaData() const noexcept { return meta_; }

    void SetNull() { value_ = std::monostate{}; }
    void SetWideString(std::string text) { value_ = std::move(text); }
    void SetBoolean(bool value) { value_ = value; }
    // A JSON value given as its text (sent as is in the body).
    void SetJSONText(std::string jsonText) { value_ = JsonText{std::move(jsonText)}; }
    // A JSON object the parameter owns until its value is set again or the
    // command is freed.
    void SetJSONValue(std::unique_ptr<TJSONObject> object) { value_ = std::move(object); }

    bool IsNull() const noexcept;
    // The value as a JSON text for a request body.
    std::string ToJson() const;
    // The value as a URL segment ("null" for null, "true"/"false" for a Boolean).
    std::string ToUrlText() const;

  private:
    struct JsonText {
        std::string text;
    };
    DSRestParameterMetaData meta_;
    std::variant<std::monostate, std::string, bool, JsonText, std::unique_ptr<TJSONObject>> value_;
};

class RestCommand {
  public:
    explicit RestCommand(RestConnection& connection) : connection_(connection) {}
    RestCommand(const RestCommand&) = delete;
    RestCommand& operator=(const RestCommand&) = delete;

    std::string RequestType = "GET";  // "GET", "POST", "PUT" or "DELETE"
    std::string Text;                 // e.g. "TServerMethods1.SelectCloud"

    // Builds the parameter list from a metadata table (one parameter per record).
    void Prepare(std::span<const DSRestParameterMetaData> metadata);
    bool Prepared() const noexcept { return prepared_; }

    std::size_t ParameterCount() const noexcept { return parameters_.size(); }
    // Parameter by 0-based ordinal; throws std::out_of_range.
    RestParameter& Parameter(std::size_t ordinal) { return parameters_.at(ordinal); }

    // Sends the call. Objects registered with FreeOnExecute are freed first.
    // Inputs go into the URL up to the first JSON parameter; that one and
    // those after it form the body of a POST/PUT (the value itself when there
    // is one, {"_parameters":[...]} when there are several). Throws RestError.
    void Execute(std::string_view requestFilter = {});
    // The same in the cache form (Accept: application/rest): the server keeps
    // complex results and the answer carries their cache references.
    void ExecuteCache(std::string_view requestFilter = {});

    // Results of the last execution, read at a parameter's ordinal (the return
    // value follows the inputs). Throw ResponseFormatError when the answer
    // does not hold a value of that type there.
    std::string ReadString(std::size_t ordinal) const;
    bool ReadBoolean(std::size_t ordinal) const;
    bool ReadIsNull(std::size_t ordinal) const;
    // The dataset list at `ordinal`, decoded; nullptr for null.
    std::unique_ptr<TFDJSONDataSets> ReadDataSets(std::size_t ordinal) const;
    const RestReply& Reply() const noexcept { return reply_; }
    // Frees the answer's body once its values have been read (a dataset
    // answer can be 150 MB).
    void ReleaseReply() noexcept {
        reply_.body = std::string();
        parsed_.reset();
    }

    // Keeps `object` alive until the next execution or the command's end.
    template <class T>
    T* FreeOnExecute(std::unique_ptr<T> object) {
        T* raw = object.get();
        registered_.push_back(std::shared_ptr<void>(std::move(object)));
        return raw;
    }
    // Whether `object` is registered with this command (not freed yet).
    bool Owns(const void* object) const noexcept;
    std::size_t OwnedCount() const noexcept { return registered_.size(); }

    // Number of executions, failed ones included.
    std::uint64_t ExecutionCount() const noexcept { return executions_; }
    RestConnection& Connection() const noexcept { return connection_; }

  private:
    void Run(std::string_view requestFilter, bool cacheForm);
    std::size_t ResultIndex(std::size_t ordinal) const;
    const nlohmann::json& ResultValue(std::size_t ordinal) const;

    RestConnection& connection_;
    std::vector<RestParameter> parameters_;
    bool prepared_ = false;
    RestReply reply_;
    mutable std::unique_ptr<nlohmann::json> parsed_;  // reply_ parsed on first scalar read
    std::vector<std::shared_ptr<void>> registered_;
    std::uint64_t executions_ = 0;
};

}  // namespace kqz::cloud
