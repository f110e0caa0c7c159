// Output writers: readings as a table for people, CSV and JSON lines for plotting and for
// other programs, and the value and result texts they share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "core/reading.h"

namespace CLI {
class App;
}

namespace host::core {

enum class Format { Table, Csv, Json };

// What --csv and --json write, as a command's --help says it.
struct FormatHelp {
    const char* csv;
    const char* json;
};

// The gate readings of read and poll.
inline constexpr FormatHelp kReadingsHelp{
    "CSV: one row per value, with an RFC 3339 time stamp",
    "JSON lines: one object per gate reading, with an RFC 3339 time stamp"};

// Adds --csv and --json (mutually exclusive) to `command`, described by `help`; table when
// neither is given.
void AddFormatOptions(CLI::App& command, Format& format, const FormatHelp& help = kReadingsHelp);

// Where notes about the line go: stdout beside the table, stderr beside CSV and JSON so that
// stdout stays clean.
std::FILE* NotesStream(Format format);

// The shortest text that reads back as the same float ("230.1", "1e+06", "nan").
std::string FormatValue(float value);

// "done", "refused", "failed" for the driver's result codes.
const char* ResultName(std::int32_t result);

// The base of the printers that write items of one kind as a table, CSV or JSON lines. Print
// hands each item to the writer of the format and flushes, so that a watcher sees every item
// as soon as it is known.
template <typename Item>
class FormatPrinter {
public:
    virtual ~FormatPrinter() = default;

    void Print(const Item& item) {
        switch (format_) {
            case Format::Table:
                PrintTable(item);
                break;
            case Format::Csv:
                PrintCsv(item);
                break;
            case Format::Json:
                PrintJson(item);
                break;
        }
        std::fflush(out_);
    }

protected:
    FormatPrinter(Format format, std::FILE* out) : format_(format), out_(out) {}

    // True once, before the first row: the table's or CSV's header goes out then.
    bool FirstRow() { return !std::exchange(headerDone_, true); }

    virtual void PrintTable(const Item& item) = 0;
    virtual void PrintCsv(const Item& item) = 0;
    virtual void PrintJson(const Item& item) = 0;

    Format format_;
    std::FILE* out_;

private:
    bool headerDone_ = false;
};

// Where a polled reading comes from: its line and meter, and per value the name and unit the
// site file gives it (empty where it gives none, or shorter than the values).
struct ReadingPlace {
    std::string line;
    std::string meter;
    std::vector<std::string> names;
    std::vector<std::string> units;
};

// Prints readings in one format; the CSV header goes out before the first row. Every value is
// shown by its key (ValueKey: "plain.16", "ex.10.2"). A printer `withPlace` (poll's) adds the
// line and meter columns and the values' names and units, the same columns for every reading.
class ReadingPrinter : public FormatPrinter<Reading> {
public:
    explicit ReadingPrinter(Format format, std::FILE* out = stdout, bool withPlace = false)
        : FormatPrinter(format, out), withPlace_(withPlace) {}
    // The table's column heads (only the table has them; the CSV's come with the first row).
    void PrintTableHeader();
    // Prints `reading` from `place` (a printer made `withPlace`).
    void PrintAt(const Reading& reading, const ReadingPlace& place);

private:
    void PrintTable(const Reading& reading) override;
    void PrintCsv(const Reading& reading) override;
    void PrintJson(const Reading& reading) override;
    std::string NameOf(std::size_t k) const;
    std::string UnitOf(std::size_t k) const;

    bool withPlace_;
    const ReadingPlace* place_ = nullptr;  // of the reading being printed
};

}  // namespace host::core
