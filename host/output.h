// Output writers: readings as a table for people, CSV and JSON lines for plotting and for
// other programs, and the value and result texts they share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "reading.h"

namespace CLI {
class App;
}

namespace host {

enum class Format { Table, Csv, Json };

// Adds --csv and --json (mutually exclusive) to `command`; table when neither is given.
void AddFormatOptions(CLI::App& command, Format& format);

// Where notes about the line go: stdout beside the table, stderr beside CSV and JSON so that
// stdout stays clean.
std::FILE* NotesStream(Format format);

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
    void PrintTableRow(const Reading& reading);
    void PrintCsvRows(const Reading& reading);
    void PrintJsonLine(const Reading& reading);

    Format format_;
    std::FILE* out_;
    bool headerDone_ = false;
};

}  // namespace host
