// Readings and how vpihost prints them: a table for people, CSV and JSON lines for plotting
// and for other programs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace host {

enum class Format { Table, Csv, Json };

// Adds --csv and --json (mutually exclusive) to `command`; table when neither is given.
void AddFormatOptions(CLI::App& command, Format& format);

// One read of one gate.
struct Reading {
    std::string time;  // RFC 3339, UTC, milliseconds
    std::string gate;  // the address as typed
    std::int32_t plcAddress = 0;
    std::int32_t memtype = 0;
    std::int32_t index = 0;
    std::int32_t result = 0;  // the driver's 0, 1 or 2
    std::vector<float> values;
    int attempts = 0;
    double latencyMs = 0;
};

// Now as "2026-12-08T04:20:30.123Z".
std::string Rfc3339Now();

// The shortest text that reads back as the same float ("230.1", "1e+06", "nan").
std::string FormatValue(float value);

// "done", "refused", "failed" for the driver's result codes.
const char* ResultName(std::int32_t result);

// Prints readings in one format; the CSV header goes out before the first row.
class ReadingPrinter {
public:
    explicit ReadingPrinter(Format format, std::FILE* out = stdout) : format_(format), out_(out) {}
    void Print(const Reading& reading);
    // The table's column heads (only the table has them; the CSV's come with the first row).
    void PrintTableHeader();

private:
    Format format_;
    std::FILE* out_;
    bool headerDone_ = false;
};

}  // namespace host
