// Lines as they are in the field, end to end through VpiMain, the POSIX back-end, a
// pseudo-terminal and the simulated meters: one meter answering later than the read
// time-out beside another that answers at once, and an adapter that echoes every request.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "gate_records.h"
#include "log_capture.h"
#include "metersim_child.h"
#include "vpi_call.h"
#include "vpi_records.h"

namespace {

// Each gate with what meters 01, 07 and 11 have pinned in it, so that a value tells which
// meter sent it. 11 is one digit off 01: only both digits of the address tell their replies
// apart.
struct GateCase : vpitest::GateDef {
    std::size_t slot;  // the value looked at
    float meter01;
    float meter07;
    float meter11;
};

const std::vector<GateCase> kGates{
    {{"plain", MEMTYPE_PLAIN, 1, 40}, 0, 1110.0f, 7770.0f, 3330.0f},
    {{"H2", MEMTYPE_H2, 1, 34}, 5, 11.5f, 17.5f, 13.5f},
    {{"TR1", MEMTYPE_TR1, 1, 3}, 2, 0x0101, 0x0707, 0x0B0B},
    {{"TK1", MEMTYPE_TK1, 1, 3}, 2, 0x0111, 0x0777, 0x0BBB},
    {{"TY1", MEMTYPE_TY1, 1, 2}, 1, 0x11, 0x17, 0x1B},
    {{"TD1", MEMTYPE_TD1, 1, 25}, 1, 0x21, 0x27, 0x2B},
    {{"TC13", MEMTYPE_TC13, 1, 33}, 1, 0x31, 0x37, 0x3B},
    {{"EX", MEMTYPE_EX, 0x0A01, 2}, 0, 101.0f, 707.0f, 1111.0f},
};

constexpr const char* kValues = R"(01:plain.0 = 1110
07:plain.0 = 7770
01:h2.5 = 11.5
07:h2.5 = 17.5
01:tr1 = 0A 0A 0101
07:tr1 = 0A 0A 0707
01:tk1 = 0A 0A 0111
07:tk1 = 0A 0A 0777
01:ty1 = 0A 11
07:ty1 = 0A 17
01:td1 = 00 21 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
07:td1 = 00 27 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
01:tc13 = 00 31 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
07:tc13 = 00 37 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
01:ex.10.1 = 101
07:ex.10.1 = 707
11:plain.0 = 3330
11:h2.5 = 13.5
11:tr1 = 0A 0A 0B0B
11:tk1 = 0A 0A 0BBB
11:ty1 = 0A 1B
11:td1 = 00 2B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
11:tc13 = 00 3B 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
11:ex.10.1 = 1111
)";

// Two meters on a simulated line, opened as a channel with a read time-out of `units`.
class FieldLine : public testing::Test {
protected:
    void Start(const std::vector<std::string>& faults, std::int32_t units) {
        const std::string stem = std::to_string(getpid() % 10000);  // names of 11 at most
        link_ = "/tmp/fl" + stem;
        valuesPath_ = "/tmp/vpi-field-lines-" + stem + ".values";
        eventsPath_ = "/tmp/vpi-field-lines-" + stem + ".jsonl";
        std::ofstream(valuesPath_) << kValues;
        std::vector<std::string> args{METERSIM_PATH, "--meter",  "01",       "--meter", "07",
                                      "--meter",     "11",       "--link",   link_,     "--values",
                                      valuesPath_,   "--events", eventsPath_};
        for (const std::string& fault : faults) args.insert(args.end(), {"--fault", fault});
        ASSERT_TRUE(vpitest::StartMeterSim(sim_, std::move(args), ""));
        OpenChannelRecord open{};
        std::memcpy(open.portName, link_.c_str(), link_.size() + 1);
        open.active = 1;
        open.readTimeout = units;
        open.line = LineParameters{9600, 8, 0, 0};
        ASSERT_EQ(Call(VpiOperation::Open, &open), VpiDone);
    }

    void TearDown() override {
        static_cast<void>(Call(VpiOperation::Close, nullptr));
        if (sim_.Pid() > 0) static_cast<void>(sim_.Stop());
        std::remove(valuesPath_.c_str());
        std::remove(eventsPath_.c_str());
    }

    std::int32_t Call(VpiOperation operation, void* argument) {
        return vpitest::Call(operation, &channel_, argument, 3);
    }

    // Reads `gate` of meter `plc`: the result and the values.
    std::int32_t Read(const GateCase& gate, std::int32_t plc, VpiOperation operation,
                      std::vector<float>* values) {
        values->assign(static_cast<std::size_t>(gate.count), -1.0f);
        GateIoRecord record = vpitest::IoRecord(gate, plc, values->data());
        return Call(operation, &record);
    }

    // The requests the simulator saw for meter `plc`, from its event record (written whole
    // once it has ended).
    int RequestsTo(int plc) {
        static_cast<void>(sim_.Stop());
        std::ifstream events(eventsPath_);
        int count = 0;
        for (std::string line; std::getline(events, line);) {
            count += line.find("\"kind\":\"request\"") != std::string::npos &&
                     line.find("\"meter\":" + std::to_string(plc) + ",") != std::string::npos;
        }
        return count;
    }

    ChannelState channel_{};
    vpitest::LogCapture log_;
    host::platform::MeterSimProcess sim_;
    std::string link_;
    std::string valuesPath_;
    std::string eventsPath_;
};

TEST_F(FieldLine, ALateMeterNeverLendsItsValuesToAnother) {
    // Meter 01 answers 150 ms after each request, meters 11 and 07 at once; the read time-out
    // is 100 ms. Each of 01's gates is read (its replies come too late, or answer a later
    // attempt of the same gate), then at once the same gate of 11 (one digit off 01), which
    // meets 01's late replies on the line, then of 07; each must read its own values.
    ASSERT_NO_FATAL_FAILURE(Start({"delay=150:meter=01"}, 10));
    for (const GateCase& gate : kGates) {
        SCOPED_TRACE(gate.name);
        const VpiOperation operation =
            gate.memtype == MEMTYPE_EX ? VpiOperation::ReadEx : VpiOperation::Read;
        std::vector<float> values;
        const std::int32_t late = Read(gate, 1, operation, &values);
        EXPECT_TRUE(late == VpiDone || late == VpiFailed) << late;
        if (late == VpiDone) {
            EXPECT_EQ(values[gate.slot], gate.meter01);
        }
        ASSERT_EQ(Read(gate, 11, operation, &values), VpiDone);
        EXPECT_EQ(values[gate.slot], gate.meter11);
        ASSERT_EQ(Read(gate, 7, operation, &values), VpiDone);
        EXPECT_EQ(values[gate.slot], gate.meter07);
    }
}

TEST_F(FieldLine, AnEchoingAdapterCostsNoExtraRequest) {
    // The adapter hands back every request before the meter's reply. Each family reads its
    // meter's values with one request; both kinds of write are acknowledged with one.
    ASSERT_NO_FATAL_FAILURE(Start({"echo"}, 30));
    int reads = 0;
    for (const GateCase& gate : kGates) {
        SCOPED_TRACE(gate.name);
        std::vector<float> values;
        ASSERT_EQ(Read(gate, 7, VpiOperation::Read, &values), VpiDone);
        EXPECT_EQ(values[gate.slot], gate.meter07);
        ++reads;
    }
    float command = 2.0f;
    GateIoRecord commandGate = vpitest::IoRecord(7, MEMTYPE_INDEX_ZERO, 0, 1, &command);
    EXPECT_EQ(Call(VpiOperation::Write, &commandGate), VpiDone);
    float registers[2] = {4242.0f, -5.0f};
    GateIoRecord exGate = vpitest::IoRecord(7, MEMTYPE_EX, 0x0A01, 2, registers);
    EXPECT_EQ(Call(VpiOperation::Write, &exGate), VpiDone);
    // The registers took the values: read back through the echoing line.
    std::vector<float> values;
    ASSERT_EQ(Read(kGates.back(), 7, VpiOperation::ReadEx, &values), VpiDone);
    EXPECT_EQ(values, (std::vector<float>{4242.0f, -5.0f}));
    // Nothing logged but the pseudo-terminal's refusals to switch RTS.
    for (const vpitest::LogLine& line : log_.Take()) {
        EXPECT_NE(line.text.find("Fail to set RTS"), std::string::npos) << line.text;
    }
    EXPECT_EQ(RequestsTo(7), reads + 3);
}

}  // namespace
