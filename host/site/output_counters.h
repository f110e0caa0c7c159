// Counts the outputs keep (the Modbus TCP face's requests, exceptions and dropped clients) for
// /metrics: families of counters with one label each, added to from the outputs' own threads.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace host::site {

struct OutputCounterFamily {
    std::string name;  // "vpi_modbus_requests_total"
    std::string help;
    std::string label;                           // the one label's name
    std::map<std::string, std::int64_t> counts;  // by the label's value
};

class OutputCounters {
public:
    // Declares a family with every value of its label counted from 0, so that each series is
    // there from the start; a second declaration of the same name changes nothing.
    void Declare(const std::string& name, const std::string& help, const std::string& label,
                 const std::vector<std::string>& values);

    // Adds `delta` to the series `value` of family `name` (declared, or nothing happens).
    void Add(const std::string& name, const std::string& value, std::int64_t delta = 1);

    // A copy of every family, in the order declared.
    std::vector<OutputCounterFamily> Snapshot() const;

private:
    mutable std::mutex mutex_;
    std::vector<OutputCounterFamily> families_;
};

}  // namespace host::site
