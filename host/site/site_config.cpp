// Reading the site file: toml++ parses it, this walks the tables into the model and names every
// key, type and range that is wrong, with its line.
#include "site/site_config.h"

#include <fmt/format.h>

#include <toml++/toml.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "core/channel_options.h"
#include "core/driver_channel.h"
#include "core/durations.h"
#include "options/line_options.h"
#include "site/modbus_site_file.h"
#include "site/mqtt_settings_parse.h"
#include "vpi_families.h"

namespace host::site {

std::string ConfigError::Text() const {
    if (line <= 0) return fmt::format("{}: {}", file, reason);
    return fmt::format("{}:{}: {}", file, line, reason);
}

namespace {

int LineOf(const toml::node& node) {
    return static_cast<int>(node.source().begin.line);
}

// The keys each kind of table takes; anything else is named as unknown (a typo would
// otherwise be ignored without a word).
constexpr std::string_view kSiteKeys[] = {"site", "backoff_max", "interval",
                                          "line", "mqtt",        "modbus_tcp"};
constexpr std::string_view kLineKeys[] = {"name", "port",    "baud",     "data", "parity",
                                          "stop", "timeout", "interval", "meter"};
constexpr std::string_view kMeterKeys[] = {"name", "address", "interval", "gates", "modbus_unit"};
constexpr std::string_view kGateKeys[] = {"gate", "interval", "modbus_write"};
constexpr std::string_view kLabelKeys[] = {"name", "unit", "entity"};

template <std::size_t N>
bool Known(const std::string_view (&keys)[N], std::string_view key) {
    return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

// A value-name key's family prefix ("plain", "h2", "ex"): the family, or nullptr.
const FamilyInfo* FamilyOfKey(std::string_view key) {
    for (const FamilyInfo& info : kFamilies) {
        if (info.read == ReadKind::None) continue;
        std::string name(info.name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (key.substr(0, name.size()) != name) continue;
        const std::string_view rest = key.substr(name.size());
        if (!info.numbered) {
            if (rest.empty()) return &info;
            continue;
        }
        if (rest.empty() || rest.size() > 2 || rest[0] == '0') continue;
        if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const int number = std::stoi(std::string(rest));
        if (number >= 1 && number <= info.lastMemtype - info.firstMemtype + 1) return &info;
    }
    return nullptr;
}

// The range of a duration key, the unit a bare number is shown with in the fix, and why the
// lower limit is there when it is not plain.
struct DurationLimits {
    double lowMs;
    double highMs;
    const char* unitToSuggest;
    const char* whyLow;
};

constexpr DurationLimits kIntervalLimits{kMinIntervalMs, kMaxBackoffMaxMs, "s", nullptr};
constexpr DurationLimits kBackoffLimits{kMinBackoffMaxMs, kMaxBackoffMaxMs, "s", nullptr};
constexpr DurationLimits kTimeoutLimits{
    kMinTimeoutMs, static_cast<double>(core::kMaxTimeoutOptionMs), "ms",
    "a read that fails sooner is taken for a lost port, so a shorter time-out cannot tell a lost "
    "port from a silent meter"};

// An interval whose error has been said: what it covers needs no second message.
constexpr double kIntervalSaid = -1;

bool IsIndex(std::string_view text) {
    return !text.empty() && text.size() <= 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           (text.size() == 1 || text[0] != '0');
}

class SiteParser {
public:
    SiteParser(const std::string& file, SiteConfigResult& result) : file_(file), out_(result) {}

    void Site(const toml::table& root);

private:
    void Error(int line, std::string reason) {
        out_.errors.push_back(ConfigError{file_, line, std::move(reason)});
    }
    template <std::size_t N>
    void UnknownKeys(const toml::table& table, const std::string_view (&keys)[N], bool values,
                     const char* where);
    bool Text(const toml::table& table, const char* key, std::string* out, bool required, int line,
              const char* where);
    bool Integer(const toml::table& table, const char* key, std::int64_t low, std::int64_t high,
                 std::int64_t* out, const char* where);
    bool Duration(const toml::table& table, const char* key, const DurationLimits& limits,
                  double* out, const char* where);
    bool LineValue(const toml::table& table, const char* key, const CLI::Validator& check,
                   std::string* out, const char* where);
    // The "interval" of `table` into `interval` when it has one; kIntervalSaid when it is wrong.
    void SiteInterval(const toml::table& table, double* interval, const char* where);
    void Line(const toml::table& table, double interval);
    void LineSettings(const toml::table& table, LineConfig& line);
    void Meter(const toml::table& table, LineConfig& line, double interval);
    void Gates(const toml::table& table, MeterConfig& meter, double interval);
    void Gate(const toml::node& node, MeterConfig& meter, double interval);
    void ValueNames(const toml::table& table, MeterConfig& meter);
    void FamilyNames(const FamilyInfo& family, std::string_view prefix, const toml::node& node,
                     MeterConfig& meter);
    void Label(const std::string& key, const toml::node& node, MeterConfig& meter);
    template <typename Each>
    void TableArray(const toml::table& parent, const char* key, int line, const char* where,
                    Each each);
    void Unique(const SiteConfig& site);

    const std::string& file_;
    SiteConfigResult& out_;
};

template <std::size_t N>
void SiteParser::UnknownKeys(const toml::table& table, const std::string_view (&keys)[N],
                             bool values, const char* where) {
    for (auto&& [key, node] : table) {
        if (Known(keys, key.str())) continue;
        if (values && FamilyOfKey(key.str()) != nullptr) continue;
        Error(LineOf(node), fmt::format("unknown key \"{}\" in {}", key.str(), where));
    }
}

bool SiteParser::Text(const toml::table& table, const char* key, std::string* out, bool required,
                      int line, const char* where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        if (required) Error(line, fmt::format("{} has no \"{}\"", where, key));
        return false;
    }
    const auto* text = node->as_string();
    if (text == nullptr || text->get().empty()) {
        Error(LineOf(*node),
              fmt::format("\"{}\" of {} must be a text that is not empty", key, where));
        return false;
    }
    *out = text->get();
    return true;
}

bool SiteParser::Integer(const toml::table& table, const char* key, std::int64_t low,
                         std::int64_t high, std::int64_t* out, const char* where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    const auto* number = node->as_integer();
    if (number == nullptr || number->get() < low || number->get() > high) {
        Error(LineOf(*node), fmt::format("\"{}\" of {} must be a whole number from {} to {}", key,
                                         where, low, high));
        return false;
    }
    *out = number->get();
    return true;
}

bool SiteParser::Duration(const toml::table& table, const char* key, const DurationLimits& limits,
                          double* out, const char* where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    // A bare number, as a number or as text, could be read more than one way; the file says
    // which by its unit, and the message shows how.
    std::string bare;
    if (const auto* integer = node->as_integer()) bare = std::to_string(integer->get());
    if (const auto* floating = node->as_floating_point()) bare = fmt::format("{}", floating->get());
    const auto* text = node->as_string();
    const std::optional<core::Duration> duration =
        text != nullptr ? core::ReadDuration(text->get()) : std::nullopt;
    if (text != nullptr && duration && duration->unit.empty()) bare = text->get();
    if (!bare.empty()) {
        Error(LineOf(*node), fmt::format("\"{}\" of {} needs its unit: write {} = \"{}{}\"", key,
                                         where, key, bare, limits.unitToSuggest));
        return false;
    }
    if (!duration) {
        Error(LineOf(*node), fmt::format("\"{}\" of {} must be a time such as \"500ms\", \"1s\" "
                                         "or \"2m\"",
                                         key, where));
        return false;
    }
    if (const std::string limit =
            core::DurationLimitProblem(*duration, limits.lowMs, limits.highMs);
        !limit.empty()) {
        const bool low = duration->ms < limits.lowMs;
        Error(LineOf(*node), fmt::format("\"{}\" of {} must be {}{}{}", key, where, limit,
                                         low && limits.whyLow != nullptr ? ": " : "",
                                         low && limits.whyLow != nullptr ? limits.whyLow : ""));
        return false;
    }
    *out = duration->ms;
    return true;
}

bool SiteParser::LineValue(const toml::table& table, const char* key, const CLI::Validator& check,
                           std::string* out, const char* where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return false;
    std::string text;
    if (const auto* integer = node->as_integer()) text = std::to_string(integer->get());
    if (const auto* floating = node->as_floating_point()) text = fmt::format("{}", floating->get());
    if (const auto* string = node->as_string()) text = string->get();
    if (text.empty()) {
        Error(LineOf(*node), fmt::format("\"{}\" of {} {}", key, where, check.get_description()));
        return false;
    }
    // The command line's own check, so that a setting means the same in both places.
    if (const std::string problem = check(text); !problem.empty()) {
        Error(LineOf(*node), fmt::format("\"{}\" of {}: {}", key, where, problem));
        return false;
    }
    *out = text;
    return true;
}

void SiteParser::SiteInterval(const toml::table& table, double* interval, const char* where) {
    if (table.contains("interval") &&
        !Duration(table, "interval", kIntervalLimits, interval, where))
        *interval = kIntervalSaid;
}

template <typename Each>
void SiteParser::TableArray(const toml::table& parent, const char* key, int line, const char* where,
                            Each each) {
    const toml::node* node = parent.get(key);
    const toml::array* array = node != nullptr ? node->as_array() : nullptr;
    if (node != nullptr && array == nullptr) {
        Error(LineOf(*node), fmt::format("\"{}\" of {} must be a list of tables", key, where));
        return;
    }
    if (array == nullptr || array->empty()) {
        Error(line, fmt::format("{} has no \"{}\"", where, key));
        return;
    }
    for (const toml::node& item : *array) {
        if (const toml::table* table = item.as_table()) {
            each(*table);
        } else {
            Error(LineOf(item), fmt::format("each \"{}\" of {} must be a table", key, where));
        }
    }
}

void SiteParser::Site(const toml::table& root) {
    UnknownKeys(root, kSiteKeys, false, "the site");
    SiteConfig& site = out_.site;
    Text(root, "site", &site.name, false, 1, "the site");
    if (const toml::node* mqtt = root.get("mqtt")) ParseMqttSettings(*mqtt, out_);
    Duration(root, "backoff_max", kBackoffLimits, &site.backoffMaxMs, "the site");
    double interval = 0;
    SiteInterval(root, &interval, "the site");
    TableArray(root, "line", 1, "the site",
               [this, interval](const toml::table& table) { Line(table, interval); });
    if (const toml::node* modbus = root.get("modbus_tcp"))
        ReadModbusTcp(*modbus, file_, &site.modbusTcp, &out_.errors);
    Unique(site);
    ResolveModbusUnits(&site, &out_.errors);
}

void SiteParser::Line(const toml::table& table, double interval) {
    LineConfig line;
    line.sourceLine = LineOf(table);
    const std::string where = fmt::format("the line at line {}", line.sourceLine);
    UnknownKeys(table, kLineKeys, false, where.c_str());
    Text(table, "name", &line.name, true, line.sourceLine, where.c_str());
    LineSettings(table, line);
    SiteInterval(table, &interval, where.c_str());
    TableArray(table, "meter", line.sourceLine, where.c_str(),
               [&](const toml::table& meter) { Meter(meter, line, interval); });
    out_.site.lines.push_back(std::move(line));
}

void SiteParser::LineSettings(const toml::table& table, LineConfig& line) {
    const std::string where =
        line.name.empty() ? "the line" : fmt::format("line \"{}\"", line.name);
    core::ChannelOptions& options = line.options;
    Text(table, "port", &options.port, true, line.sourceLine, where.c_str());
    std::string text;
    if (LineValue(table, "baud", options::BaudRate(), &text, where.c_str()))
        options.baud = static_cast<unsigned>(std::stoul(text));
    if (LineValue(table, "data", options::DataBits(), &text, where.c_str()))
        options.dataBits = static_cast<unsigned>(std::stoul(text));
    if (LineValue(table, "parity", options::Parity(), &text, where.c_str())) options.parity = text;
    if (LineValue(table, "stop", options::StopBits(), &text, where.c_str()))
        options.stopBits = text;
    double timeout = 0;
    if (Duration(table, "timeout", kTimeoutLimits, &timeout, where.c_str()))
        options.timeoutMs = static_cast<std::int64_t>(std::ceil(timeout));
    if (options.port.size() > core::kMaxPortName)
        Error(LineOf(*table.get("port")),
              fmt::format("{}: a port name has 1 to {} characters (the driver's record holds "
                          "{})",
                          where, core::kMaxPortName, core::kMaxPortName + 1));
}

void SiteParser::Meter(const toml::table& table, LineConfig& line, double interval) {
    MeterConfig meter;
    meter.sourceLine = LineOf(table);
    const std::string where = fmt::format("the meter at line {}", meter.sourceLine);
    UnknownKeys(table, kMeterKeys, true, where.c_str());
    Text(table, "name", &meter.name, true, meter.sourceLine, where.c_str());
    std::int64_t address = -1;
    if (!Integer(table, "address", 0, 99, &address, where.c_str()) && !table.contains("address"))
        Error(meter.sourceLine, fmt::format("{} has no \"address\"", where));
    meter.address = static_cast<int>(address);
    ReadModbusUnit(table, file_, &meter, &out_.errors);
    SiteInterval(table, &interval, where.c_str());
    Gates(table, meter, interval);
    ValueNames(table, meter);
    line.meters.push_back(std::move(meter));
}

void SiteParser::Gates(const toml::table& table, MeterConfig& meter, double interval) {
    const std::string where = fmt::format("the meter at line {}", meter.sourceLine);
    const toml::node* node = table.get("gates");
    const toml::array* array = node != nullptr ? node->as_array() : nullptr;
    if (node != nullptr && array == nullptr) {
        Error(LineOf(*node), fmt::format("\"gates\" of {} must be a list", where));
        return;
    }
    if (array == nullptr || array->empty()) {
        Error(meter.sourceLine, fmt::format("{} has no \"gates\"", where));
        return;
    }
    for (const toml::node& item : *array) Gate(item, meter, interval);
}

// A gate is its address alone ("0101", taking the interval around it) or a table
// { gate = "0101H1", interval = "5s" }.
void SiteParser::Gate(const toml::node& node, MeterConfig& meter, double interval) {
    GateConfig gate;
    gate.sourceLine = LineOf(node);
    gate.intervalMs = interval;
    const char* where = "a gate";
    if (const auto* text = node.as_string()) {
        gate.text = text->get();
    } else if (const toml::table* table = node.as_table()) {
        UnknownKeys(*table, kGateKeys, false, where);
        if (!Text(*table, "gate", &gate.text, true, gate.sourceLine, where)) return;
        if (table->contains("interval") &&
            !Duration(*table, "interval", kIntervalLimits, &gate.intervalMs, where))
            gate.intervalMs = kIntervalSaid;
        ReadModbusWrite(*table, file_, &gate, &out_.errors);
    } else {
        Error(gate.sourceLine, "a gate is an address or a table { gate = ..., interval = ... }");
        return;
    }
    if (gate.text.empty()) {
        Error(gate.sourceLine, "a gate address is empty");
        return;
    }
    if (gate.intervalMs == 0) {
        Error(gate.sourceLine, fmt::format("gate \"{}\" has no interval: give it, its meter, its "
                                           "line or the site one",
                                           gate.text));
    }
    // Kept all the same, so that the driver's check names what else is wrong with it.
    meter.gates.push_back(std::move(gate));
}

void SiteParser::ValueNames(const toml::table& table, MeterConfig& meter) {
    for (auto&& [key, node] : table) {
        const FamilyInfo* family = FamilyOfKey(key.str());
        if (family == nullptr || Known(kMeterKeys, key.str())) continue;
        FamilyNames(*family, key.str(), node, meter);
    }
}

// "plain.0 = {...}", "h2.5 = {...}": one level of indexes; "ex.10.1 = {...}": group and item.
void SiteParser::FamilyNames(const FamilyInfo& family, std::string_view prefix,
                             const toml::node& node, MeterConfig& meter) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        Error(LineOf(node), fmt::format("\"{}\" takes value names: {}.N = {{ name = \"...\", "
                                        "unit = \"...\" }}",
                                        prefix, prefix));
        return;
    }
    for (auto&& [key, item] : *table) {
        const std::string full = fmt::format("{}.{}", prefix, key.str());
        if (!IsIndex(key.str())) {
            Error(LineOf(item),
                  fmt::format("\"{}\": the part after \"{}.\" must be an index", full, prefix));
            continue;
        }
        if (family.family == GateFamily::Ex && item.is_table() &&
            !item.as_table()->contains("name") && !item.as_table()->contains("unit") &&
            !item.as_table()->contains("entity")) {
            FamilyNames(InfoOf(GateFamily::Plain), full, item, meter);
            continue;
        }
        Label(full, item, meter);
    }
}

void SiteParser::Label(const std::string& key, const toml::node& node, MeterConfig& meter) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        Error(LineOf(node),
              fmt::format("\"{}\" must be {{ name = \"...\", unit = \"...\" }}", key));
        return;
    }
    const std::string where = fmt::format("\"{}\"", key);
    UnknownKeys(*table, kLabelKeys, false, where.c_str());
    ValueName value;
    value.sourceLine = LineOf(node);
    Text(*table, "name", &value.label.name, false, 0, where.c_str());
    Text(*table, "unit", &value.label.unit, false, 0, where.c_str());
    if (const toml::node* entity = table->get("entity")) {
        if (const auto* flag = entity->as_boolean()) {
            value.entity = flag->get();
        } else {
            Error(LineOf(*entity), fmt::format("\"entity\" of {} must be true or false", where));
        }
    }
    meter.values[key] = std::move(value);
}

// Line names and ports, and meter names and addresses within a line, name one thing each.
void SiteParser::Unique(const SiteConfig& site) {
    std::set<std::string> lineNames;
    std::set<std::string> ports;
    for (const LineConfig& line : site.lines) {
        if (!line.name.empty() && !lineNames.insert(line.name).second)
            Error(line.sourceLine, fmt::format("a second line named \"{}\"", line.name));
        if (!line.options.port.empty() && !ports.insert(line.options.port).second)
            Error(line.sourceLine, fmt::format("port \"{}\" is already another line's; one "
                                               "line per port",
                                               line.options.port));
        std::set<std::string> meterNames;
        std::set<int> addresses;
        for (const MeterConfig& meter : line.meters) {
            if (!meter.name.empty() && !meterNames.insert(meter.name).second)
                Error(meter.sourceLine, fmt::format("a second meter named \"{}\" on line \"{}\"",
                                                    meter.name, line.name));
            if (meter.address >= 0 && !addresses.insert(meter.address).second)
                Error(meter.sourceLine, fmt::format("a second meter at address {} on line \"{}\"",
                                                    meter.address, line.name));
        }
    }
}

}  // namespace

SiteConfigResult ParseSiteConfig(std::string_view text, const std::string& file) {
    SiteConfigResult result;
    result.site.file = file;
    toml::parse_result parsed = toml::parse(text, file);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        result.errors.push_back(ConfigError{file, static_cast<int>(error.source().begin.line),
                                            std::string(error.description())});
        return result;
    }
    SiteParser parser(file, result);
    parser.Site(parsed.table());
    std::stable_sort(result.errors.begin(), result.errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
    return result;
}

SiteConfigResult LoadSiteConfig(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    std::string problem;
    if (status.type() == std::filesystem::file_type::not_found) {
        problem = "no such file";
    } else if (status.type() == std::filesystem::file_type::directory) {
        problem = "is a directory, not a site file";
    } else if (error) {
        problem = "cannot be looked at: " + error.message();
    }
    std::ifstream in;
    if (problem.empty()) {
        in.open(path, std::ios::binary);
        // The stream says only that it failed; errno says why (permission, mostly).
        if (!in) problem = fmt::format("cannot be read: {}", std::strerror(errno));
    }
    if (!problem.empty()) {
        SiteConfigResult result;
        result.site.file = path;
        result.errors.push_back(ConfigError{path, 0, problem});
        return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseSiteConfig(text.str(), path);
}

}  // namespace host::site
