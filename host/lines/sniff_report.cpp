// Table and JSON-lines output of a line capture.
#include "lines/sniff_report.h"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>

#include "core/name_table.h"
#include "text/float_text.h"
#include "text/text_escape.h"

namespace host::lines {

namespace {

constexpr std::size_t kShownValues = 4;

// Seconds since the capture began, to the microsecond.
std::string Seconds(std::int64_t us) {
    return fmt::format("{}.{:06}", us / 1000000, us % 1000000);
}

double ReplyMs(const SniffRecord& record) {
    return static_cast<double>(record.reply.startUs - record.request.endUs) / 1000.0;
}

const char* DecodeName(protocol::DecodeResult result) {
    // Indexed by DecodeResult.
    constexpr std::array<const char*, 3> kNames{"decoded", "no data", "unconvertible"};
    static_assert(static_cast<int>(protocol::DecodeResult::Decoded) == 0 &&
                  static_cast<int>(protocol::DecodeResult::NoData) == 1 &&
                  static_cast<int>(protocol::DecodeResult::Unconvertible) == 2);
    return core::NameOf(kNames, result);
}

// "echo late len6": what else the line did around the exchange.
std::string Notes(const SniffRecord& record) {
    std::string notes;
    if (record.echoed) notes += " echo";
    if (record.lengthSix) notes += " len6";
    if (record.late) notes += " late";
    return notes;
}

std::string ReplyText(const SniffRecord& record) {
    if (!record.answered) return "no reply";
    std::string text =
        fmt::format("{:.1f} ms {}", ReplyMs(record), FrameCheckName(record.reply.check));
    if (IsWrite(record.info)) return text + " acknowledged";
    if (record.reply.check != FrameCheck::Ok) return text;
    if (record.values.result != protocol::DecodeResult::Decoded) {
        return text + " " + DecodeName(record.values.result);
    }
    for (std::size_t i = 0; i < record.values.values.size() && i < kShownValues; ++i) {
        text += " " + core::FormatValue(record.values.values[i]);
    }
    if (record.values.values.size() > kShownValues) text += " ...";
    return text;
}

nlohmann::json BytesObject(const std::string& bytes, bool raw) {
    nlohmann::json object{{"length", bytes.size()}};
    if (raw) {
        object["text"] = text::LineBytes(bytes);
        object["hex"] = text::Hex(bytes);
    }
    return object;
}

nlohmann::json Values(const std::vector<float>& values) {
    nlohmann::json list = nlohmann::json::array();
    for (float v : values) {
        if (std::isfinite(v)) {
            list.push_back(text::FloatAsDecimal(v));
        } else {
            list.push_back(nullptr);
        }
    }
    return list;
}

nlohmann::json ExchangeJson(const SniffRecord& r, bool raw) {
    nlohmann::json event{{"kind", "request"},      {"time_us", r.request.startUs},
                         {"meter", r.info.meter},  {"command", r.info.command},
                         {"gate", r.info.gate},    {"request", BytesObject(r.request.bytes, raw)},
                         {"answered", r.answered}, {"echo", r.echoed},
                         {"len6", r.lengthSix}};
    if (!r.answered) {
        event["reply"] = nullptr;
        return event;
    }
    event["reply"] = BytesObject(r.reply.bytes, raw);
    event["reply_start_us"] = r.reply.startUs;
    event["reply_end_us"] = r.reply.endUs;
    event["reply_ms"] = std::round(ReplyMs(r) * 10) / 10;
    event["check"] = FrameCheckName(r.reply.check);
    event["late"] = r.late;
    if (r.info.kind == RequestKind::Read && r.reply.check == FrameCheck::Ok) {
        event["decode"] = DecodeName(r.values.result);
        event["values"] = Values(r.values.values);
    }
    return event;
}

}  // namespace

void SniffPrinter::Print(const SniffRecord& record) {
    if (format_ == core::Format::Json) {
        PrintJson(record);
    } else {
        PrintLine(record);
    }
    std::fflush(out_);
}

void SniffPrinter::PrintLine(const SniffRecord& r) {
    if (!headerDone_) {
        std::fprintf(out_, "%-16s %-5s %-18s %s\n", "time s", "meter", "request", "reply");
        headerDone_ = true;
    }
    const std::string time = Seconds(r.request.startUs);
    if (r.kind != SniffRecord::Kind::Exchange) {
        const bool noise = r.kind == SniffRecord::Kind::Noise;
        std::fprintf(out_, "%-16s %-5s %-18s %zu bytes %s\"%s\"\n", time.c_str(), "--",
                     noise ? "noise" : "stray frame", r.request.bytes.size(),
                     noise ? "" : fmt::format("{} ", FrameCheckName(r.request.check)).c_str(),
                     text::LineBytes(r.request.bytes).c_str());
        return;
    }
    std::fprintf(out_, "%-16s %-5s %-18s %s%s\n", time.c_str(),
                 fmt::format("{:02}", r.info.meter).c_str(), r.info.gate.c_str(),
                 ReplyText(r).c_str(), Notes(r).c_str());
    if (!raw_) return;
    std::fprintf(out_, "    > %s | %s\n", text::LineBytes(r.request.bytes).c_str(),
                 text::Hex(r.request.bytes).c_str());
    if (r.answered) {
        std::fprintf(out_, "    < %s | %s\n", text::LineBytes(r.reply.bytes).c_str(),
                     text::Hex(r.reply.bytes).c_str());
    }
}

void SniffPrinter::PrintJson(const SniffRecord& r) {
    nlohmann::json event;
    if (r.kind == SniffRecord::Kind::Exchange) {
        event = ExchangeJson(r, raw_);
    } else {
        // Noise and stray frames carry their bytes always: they are what there is to see.
        event = {{"kind", r.kind == SniffRecord::Kind::Noise ? "noise" : "stray"},
                 {"time_us", r.request.startUs},
                 {"bytes", BytesObject(r.request.bytes, true)}};
        if (r.kind == SniffRecord::Kind::Stray) event["check"] = FrameCheckName(r.request.check);
    }
    std::fprintf(out_, "%s\n",
                 event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

void PrintSniffSummary(std::FILE* out, const std::map<int, MeterFigures>& figures,
                       bool interrupted) {
    std::fprintf(out, "summary%s\n", interrupted ? " (interrupted)" : "");
    std::fprintf(out, "%-5s %9s %10s %8s %5s  %s\n", "meter", "exchanges", "unanswered", "checksum",
                 "late", "reply ms p50 / p95 / max");
    for (const auto& [meter, f] : figures) {
        const std::string times =
            f.replyMs.empty() ? "-"
                              : fmt::format("{:.1f} / {:.1f} / {:.1f}", Percentile(f.replyMs, 50),
                                            Percentile(f.replyMs, 95), Percentile(f.replyMs, 100));
        std::fprintf(out, "%-5s %9ld %10ld %8ld %5ld  %s\n",
                     meter < 0 ? "?" : fmt::format("{:02}", meter).c_str(), f.exchanges,
                     f.unanswered, f.checksumFailures, f.late, times.c_str());
    }
}

}  // namespace host::lines
