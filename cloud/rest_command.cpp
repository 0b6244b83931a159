#include "cloud/rest_command.hpp"

#include <algorithm>
#include <stdexcept>

namespace kqz::cloud {
namespace {

bool IsComplex(const DSRestParameterMetaData& meta) {
    return meta.DBXType == DBXDataTypes::JsonValueType;
}

bool IsInput(const DSRestParameterMetaData& meta) {
    return meta.Direction == DSRestParamDirection::Input ||
           meta.Direction == DSRestParamDirection::InputOutput;
}

bool IsResult(const DSRestParameterMetaData& meta) {
    return meta.Direction == DSRestParamDirection::Output ||
           meta.Direction == DSRestParamDirection::InputOutput ||
           meta.Direction == DSRestParamDirection::ReturnValue;
}

}  // namespace

bool RestParameter::IsNull() const noexcept {
    if (const auto* object = std::get_if<std::unique_ptr<TJSONObject>>(&value_)) {
        return *object == nullptr;
    }
    return std::holds_alternative<std::monostate>(value_);
}

std::string RestParameter::ToJson() const {
    if (IsNull()) {
        return "null";
    }
    if (const auto* text = std::get_if<std::string>(&value_)) {
        return nlohmann::json(*text).dump();
    }
    if (const auto* flag = std::get_if<bool>(&value_)) {
        return *flag ? "true" : "false";
    }
    if (const auto* json = std::get_if<JsonText>(&value_)) {
        return json->text;
    }
    return std::get<std::unique_ptr<TJSONObject>>(value_)->dump();
}

std::string RestParameter::ToUrlText() const {
    if (IsNull()) {
        return "null";
    }
    if (const auto* text = std::get_if<std::string>(&value_)) {
        return *text;
    }
    if (const auto* flag = std::get_if<bool>(&value_)) {
        return *flag ? "true" : "false";
    }
    return ToJson();
}

void RestCommand::Prepare(std::span<const DSRestParameterMetaData> metadata) {
    parameters_.clear();
    parameters_.reserve(metadata.size());
    for (const auto& meta : metadata) {
        parameters_.emplace_back(meta);
    }
    prepared_ = true;
}

void RestCommand::Execute(std::string_view requestFilter) {
    Run(requestFilter, false);
}

void RestCommand::ExecuteCache(std::string_view requestFilter) {
    Run(requestFilter, true);
}

void RestCommand::Run(std::string_view requestFilter, bool cacheForm) {
    ++executions_;
    // What the previous execution handed out dies now.
    registered_.clear();
    reply_ = RestReply{};
    parsed_.reset();

    std::vector<std::string> urlArguments;
    std::vector<const RestParameter*> bodyParameters;
    for (const auto& parameter : parameters_) {
        if (!IsInput(parameter.MetaData())) {
            continue;
        }
        if (bodyParameters.empty() && !IsComplex(parameter.MetaData())) {
            urlArguments.push_back(parameter.ToUrlText());
        } else {
            bodyParameters.push_back(&parameter);
        }
    }
    RestRequest request;
    request.method = RequestType;
    request.accept = cacheForm ? "application/rest" : "application/JSON";
    request.url = connection_.MethodUrl(Text, urlArguments, requestFilter);
    if (!bodyParameters.empty()) {
        if (RequestType != "POST" && RequestType != "PUT") {
            throw std::logic_error("o comando " + Text + " tem parâmetros JSON e precisa ser POST ou PUT");
        }
        if (bodyParameters.size() == 1) {
            request.body = bodyParameters.front()->ToJson();
        } else {
            request.body = R"({"_parameters":[)";
            for (std::size_t i = 0; i < bodyParameters.size(); ++i) {
                if (i > 0) {
                    request.body += ',';
                }
                request.body += bodyParameters[i]->ToJson();
            }
            request.body += "]}";
        }
    }
    reply_ = connection_.Call(request);
}

std::size_t RestCommand::ResultIndex(std::size_t ordinal) const {
    if (ordinal >= parameters_.size() || !IsResult(parameters_[ordinal].MetaData())) {
        throw std::out_of_range("o comando " + Text + " não tem resultado no parâmetro " +
                                std::to_string(ordinal));
    }
    return static_cast<std::size_t>(
        std::count_if(parameters_.begin(), parameters_.begin() + static_cast<std::ptrdiff_t>(ordinal),
                      [](const RestParameter& p) { return IsResult(p.MetaData()); }));
}

const nlohmann::json& RestCommand::ResultValue(std::size_t ordinal) const {
    const std::size_t index = ResultIndex(ordinal);
    if (!parsed_) {
        auto parsed = nlohmann::json::parse(reply_.body, nullptr, false);
        if (parsed.is_discarded()) {
            throw ResponseFormatError(reply_.status,
                                      "resposta do servidor para " + Text + " não é JSON válido");
        }
        parsed_ = std::make_unique<nlohmann::json>(std::move(parsed));
    }
    const nlohmann::json* results = parsed_.get();
    if (results->is_object()) {
        const auto found = results->find("result");
        results = found != results->end() ? &*found : nullptr;
    }
    if (results == nullptr || !results->is_array()) {
        throw ResponseFormatError(reply_.status, "resposta do servidor para " + Text + " não tem \"result\"");
    }
    if (index >= results->size()) {
        throw ResponseFormatError(reply_.status, "resposta do servidor para " + Text + " tem " +
                                                     std::to_string(results->size()) +
                                                     " valor(es) em \"result\"");
    }
    return (*results)[index];
}

std::string RestCommand::ReadString(std::size_t ordinal) const {
    const auto& value = ResultValue(ordinal);
    if (!value.is_string()) {
        throw ResponseFormatError(
            reply_.status,
            "resposta do servidor para " + Text + ": esperava um texto e veio " + value.dump().substr(0, 80));
    }
    return value.get<std::string>();
}

bool RestCommand::ReadBoolean(std::size_t ordinal) const {
    const auto& value = ResultValue(ordinal);
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    // DBX writes Booleans as true/false; tolerate the text form too.
    if (value.is_string() && (value == "true" || value == "false")) {
        return value == "true";
    }
    throw ResponseFormatError(
        reply_.status,
        "resposta do servidor para " + Text + ": esperava um booleano e veio " + value.dump().substr(0, 80));
}

bool RestCommand::ReadIsNull(std::size_t ordinal) const {
    return ResultValue(ordinal).is_null();
}

std::unique_ptr<TFDJSONDataSets> RestCommand::ReadDataSets(std::size_t ordinal) const {
    return DecodeDataSetsBody(reply_.body, ResultIndex(ordinal), reply_.status);
}

bool RestCommand::Owns(const void* object) const noexcept {
    return std::any_of(registered_.begin(), registered_.end(),
                       [object](const std::shared_ptr<void>& held) { return held.get() == object; });
}

}  // namespace kqz::cloud
