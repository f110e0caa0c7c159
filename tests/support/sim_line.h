// metersim on a pseudo-terminal behind a short link, with its events file, for the line
// tools' tests; METERSIM_PATH names the program.
#pragma once

#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "metersim_child.h"
#include "vpihost_run.h"

namespace vpitest {

using Json = nlohmann::json;

// metersim behind a short link, with its events file.
class SimLine {
public:
    explicit SimLine(std::vector<std::string> args, bool withTap = false) {
        static int counter = 0;
        // At most 11 characters, so that the driver can open it too.
        link_ = "/tmp/k" + std::to_string(++counter % 10) + std::to_string(getpid() % 10000);
        events_ = TempPath("events.jsonl");
        args.insert(args.begin(), METERSIM_PATH);
        args.insert(args.end(), {"--link", link_, "--events", events_});
        if (withTap) {
            tap_ = link_ + "t";
            args.insert(args.end(), {"--tap", tap_});
        }
        started_ = StartMeterSim(sim_, std::move(args));
    }
    ~SimLine() {
        static_cast<void>(sim_.Stop());
        std::remove(events_.c_str());
    }
    bool Started() const { return started_; }
    // What the simulator said first ("metersim: listening on ..." once it is ready).
    const std::string& FirstLine() const { return sim_.FirstLine(); }
    const std::string& Port() const { return link_; }
    // The tap's link (with `withTap`): every byte of the line, in line order.
    const std::string& Tap() const { return tap_; }
    // The requests the meters saw (the simulator is stopped first, so that the file is whole).
    std::vector<Json> Requests() {
        static_cast<void>(sim_.Stop());
        std::vector<Json> requests;
        for (const std::string& line : SplitLines(ReadWhole(events_))) {
            Json event = Json::parse(line);
            if (event["kind"] == "request") requests.push_back(event);
        }
        return requests;
    }

private:
    host::platform::MeterSimProcess sim_;
    std::string link_;
    std::string events_;
    std::string tap_;
    bool started_ = false;
};

}  // namespace vpitest
