#include "payload/config_record.h"

#include "platform/little_endian.h"

#include <algorithm>
#include <cctype>

namespace tollander::payload {

namespace {

constexpr std::array<std::string_view, 24> kNamedCountries = {
    "US/Canada",   "Japan",       "Finland",      "Sweden",   "U.K.",        "Norway",
    "Switzerland", "Netherlands", "South Africa", "Italy",    "New Zealand", "Czechoslovaki",
    "Belgium",     "Denmark",     "Australia",    "France",   "Germany",     "International",
    "Austria",     "Ireland",     "Spain",        "Portugal", "Asean",       "Korea",
};

constexpr std::array<std::string_view, 5> kLanguages = {"English", "German", "French", "Italian",
                                                        "Spanish"};

std::int32_t GetInt32(const RawConfigRecord& raw, std::size_t at) {
    return static_cast<std::int32_t>(platform::GetLE32(raw.data() + at));
}

void PutInt32(RawConfigRecord& raw, std::size_t at, std::int32_t value) {
    platform::PutLE32(raw.data() + at, static_cast<std::uint32_t>(value));
}

// A length byte above the capacity is read as the capacity.
std::string GetShortString(const RawConfigRecord& raw, std::size_t at, std::size_t capacity) {
    const std::size_t length = std::min<std::size_t>(raw[at], capacity);
    return std::string(reinterpret_cast<const char*>(raw.data() + at + 1), length);
}

void PutShortString(RawConfigRecord& raw, std::size_t at, std::size_t capacity,
                    const std::string& value) {
    const std::size_t length = std::min(value.size(), capacity);
    raw[at] = static_cast<std::uint8_t>(length);
    std::copy_n(value.begin(), length, raw.begin() + static_cast<std::ptrdiff_t>(at + 1));
}

bool GetFlag(const RawConfigRecord& raw, std::size_t at) {
    return raw[at] == 1;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

ConfigRecord ParseConfigRecord(const RawConfigRecord& raw) {
    ConfigRecord r;
    r.BootLength = GetInt32(raw, offset::BootLength);
    r.MainLength = GetInt32(raw, offset::MainLength);
    r.BootModel = GetShortString(raw, offset::BootModel, kModelCapacity);
    r.MainModel = GetShortString(raw, offset::MainModel, kModelCapacity);
    r.IgnoreModel = GetFlag(raw, offset::IgnoreModel);
    r.BuiltFor = GetShortString(raw, offset::BuiltFor, kBuiltForCapacity);
    r.Ati3Response = GetShortString(raw, offset::Ati3Response, kAti3Kept);
    r.Language = raw[offset::Language];
    for (int k = 0; k < kCountryCount; ++k)
        r.CountryFlags[k] = GetFlag(raw, offset::CountryFlags + k);
    return r;
}

RawConfigRecord EncodeConfigRecord(const ConfigRecord& record) {
    RawConfigRecord raw{};
    PutInt32(raw, offset::BootLength, record.BootLength);
    PutInt32(raw, offset::MainLength, record.MainLength);
    PutShortString(raw, offset::BootModel, kModelCapacity, record.BootModel);
    PutShortString(raw, offset::MainModel, kModelCapacity, record.MainModel);
    raw[offset::IgnoreModel] = record.IgnoreModel ? 1 : 0;
    PutShortString(raw, offset::BuiltFor, kBuiltForCapacity, record.BuiltFor);
    PutShortString(raw, offset::Ati3Response, kAti3Capacity, record.Ati3Response);
    raw[offset::Language] = record.Language;
    for (int k = 0; k < kCountryCount; ++k)
        raw[offset::CountryFlags + k] = record.CountryFlags[k] ? 1 : 0;
    return raw;
}

std::string_view CountryName(int code) {
    if (code < 0 || code >= kCountryCount) return {};
    if (code < static_cast<int>(kNamedCountries.size())) return kNamedCountries[code];
    return "Undefined";
}

std::optional<int> CountryCode(std::string_view name) {
    for (std::size_t k = 0; k < kNamedCountries.size(); ++k)
        if (EqualNoCase(kNamedCountries[k], name)) return static_cast<int>(k);
    return std::nullopt;
}

std::string CountryList(const std::array<bool, kCountryCount>& flags) {
    std::string list;
    for (int k = 0; k < kCountryCount; ++k)
        if (flags[k])
            list += (list.empty() ? "" : ", ") + std::string(CountryName(k)) + " (" +
                    std::to_string(k) + ")";
    return list.empty() ? "none" : list;
}

std::string_view LanguageName(std::uint8_t code) {
    return code < kLanguages.size() ? kLanguages[code] : std::string_view{};
}

std::vector<std::string> DumpConfigRecord(const ConfigRecord& r) {
    std::string countries;
    for (int k = 0; k < kCountryCount; ++k)
        if (r.CountryFlags[k]) countries += CountryName(k);
    return {
        "Boot Length  = " + std::to_string(r.BootLength),
        "Main Length  = " + std::to_string(r.MainLength),
        "Boot Model   = " + r.BootModel,
        "Main Model   = " + r.MainModel,
        std::string("Ignore Model = ") + (r.IgnoreModel ? "True" : "False"),
        "Built For    = " + r.BuiltFor,
        "ATI3 Response= " + r.Ati3Response,
        "Language     = " + std::string(LanguageName(r.Language)),
        "Countries    = " + countries,
    };
}

} // namespace tollander::payload
