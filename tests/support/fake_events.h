// What the emulated line recorded, by kind of event.
#pragma once

#include <cstddef>
#include <vector>

#include "serial_fake.h"

namespace vpitest {

inline std::vector<serial::fake::Event> EventsOf(serial::fake::EventKind kind) {
    std::vector<serial::fake::Event> out;
    for (const auto& e : serial::fake::Events()) {
        if (e.kind == kind) out.push_back(e);
    }
    return out;
}

inline std::size_t CountOf(serial::fake::EventKind kind) {
    return EventsOf(kind).size();
}

}  // namespace vpitest
