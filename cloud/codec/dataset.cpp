#include "cloud/codec/dataset.hpp"

#include <array>

#include "cloud/codec/adbs_internal.hpp"

namespace kqz::codec {
namespace {

constexpr std::array<const char*, 41> kTypeNames = {
    "dtUnknown",        "dtBoolean",        "dtSByte",
    "dtInt16",          "dtInt32",          "dtInt64",
    "dtByte",           "dtUInt16",         "dtUInt32",
    "dtUInt64",         "dtSingle",         "dtDouble",
    "dtExtended",       "dtCurrency",       "dtBCD",
    "dtFmtBCD",         "dtDateTime",       "dtTime",
    "dtDate",           "dtDateTimeStamp",  "dtTimeIntervalFull",
    "dtTimeIntervalYM", "dtTimeIntervalDS", "dtAnsiString",
    "dtWideString",     "dtByteString",     "dtBlob",
    "dtMemo",           "dtWideMemo",       "dtXML",
    "dtHBlob",          "dtHMemo",          "dtWideHMemo",
    "dtHBFile",         "dtRowSetRef",      "dtCursorRef",
    "dtRowRef",         "dtArrayRef",       "dtParentRowRef",
    "dtGUID",           "dtObject"};

}  // namespace

bool IsLateType(DataType type) {
    switch (type) {
        case DataType::Blob:
        case DataType::Memo:
        case DataType::WideMemo:
        case DataType::XML:
        case DataType::HBlob:
        case DataType::HBFile:
        case DataType::HMemo:
        case DataType::WideHMemo:
        case DataType::ByteString:
            return true;
        default:
            return false;
    }
}

const char* DataTypeName(DataType type) {
    const auto i = static_cast<std::size_t>(type);
    return i < kTypeNames.size() ? kTypeNames[i] : "dtUnknown";
}

namespace detail {

std::optional<DataType> DataTypeFromName(std::string_view name) {
    for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
        if (name == kTypeNames[i]) {
            return static_cast<DataType>(i);
        }
    }
    return std::nullopt;
}

bool IsWideText(DataType type) {
    return type == DataType::WideString || type == DataType::WideMemo || type == DataType::XML ||
           type == DataType::WideHMemo;
}

bool IsAnsiText(DataType type) {
    return type == DataType::AnsiString || type == DataType::Memo || type == DataType::HMemo;
}

bool IsByteData(DataType type) {
    return type == DataType::ByteString || type == DataType::Blob || type == DataType::HBlob ||
           type == DataType::HBFile;
}

bool HasBlobData(DataType type) {
    return IsLateType(type) && type != DataType::ByteString;
}

}  // namespace detail
}  // namespace kqz::codec

namespace kqz::codec::detail {

// Howard Hinnant's days-from-civil, shifted so that 0001-01-01 is day 1.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const std::int64_t unixDays = era * 146097 + static_cast<std::int64_t>(doe) - 719468;
    return unixDays + 719163;  // 1970-01-01 is day 719163
}

void CivilFromDays(std::int64_t days, std::int64_t& y, unsigned& m, unsigned& d) {
    const std::int64_t z = days - 719163 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0);
}

}  // namespace kqz::codec::detail
