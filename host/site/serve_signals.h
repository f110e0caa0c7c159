// The signals vpihost serve answers, as a service does: SIGINT or SIGTERM stops it (a second
// one stops it at once, without waiting for the lines), SIGHUP reloads the site file.
#pragma once

#include "core/non_copyable.h"

namespace host::site {

// Catches SIGINT, SIGTERM and SIGHUP while it exists; the handlers it replaced come back when
// it goes. The handlers only count; the serve loop looks.
class ServeSignals : core::NonCopyable {
public:
    ServeSignals();
    ~ServeSignals();

    // How many SIGINT and SIGTERM have come so far.
    int Stops() const;

    // True once for every SIGHUP since the last call (several in a row count as one).
    bool TakeHangup();
};

}  // namespace host::site
