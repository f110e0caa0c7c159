// The outputs' counters, under a lock of their own.
#include "site/output_counters.h"

namespace host::site {

void OutputCounters::Declare(const std::string& name, const std::string& help,
                             const std::string& label, const std::vector<std::string>& values) {
    std::lock_guard lock(mutex_);
    for (const OutputCounterFamily& family : families_) {
        if (family.name == name) return;
    }
    OutputCounterFamily family{name, help, label, {}};
    for (const std::string& value : values) family.counts[value] = 0;
    families_.push_back(std::move(family));
}

void OutputCounters::Add(const std::string& name, const std::string& value, std::int64_t delta) {
    std::lock_guard lock(mutex_);
    for (OutputCounterFamily& family : families_) {
        if (family.name == name) family.counts[value] += delta;
    }
}

std::vector<OutputCounterFamily> OutputCounters::Snapshot() const {
    std::lock_guard lock(mutex_);
    return families_;
}

}  // namespace host::site
